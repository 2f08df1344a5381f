#include "code/blocks.h"

#include <cstring>

#include "platform/crt.h"

namespace ldpcsw {

void draw_block(std::int8_t* x, std::int8_t* y, int n, double p_src, double p_cross) {
  const double source_threshold = RAND_SCALE * p_src;
  const double noise_threshold = RAND_SCALE * p_cross;
  for (int j = 0; j < n; ++j) {
    const int r1 = crt_rand();
    x[j] = source_threshold > static_cast<double>(r1) ? 1 : 0;
    const int r2 = crt_rand();
    const std::int8_t z = noise_threshold > static_cast<double>(r2) ? 1 : 0;
    y[j] = static_cast<std::int8_t>(x[j] ^ z);
  }
}

void compute_syndrome(const int* ir, const int* jc, int m, const std::int8_t* x, std::int8_t* s) {
  if (m > 0) std::memset(s, 0, static_cast<std::size_t>(m));  // a code without checks may pass no array
  for (int r = 0; r < m; ++r)
    for (int e = ir[r]; e < ir[r + 1]; ++e) s[r] = static_cast<std::int8_t>(s[r] ^ x[jc[e]]);
}

void compute_syndrome_columns(const int* row_index, const int* col_ptr, int n, int m,
                              const std::int8_t* x, std::int8_t* s) {
  if (m > 0) std::memset(s, 0, static_cast<std::size_t>(m));  // a code without checks may pass no array
  for (int i = 0; i < n; ++i)
    for (int e = col_ptr[i]; e < col_ptr[i + 1]; ++e)
      s[row_index[e]] = static_cast<std::int8_t>(s[row_index[e]] ^ x[i]);
}

int count_bit_errors(const std::int8_t* a, const std::int8_t* b, int n) {
  int errors = 0;
  for (int j = 0; j < n; ++j) errors += (a[j] ^ b[j]);
  return errors;
}

}  // namespace ldpcsw
