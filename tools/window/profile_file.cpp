#include "tools/window/profile_file.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <sstream>

namespace ldpcsw {

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

bool read_profile(const std::string& path, std::vector<float>& p, std::string& error) {
  p.clear();
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  std::string line;
  long line_no = 0;
  long first_empty = 0;  // an empty line seen after the last number
  while (std::getline(in, line)) {
    ++line_no;
    std::size_t b = 0, e = line.size();
    while (b < e && blank(line[b])) ++b;
    while (e > b && blank(line[e - 1])) --e;
    if (b == e) {
      if (first_empty == 0) first_empty = line_no;
      continue;
    }
    if (first_empty != 0) {
      error = path + ": line " + std::to_string(first_empty) + " is empty";
      return false;
    }
    const std::string token = line.substr(b, e - b);
    char* end = nullptr;
    const float v = std::strtof(token.c_str(), &end);
    if (end != token.c_str() + token.size()) {
      error = path + ": line " + std::to_string(line_no) + ": '" + token + "' is not a number";
      return false;
    }
    // A probability of a one: NaN, an infinity or a value outside [0, 1] (also one that
    // overflows float) would give window errors that mean nothing.
    if (!std::isfinite(v) || v < 0.0f || v > 1.0f) {
      error = path + ": line " + std::to_string(line_no) + ": '" + token +
              "' is not a probability in [0, 1]";
      return false;
    }
    if (p.size() >= static_cast<std::size_t>(std::numeric_limits<int>::max())) {
      error = path + ": more than " + std::to_string(std::numeric_limits<int>::max()) + " numbers";
      return false;
    }
    p.push_back(v);
  }
  if (in.bad()) {
    error = path + ": read error";
    return false;
  }
  if (p.empty()) {
    error = path + ": holds no probabilities";
    return false;
  }
  return true;
}

}  // namespace ldpcsw
