#include "code/writers.h"

#include <algorithm>
#include <string>
#include <vector>

#include "code/convert.h"

namespace ldpcsw {
namespace {

// Appends one line: the 1-based values of `zero_based` in ascending order, padded with zeros
// to `slots` entries.
void append_list(std::string& out, std::vector<int>& zero_based, int slots) {
  std::sort(zero_based.begin(), zero_based.end());
  for (int i = 0; i < slots; ++i) {
    if (i > 0) out += ' ';
    out += std::to_string(i < static_cast<int>(zero_based.size()) ? zero_based[i] + 1 : 0);
  }
  out += '\n';
}

// Writes `text` and empties it; large matrices go out in pieces instead of one huge string.
bool flush(std::FILE* file, std::string& text) {
  const bool ok = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  text.clear();
  return ok;
}

constexpr std::size_t CHUNK = 1 << 20;

bool write_rows_part(std::FILE* file, std::string& text, const ParityCheckMatrix& h, int max_cdeg) {
  std::vector<int> row;
  for (int r = 0; r < h.m; ++r) {
    row.assign(h.jc.begin() + h.ir[r], h.jc.begin() + h.ir[r + 1]);
    append_list(text, row, max_cdeg);
    if (text.size() >= CHUNK && !flush(file, text)) return false;
  }
  return true;
}

}  // namespace

bool write_code_rows(std::FILE* file, const ParityCheckMatrix& h) {
  const int max_cdeg = std::max(1, code_weights(h).max_row);
  std::string text =
      std::to_string(h.n) + ' ' + std::to_string(h.m) + ' ' + std::to_string(max_cdeg) + '\n';
  if (!write_rows_part(file, text, h, max_cdeg) || !flush(file, text)) return false;
  return std::fflush(file) == 0 && !std::ferror(file);
}

bool write_code_alist(std::FILE* file, const ParityCheckMatrix& h) {
  const CodeWeights weights = code_weights(h);
  const int max_vdeg = std::max(1, weights.max_column);
  const int max_cdeg = std::max(1, weights.max_row);
  const ColumnMatrix columns = code_columns_of(h);

  std::string text = std::to_string(h.n) + ' ' + std::to_string(h.m) + '\n' +
                     std::to_string(max_vdeg) + ' ' + std::to_string(max_cdeg) + '\n';
  for (int c = 0; c < h.n; ++c) {
    if (c > 0) text += ' ';
    text += std::to_string(columns.col_ptr[c + 1] - columns.col_ptr[c]);
    if (text.size() >= CHUNK && !flush(file, text)) return false;
  }
  text += '\n';
  for (int r = 0; r < h.m; ++r) {
    if (r > 0) text += ' ';
    text += std::to_string(h.ir[r + 1] - h.ir[r]);
    if (text.size() >= CHUNK && !flush(file, text)) return false;
  }
  text += '\n';
  std::vector<int> column;
  for (int c = 0; c < h.n; ++c) {
    column.assign(columns.row_index.begin() + columns.col_ptr[c],
                  columns.row_index.begin() + columns.col_ptr[c + 1]);
    append_list(text, column, max_vdeg);
    if (text.size() >= CHUNK && !flush(file, text)) return false;
  }
  if (!write_rows_part(file, text, h, max_cdeg) || !flush(file, text)) return false;
  return std::fflush(file) == 0 && !std::ferror(file);
}

}  // namespace ldpcsw
