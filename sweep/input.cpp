#include "sweep/input.h"

#include <climits>
#include <cstdio>
#include <utility>

#include "code/convert.h"
#include "code/load.h"

namespace ldpcsw::sweep {

MatrixFormat detect_matrix_format(const std::string& text) {
  if (text.empty()) return MatrixFormat::detect;
  std::FILE* file = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (file == nullptr) return MatrixFormat::detect;
  const CodeContent content = code_content_of(file);
  std::fclose(file);
  if (content == CodeContent::rows) return MatrixFormat::rows;
  if (content == CodeContent::alist) return MatrixFormat::alist;
  return MatrixFormat::detect;
}

bool load_sweep_code(const std::string& path, MatrixFormat format, SweepCode& code,
                     std::string& error) {
  const CodeLayout layout = format == MatrixFormat::rows    ? CodeLayout::rows
                            : format == MatrixFormat::alist ? CodeLayout::alist
                                                            : CodeLayout::detect;
  LoadedCode loaded;
  std::string why;
  const LoadStatus status = load_code(path, layout, loaded, why);
  code = SweepCode{};
  if (status != LoadStatus::ok) {
    // Name the layout the file was read in, and how to name the one it looks like.
    error = path;
    if (loaded.layout != CodeLayout::detect)
      error += std::string(" (") + code_layout_name(loaded.layout) + ")";
    error += ": " + why;
    if (loaded.looks_like == CodeLayout::alist) error += "; use --format alist";
    if (loaded.looks_like == CodeLayout::rows) error += "; use --format rows";
    if (status == LoadStatus::refused && loaded.layout == CodeLayout::detect &&
        why.rfind("neither", 0) == 0)
      error += "; name the layout with --format rows or --format alist";
    return false;
  }
  // The decoders' largest array holds E + 2n numbers and their sizes are ints: a matrix beyond
  // that cannot be decoded, however much memory there is, and is refused before any array of
  // n values is made (a few bytes of file can declare a two-billion-column matrix).
  const bool rows = loaded.layout == CodeLayout::rows;
  const long long n = rows ? loaded.rows.n : loaded.columns.n;
  const long long m = rows ? loaded.rows.m : loaded.columns.m;
  const long long edges = rows ? loaded.rows.edges() : loaded.columns.edges();
  if (edges + 2 * n > INT_MAX) {
    error = path + ": n = " + std::to_string(n) + ", m = " + std::to_string(m) + ", " +
            std::to_string(edges) + " ones: the decoders' arrays would hold E + 2n = " +
            std::to_string(edges + 2 * n) + " numbers, beyond the int range (" +
            std::to_string(INT_MAX) + ") of their sizes";
    return false;
  }
  if (loaded.layout == CodeLayout::rows) {
    ColumnMatrix columns = code_columns_of(loaded.rows);
    code.n = loaded.rows.n;
    code.m = loaded.rows.m;
    code.ir = std::move(loaded.rows.ir);
    code.jc = std::move(loaded.rows.jc);
    code.row_index = std::move(columns.row_index);
    code.col_ptr = std::move(columns.col_ptr);
  } else {
    ParityCheckMatrix rows = code_rows_of(loaded.columns);
    code.n = loaded.columns.n;
    code.m = loaded.columns.m;
    code.row_index = std::move(loaded.columns.row_index);
    code.col_ptr = std::move(loaded.columns.col_ptr);
    code.ir = std::move(rows.ir);
    code.jc = std::move(rows.jc);
  }
  return true;
}

std::uint64_t code_fingerprint(const SweepCode& code) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  auto add = [&h](int value) {
    auto u = static_cast<std::uint32_t>(value);
    for (int i = 0; i < 4; ++i) {
      h ^= (u >> (8 * i)) & 0xffu;
      h *= 0x100000001b3ull;
    }
  };
  add(code.n);
  add(code.m);
  for (int v : code.ir) add(v);
  for (int v : code.jc) add(v);
  return h;
}

}  // namespace ldpcsw::sweep
