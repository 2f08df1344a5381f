#include <climits>
#include <algorithm>
#include <cstdint>

#include "code/convert.h"
#include "code/int_scan.h"
#include "code/matrix.h"

namespace ldpcsw {
namespace {

// Reads one header count and checks that it is a positive int.
bool read_count(std::FILE* file, const char* name, int& value, std::string& error) {
  ScanStatus status = scan_int(file, value);
  if (status == ScanStatus::read_error) {
    error = "header: " + scan_problem(status);
    return false;
  }
  if (status != ScanStatus::ok) {
    error = std::string("header: ") + scan_problem(status) + " where " + name + " should be";
    return false;
  }
  if (value <= 0) {
    error = std::string("header: ") + name + " is " + std::to_string(value) + ", not positive";
    return false;
  }
  return true;
}

}  // namespace

bool read_code_rows(std::FILE* file, ParityCheckMatrix& h, std::string& error) {
  int n = 0, m = 0, max_cdeg = 0;
  if (!read_count(file, "n", n, error) || !read_count(file, "m", m, error) ||
      !read_count(file, "maxCdeg", max_cdeg, error))
    return false;
  if (m > n) {
    error = "header: m = " + std::to_string(m) + " exceeds n = " + std::to_string(n) +
            "; the decoder needs m <= n";
    return false;
  }
  if (n < MIN_SEARCH_BITS) {
    error = "header: n = " + std::to_string(n) + " is below " + std::to_string(MIN_SEARCH_BITS) +
            ", the smallest block the window search serves";
    return false;
  }
  const std::int64_t slots = static_cast<std::int64_t>(m) * max_cdeg;
  if (slots > INT_MAX) {
    error = "header: m * maxCdeg = " + std::to_string(slots) + " is beyond the int range";
    return false;
  }

  // The header's counts are not trusted for memory: a short file with huge counts must fail
  // on its missing values, not on a giant allocation. Both arrays grow as the rows are read.
  constexpr std::int64_t initial_room = 1 << 20;
  std::vector<int> ir;
  std::vector<int> jc;
  ir.reserve(static_cast<std::size_t>(std::min<std::int64_t>(std::int64_t{m} + 1, initial_room)));
  jc.reserve(static_cast<std::size_t>(std::min<std::int64_t>(slots, initial_room)));
  ir.push_back(0);
  std::vector<std::pair<int, int>> scratch;
  for (int r = 0; r < m; ++r) {
    ir.push_back(ir[r]);
    for (int slot = 0; slot < max_cdeg; ++slot) {
      int temp = 0;
      ScanStatus status = scan_int(file, temp);
      if (status != ScanStatus::ok) {
        error = "row " + std::to_string(r + 1) + ", slot " + std::to_string(slot + 1) + ": " +
                scan_problem(status);
        return false;
      }
      if (temp == 0) continue;
      if (temp < 0 || temp > n) {
        error = "column " + std::to_string(temp) + " is outside 1.." + std::to_string(n) +
                " in row " + std::to_string(r + 1);
        return false;
      }
      jc.push_back(temp - 1);
      ir[r + 1] += 1;
    }
    // A column listed twice would make the decoders work on a graph with a double edge, not
    // on the H of the file.
    const int repeat = code_first_repeat(jc.data() + ir[r], ir[r + 1] - ir[r], scratch);
    if (repeat >= 0) {
      error = code_repeat_problem(r, jc[ir[r] + repeat]);
      return false;
    }
  }
  // The m rows are the whole file: anything more means the header does not describe it (an
  // alist file read as a row-list one, a matrix cut from a longer file).
  const ScanStatus rest = scan_rest_is_space(file);
  if (rest == ScanStatus::read_error) {
    error = "after row " + std::to_string(m) + ": " + scan_problem(rest);
    return false;
  }
  if (rest != ScanStatus::ok) {
    error = "the file goes on after its " + std::to_string(m) + (m == 1 ? " row of " : " rows of ") +
            std::to_string(max_cdeg) + " slots, where it should end";
    return false;
  }
  h.n = n;
  h.m = m;
  h.ir = std::move(ir);
  h.jc = std::move(jc);
  return true;
}

}  // namespace ldpcsw
