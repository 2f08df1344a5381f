#include <algorithm>
#include <climits>
#include <cstdint>

#include "code/alist.h"
#include "code/convert.h"
#include "code/int_scan.h"

namespace ldpcsw {
namespace {

// Reads one int; on failure names the item that should have been there.
bool read_item(std::FILE* file, const std::string& item, int& value, std::string& error) {
  const ScanStatus status = scan_int(file, value);
  if (status == ScanStatus::ok) return true;
  error = item + ": " + scan_problem(status);
  return false;
}

bool read_positive(std::FILE* file, const char* name, int& value, std::string& error) {
  if (!read_item(file, std::string("header, ") + name, value, error)) return false;
  if (value > 0) return true;
  error = std::string("header: ") + name + " is " + std::to_string(value) + ", not positive";
  return false;
}

// Arrays sized from the header grow as the file delivers values, so that a short file with
// huge counts fails on its missing values instead of on a giant allocation.
constexpr std::size_t RESERVE_CAP = std::size_t{1} << 20;

}  // namespace

bool read_code_alist(std::FILE* file, ColumnMatrix& h, std::string& error) {
  int n = 0, m = 0, max_vdeg = 0, max_cdeg = 0;
  if (!read_positive(file, "n", n, error) || !read_positive(file, "m", m, error) ||
      !read_positive(file, "maxVdeg", max_vdeg, error))
    return false;
  // maxCdeg describes the per-row lists, which are not read; it only has to be a number.
  if (!read_item(file, "header, maxCdeg", max_cdeg, error)) return false;
  if (m > n) {
    error = "header: m = " + std::to_string(m) + " exceeds n = " + std::to_string(n) +
            "; the decoders need m <= n";
    return false;
  }

  std::vector<int> col_ptr;
  col_ptr.reserve(std::min(static_cast<std::size_t>(n) + 1, RESERVE_CAP));
  col_ptr.push_back(0);
  for (int c = 0; c < n; ++c) {
    int weight = 0;
    if (!read_item(file, "weight of column " + std::to_string(c + 1), weight, error)) return false;
    if (weight < 0 || weight > max_vdeg) {
      error = "weight " + std::to_string(weight) + " of column " + std::to_string(c + 1) +
              " is outside 0.." + std::to_string(max_vdeg) + " (maxVdeg)";
      return false;
    }
    const std::int64_t sum = static_cast<std::int64_t>(col_ptr.back()) + weight;
    if (sum > INT_MAX) {
      error = "the column weights up to column " + std::to_string(c + 1) + " sum to " +
              std::to_string(sum) + ", beyond the int range";
      return false;
    }
    col_ptr.push_back(static_cast<int>(sum));
  }
  for (int r = 0; r < m; ++r) {
    int weight = 0;
    if (!read_item(file, "weight of row " + std::to_string(r + 1), weight, error)) return false;
    if (weight < 0) {
      error =
          "weight " + std::to_string(weight) + " of row " + std::to_string(r + 1) + " is negative";
      return false;
    }
  }

  std::vector<int> row_index;
  row_index.reserve(std::min(static_cast<std::size_t>(col_ptr.back()), RESERVE_CAP));
  std::vector<std::pair<int, int>> scratch;
  for (int c = 0; c < n; ++c) {
    const int weight = col_ptr[c + 1] - col_ptr[c];
    int listed = 0;
    for (int slot = 0; slot < max_vdeg; ++slot) {
      int v = 0;
      if (!read_item(file, "column " + std::to_string(c + 1) + ", slot " + std::to_string(slot + 1),
                     v, error))
        return false;
      if (v == 0) continue;
      if (v < 0 || v > m) {
        error = "row " + std::to_string(v) + " is outside 1.." + std::to_string(m) + " in column " +
                std::to_string(c + 1);
        return false;
      }
      if (++listed > weight) {
        error = "column " + std::to_string(c + 1) + " lists more ones than its weight " +
                std::to_string(weight);
        return false;
      }
      row_index.push_back(v - 1);
    }
    if (listed != weight) {
      error = "column " + std::to_string(c + 1) + " lists " + std::to_string(listed) +
              " ones but its weight is " + std::to_string(weight);
      return false;
    }
    // A row listed twice would make the decoders work on a graph with a double edge, not on
    // the H of the file.
    const int repeat = code_first_repeat(row_index.data() + col_ptr[c], weight, scratch);
    if (repeat >= 0) {
      error = code_repeat_problem(row_index[col_ptr[c] + repeat], c);
      return false;
    }
  }
  h.n = n;
  h.m = m;
  h.row_index = std::move(row_index);
  h.col_ptr = std::move(col_ptr);
  return true;
}

}  // namespace ldpcsw
