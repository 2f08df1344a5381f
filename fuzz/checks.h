// What a matrix delivered by a reader must satisfy, checked by the fuzz targets on every input
// they accept and by the corpus test on every file of the corpora. Each function returns
// nullptr when all is well, else a short name of the broken promise.
//
// Shape: the counts positive with m <= n, the pointers from 0 and non-decreasing, one index
// per edge, every index in range (the decoders trust exactly this), and no index twice in a
// group (a one listed twice would give the decoders another graph than the file's H). Round trip: moving the
// matrix to its other form and back gives the same ones in each row or column. Decoding: a
// delivered matrix is decoded once; the decoder must stop within its iteration limit with bits
// as decisions. Round trip and decoding take small matrices only: a few bytes can describe a
// sound matrix with two billion columns, whose other form alone would take 8 GB.
#pragma once

#include <algorithm>
#include <cstdint>
#include <utility>
#include <vector>

#include "code/alist.h"
#include "code/convert.h"
#include "code/matrix.h"
#include "decode/adaptive.h"
#include "decode/plain.h"
#include "decode/scratch.h"

namespace ldpcsw::fuzz {

inline constexpr int DEEP_CHECK_MAX_BITS = 4096;
inline constexpr int DEEP_CHECK_MAX_EDGES = 16384;

// Pointers `ptr` (count + 1 of them) over `index`, every index in 0..limit-1.
inline const char* check_sparse(const std::vector<int>& ptr, const std::vector<int>& index,
                                int count, int limit) {
  if (ptr.size() != static_cast<std::size_t>(count) + 1 || ptr[0] != 0) return "pointer count";
  for (int i = 0; i < count; ++i)
    if (ptr[i + 1] < ptr[i]) return "pointers decreasing";
  if (index.size() != static_cast<std::size_t>(ptr[count])) return "index count";
  for (int v : index)
    if (v < 0 || v >= limit) return "index out of range";
  std::vector<std::pair<int, int>> scratch;
  for (int g = 0; g < count; ++g)
    if (code_first_repeat(index.data() + ptr[g], ptr[g + 1] - ptr[g], scratch) >= 0)
      return "an index twice in a group";
  return nullptr;
}

// The same ones per group, whatever their order inside the group.
inline bool same_groups(const std::vector<int>& ptr, const std::vector<int>& index,
                        const std::vector<int>& back_ptr, const std::vector<int>& back_index) {
  if (ptr != back_ptr) return false;
  for (std::size_t g = 0; g + 1 < ptr.size(); ++g) {
    std::vector<int> group(index.begin() + ptr[g], index.begin() + ptr[g + 1]);
    std::sort(group.begin(), group.end());
    if (!std::equal(group.begin(), group.end(), back_index.begin() + back_ptr[g])) return false;
  }
  return true;
}

inline std::vector<std::int8_t> pattern(int count, int salt) {
  std::vector<std::int8_t> bits(count);
  for (int i = 0; i < count; ++i) bits[i] = static_cast<std::int8_t>((i * 7 + salt) % 3 == 0);
  return bits;
}

inline const char* check_rows(const ParityCheckMatrix& h) {
  if (h.n <= 0 || h.m <= 0 || h.m > h.n) return "counts";
  if (const char* problem = check_sparse(h.ir, h.jc, h.m, h.n)) return problem;
  if (h.n > DEEP_CHECK_MAX_BITS || h.edges() > DEEP_CHECK_MAX_EDGES) return nullptr;
  const ParityCheckMatrix back = code_rows_of(code_columns_of(h));
  if (!same_groups(h.ir, h.jc, back.ir, back.jc)) return "round trip";
  const std::vector<std::int8_t> y = pattern(h.n, h.edges()), s = pattern(h.m, 1);
  std::vector<std::int8_t> x_hat(h.n, 0), bytes(byte_scratch_size(h.edges(), h.m));
  std::vector<double> numbers(number_scratch_size(h.edges(), h.n));
  int iterations = 0;
  decode_syndrome_adaptive_with(h.ir.data(), h.jc.data(), h.m, h.n, y.data(), s.data(),
                                x_hat.data(), bytes.data(), numbers.data(), 0.5, 0.08, nullptr,
                                nullptr, &iterations);
  if (iterations < 1 || iterations > ADAPTIVE_MAX_ITERATIONS) return "iterations";
  for (std::int8_t b : x_hat)
    if (b != 0 && b != 1) return "decision not a bit";
  return nullptr;
}

inline const char* check_columns(const ColumnMatrix& h) {
  if (h.n <= 0 || h.m <= 0 || h.m > h.n) return "counts";
  if (const char* problem = check_sparse(h.col_ptr, h.row_index, h.n, h.m)) return problem;
  if (h.n > DEEP_CHECK_MAX_BITS || h.edges() > DEEP_CHECK_MAX_EDGES) return nullptr;
  const ColumnMatrix back = code_columns_of(code_rows_of(h));
  if (!same_groups(h.col_ptr, h.row_index, back.col_ptr, back.row_index)) return "round trip";
  const std::vector<std::int8_t> y = pattern(h.n, h.edges()), s = pattern(h.m, 1);
  std::vector<std::int8_t> x_hat(h.n, 0), bytes(byte_scratch_size(h.edges(), h.m));
  std::vector<double> numbers(number_scratch_size(h.edges(), h.n));
  int iterations = 0;
  decode_syndrome(h.row_index.data(), h.col_ptr.data(), h.m, h.n, y.data(), s.data(),
                  x_hat.data(), bytes.data(), numbers.data(), 0.5, 0.08, &iterations);
  if (iterations < 1 || iterations > PLAIN_MAX_ITERATIONS) return "iterations";
  for (std::int8_t b : x_hat)
    if (b != 0 && b != 1) return "decision not a bit";
  return nullptr;
}

}  // namespace ldpcsw::fuzz
