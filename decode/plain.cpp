// The plain sum-product syndrome decoder over the column-major H.
//
// Every floating-point operation below is written in the order that defines the decoder's
// result: each check's sum takes its edges in column order, each bit's a-posteriori sum takes
// its column's entries in order, and the channel LLR is the int factor (1 - 2y) converted to
// double, times the channel term, plus the prior term. When every column lists its rows
// ascending and the row-major form lists every row's columns ascending, each sum is formed in
// the same order as in decode_syndrome_adaptive, so the two decoders agree bit for bit in the
// iterations they share.
#include "decode/plain.h"

#include <cmath>
#include <cstring>

#include "decode/phi.h"

namespace ldpcsw {

int decode_syndrome(const int* row_index, const int* col_ptr, int m, int n, const std::int8_t* y,
                    const std::int8_t* s, std::int8_t* x_hat, std::int8_t* byte_scratch,
                    double* number_scratch, double p_src, double p_cross, int* iterations) {
  const int edges = col_ptr[n];
  const int* const R = row_index;
  const int* const C = col_ptr;

  // Regions of the two scratch arrays (decode/scratch.h).
  std::int8_t* const edge_sign = byte_scratch;
  std::int8_t* const chk_parity = byte_scratch + edges;
  double* const llr_ch = number_scratch;
  double* const edge_msg = number_scratch + n;
  double* const chk_sum = number_scratch + n + edges;  // m sums in the check pass
  double* const llr_post = chk_sum;                     // then n LLRs in the bit pass

  const std::size_t m_bytes = static_cast<std::size_t>(m);

  // Channel LLRs, and every edge of a bit starts with its bit's channel LLR.
  const double channel_term = std::log((1.0 - p_cross) / p_cross);
  const double prior_term = std::log((1.0 - p_src) / p_src);
  for (int i = 0; i < n; ++i) {
    const int polarity = 1 - 2 * y[i];
    llr_ch[i] = static_cast<double>(polarity) * channel_term + prior_term;
    for (int e = C[i]; e < C[i + 1]; ++e) edge_msg[e] = llr_ch[i];
  }

  int stall = 0;
  for (int k = 0; k < PLAIN_MAX_ITERATIONS; ++k) {
    // Check pass, first sweep: signs, phi magnitudes, parities seeded with the syndrome,
    // and the sum of magnitudes of each check.
    for (int r = 0; r < m; ++r) chk_sum[r] = 0.0;
    std::memcpy(chk_parity, s, m_bytes);
    for (int e = 0; e < edges; ++e) {
      const int r = R[e];
      const double msg = edge_msg[e];
      const std::int8_t sign = msg < 0.0 ? 1 : 0;
      edge_sign[e] = sign;
      const double magnitude = phi(std::fabs(msg));
      edge_msg[e] = magnitude;
      chk_parity[r] = static_cast<std::int8_t>(chk_parity[r] ^ sign);
      chk_sum[r] += magnitude;
    }

    // Second sweep: each edge gets the check's sum and parity without its own contribution.
    // The difference goes to phi as it is: rounding below DBL_MIN counts as DBL_MIN.
    for (int e = 0; e < edges; ++e) {
      const int r = R[e];
      const std::int8_t sign = static_cast<std::int8_t>(edge_sign[e] ^ chk_parity[r]);
      edge_sign[e] = sign;
      edge_msg[e] = phi(chk_sum[r] - edge_msg[e]) * static_cast<double>(1 - 2 * sign);
    }

    // Bit pass: a-posteriori LLR, decision, and the extrinsic messages back to the checks.
    int changes = 0;
    std::memcpy(llr_post, llr_ch, static_cast<std::size_t>(n) * sizeof(double));
    for (int i = 0; i < n; ++i) {
      const int first = C[i], last = C[i + 1];
      double post = llr_post[i];
      for (int e = first; e < last; ++e) post += edge_msg[e];
      llr_post[i] = post;
      const std::int8_t d = post < 0.0 ? 1 : 0;
      if (d != x_hat[i]) changes += 1;
      x_hat[i] = d;
      for (int e = first; e < last; ++e) edge_msg[e] = post - edge_msg[e];
    }

    // Stopping tests. Only an iteration that changed a decision tests the syndrome; five
    // iterations in a row without a change end the call.
    if (changes != 0) {
      stall = 0;
      std::memcpy(chk_parity, s, m_bytes);
      for (int i = 0; i < n; ++i) {
        const std::int8_t d = x_hat[i];
        for (int e = C[i]; e < C[i + 1]; ++e)
          chk_parity[R[e]] = static_cast<std::int8_t>(chk_parity[R[e]] ^ d);
      }
      bool satisfied = true;
      for (int r = 0; r < m; ++r) {
        if (chk_parity[r] != 0) {
          satisfied = false;
          break;
        }
      }
      if (satisfied) {
        if (iterations != nullptr) *iterations = k + 1;
        return 1;
      }
    } else {
      if (stall == 4) {
        if (iterations != nullptr) *iterations = k + 1;
        return 0;
      }
      stall += 1;
    }
  }
  if (iterations != nullptr) *iterations = PLAIN_MAX_ITERATIONS;
  return 0;
}

}  // namespace ldpcsw
