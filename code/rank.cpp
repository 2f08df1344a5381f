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

}  // namespace ldpcsw
