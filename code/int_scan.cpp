#include "code/int_scan.h"

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>

namespace ldpcsw {
namespace {

// errno of the last read that failed on this thread, for scan_problem.
thread_local int last_read_errno = 0;

}  // namespace

ScanStatus scan_int(std::FILE* file, int& value) {
  int c = getc_unlocked(file);
  while (c != EOF && std::isspace(c)) c = getc_unlocked(file);
  if (c == EOF) {
    if (!std::ferror(file)) return ScanStatus::end_of_file;
    last_read_errno = errno;
    return ScanStatus::read_error;
  }
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = (c == '-');
    c = getc_unlocked(file);
  }
  if (c == EOF || !std::isdigit(c)) {
    if (c != EOF) ungetc(c, file);
    return ScanStatus::not_integer;
  }
  // Accumulate as a negative number so that INT_MIN is reachable.
  long long acc = 0;
  bool overflow = false;
  while (c != EOF && std::isdigit(c)) {
    if (!overflow) {
      acc = acc * 10 - (c - '0');
      if (acc < static_cast<long long>(INT_MIN) - 1) overflow = true;
    }
    c = getc_unlocked(file);
  }
  if (c != EOF) ungetc(c, file);
  if (!negative) acc = -acc;
  if (overflow || acc > INT_MAX || acc < INT_MIN) return ScanStatus::out_of_range;
  value = static_cast<int>(acc);
  return ScanStatus::ok;
}

ScanStatus scan_rest_is_space(std::FILE* file) {
  int c = getc_unlocked(file);
  while (c != EOF && std::isspace(c)) c = getc_unlocked(file);
  if (c != EOF) {
    ungetc(c, file);
    return ScanStatus::not_integer;
  }
  if (!std::ferror(file)) return ScanStatus::ok;
  last_read_errno = errno;
  return ScanStatus::read_error;
}

std::string scan_problem(ScanStatus status) {
  switch (status) {
    case ScanStatus::ok: return "no problem";
    case ScanStatus::end_of_file: return "the file ends early";
    case ScanStatus::not_integer: return "a value is not an integer";
    case ScanStatus::out_of_range: return "a value is outside the int range";
    case ScanStatus::read_error:
      return std::string("the file cannot be read (") + std::strerror(last_read_errno) + ")";
  }
  return "unknown problem";
}

}  // namespace ldpcsw
