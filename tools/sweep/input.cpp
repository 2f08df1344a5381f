#include "tools/sweep/input.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "code/alist.h"
#include "code/convert.h"
#include "code/matrix.h"

namespace ldpcsw::sweep {

namespace {

// The decimal integers of `text` in order, stopping at the first token that is not one.
std::vector<long long> scan_integers(const std::string& text) {
  std::vector<long long> values;
  const char* p = text.c_str();
  for (;;) {
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\f' || *p == '\v') ++p;
    if (*p == '\0') break;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(p, &end, 10);
    if (end == p || errno != 0) break;
    values.push_back(v);
    p = end;
  }
  return values;
}

}  // namespace

MatrixFormat detect_matrix_format(const std::string& text) {
  const std::vector<long long> v = scan_integers(text);
  const long long count = static_cast<long long>(v.size());
  if (count < 3) return MatrixFormat::detect;
  const long long n = v[0], m = v[1], third = v[2];
  if (n <= 0 || m <= 0 || third < 0 || n > (1LL << 31) || m > (1LL << 31) || third > (1LL << 31))
    return MatrixFormat::detect;
  if (count == 3 + m * third) return MatrixFormat::rows;
  const long long max_vdeg = third;
  const long long needed = 4 + n + m + n * max_vdeg;
  if (count >= 4 && count >= needed) {
    for (long long c = 0; c < n; ++c) {
      const long long w = v[static_cast<std::size_t>(4 + c)];
      if (w < 0 || w > max_vdeg) return MatrixFormat::detect;
    }
    return MatrixFormat::alist;
  }
  return MatrixFormat::detect;
}

bool load_sweep_code(const std::string& path, MatrixFormat format, SweepCode& code,
                     std::string& error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  std::ostringstream text;
  text << in.rdbuf();
  if (format == MatrixFormat::detect) {
    format = detect_matrix_format(text.str());
    if (format == MatrixFormat::detect) {
      error = path + ": neither a row-list nor an alist matrix (its integer count fits neither "
                     "layout); name the layout with --format rows or --format alist";
      return false;
    }
  }
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) {
    error = path + ": cannot open: " + std::strerror(errno);
    return false;
  }
  std::string why;
  bool ok = false;
  code = SweepCode{};
  if (format == MatrixFormat::rows) {
    ParityCheckMatrix h;
    ok = read_code_rows(file, h, why);
    if (ok) {
      ColumnMatrix columns = code_columns_of(h);
      code.n = h.n;
      code.m = h.m;
      code.ir = std::move(h.ir);
      code.jc = std::move(h.jc);
      code.row_index = std::move(columns.row_index);
      code.col_ptr = std::move(columns.col_ptr);
    }
  } else {
    ColumnMatrix h;
    ok = read_code_alist(file, h, why);  // refuses m > n itself, as the decoders need
    if (ok) {
      ParityCheckMatrix rows = code_rows_of(h);
      code.n = h.n;
      code.m = h.m;
      code.row_index = std::move(h.row_index);
      code.col_ptr = std::move(h.col_ptr);
      code.ir = std::move(rows.ir);
      code.jc = std::move(rows.jc);
    }
  }
  std::fclose(file);
  if (!ok) {
    error = path + " (" + (format == MatrixFormat::rows ? "row-list" : "alist") + "): " + why;
    return false;
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
