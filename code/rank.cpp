#include "code/rank.h"

#include <m4ri/m4ri.h>

namespace ldpcsw {

long long gf2_rank(int n, int m, const int* ir, const int* jc, std::uint64_t max_bits) {
  if (n <= 0 || m <= 0) return 0;
  if (static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(m) > max_bits) return -1;
  mzd_t* a = mzd_init(m, n);
  for (int r = 0; r < m; ++r)
    for (int e = ir[r]; e < ir[r + 1]; ++e) mzd_write_bit(a, r, jc[e], 1);
  const long long rank = mzd_echelonize(a, 0);
  mzd_free(a);
  return rank;
}

long long gf2_left_null_space(int n, int m, const int* ir, const int* jc,
                              std::vector<std::uint64_t>& masks, int& words,
                              std::uint64_t max_bits) {
  masks.clear();
  words = 0;
  if (n <= 0 || m <= 0) return 0;
  if (static_cast<std::uint64_t>(n) * static_cast<std::uint64_t>(m) > max_bits) return -1;
  // y H = 0 is H^T y = 0: the right kernel of the transpose, which M4RI's PLUQ gives as the
  // columns of an m x d matrix.
  mzd_t* t = mzd_init(n, m);
  for (int r = 0; r < m; ++r)
    for (int e = ir[r]; e < ir[r + 1]; ++e) mzd_write_bit(t, jc[e], r, 1);
  mzd_t* kernel = mzd_kernel_left_pluq(t, 0);
  mzd_free(t);
  if (kernel == nullptr) return 0;
  const int d = kernel->ncols;
  words = (d + 63) / 64;
  masks.assign(static_cast<std::size_t>(m) * static_cast<std::size_t>(words), 0);
  for (int r = 0; r < m; ++r)
    for (int i = 0; i < d; ++i)
      if (mzd_read_bit(kernel, r, i))
        masks[static_cast<std::size_t>(r) * words + i / 64] |= std::uint64_t{1} << (i % 64);
  mzd_free(kernel);
  return d;
}

}  // namespace ldpcsw
