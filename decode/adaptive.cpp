#include "decode/adaptive.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <new>

#include "code/matrix.h"
#include "decode/phi.h"
#include "decode/window.h"
#include "gpu/gpu_window_search.h"

namespace ldpcsw {

bool estimation_step(double* llr_post, int n, void* /*context*/) {
  // The width search needs at least its first width's window inside the block; shorter
  // blocks have nothing to search, so the step does nothing for them.
  if (n < MIN_SEARCH_BITS) return true;
  // p_one and bias live for this step only and are released on every path out of it.
  std::unique_ptr<float[]> p_one(new (std::nothrow) float[static_cast<std::size_t>(n)]);
  std::unique_ptr<float[]> bias(new (std::nothrow) float[static_cast<std::size_t>(n)]);
  if (!p_one || !bias) return true;  // no memory for the step: decoding goes on without it
  for (int i = 0; i < n; ++i) p_one[i] = static_cast<float>(1.0 / (1.0 + std::exp(llr_post[i])));
  const int bestw = cpu_width_search(bias.get(), p_one.get(), n);
  if (!gpu_window_search(p_one.get(), n)) return false;
  // The smoothed log-ratios are stored where the a-posteriori LLRs were; the next iteration
  // overwrites them before reading, so they never steer the decisions.
  smooth_into_llr(p_one.get(), n, bestw, llr_post);
  return true;
}

int decode_syndrome_adaptive(const int* ir, const int* jc, int m, int n, const std::int8_t* y,
                             const std::int8_t* s, std::int8_t* x_hat, std::int8_t* byte_scratch,
                             double* number_scratch, double p_src, double p_cross) {
  return decode_syndrome_adaptive_with(ir, jc, m, n, y, s, x_hat, byte_scratch, number_scratch,
                                       p_src, p_cross, estimation_step, nullptr, nullptr);
}

int decode_syndrome_adaptive_with(const int* ir, const int* jc, int m, int n,
                                  const std::int8_t* y, const std::int8_t* s, std::int8_t* x_hat,
                                  std::int8_t* byte_scratch, double* number_scratch, double p_src,
                                  double p_cross, EstimationHook hook, void* context,
                                  int* iterations) {
  const int num_edges = ir[m];
  std::int8_t* const edge_sign = byte_scratch;
  std::int8_t* const chk_parity = byte_scratch + num_edges;
  double* const llr_ch = number_scratch;
  double* const edge_msg = number_scratch + n;
  double* const chk_sum = number_scratch + n + num_edges;  // check pass: m sums
  double* const llr_post = chk_sum;                         // bit pass: n a-posteriori LLRs

  const double channel_term = std::log((1.0 - p_cross) / p_cross);
  const double source_term = std::log((1.0 - p_src) / p_src);
  for (int i = 0; i < n; ++i)
    llr_ch[i] = static_cast<double>(1 - 2 * y[i]) * channel_term + source_term;
  for (int e = 0; e < num_edges; ++e) edge_msg[e] = llr_ch[jc[e]];

  int stall = 0;
  for (int k = 0; k < ADAPTIVE_MAX_ITERATIONS; ++k) {
    if (iterations) *iterations = k + 1;

    // Signs and magnitudes of the bit-to-check messages.
    for (int e = 0; e < num_edges; ++e) {
      edge_sign[e] = edge_msg[e] < 0 ? 1 : 0;
      edge_msg[e] = phi(std::fabs(edge_msg[e]));
    }
    std::memset(chk_sum, 0, sizeof(double) * static_cast<std::size_t>(m));
    std::memcpy(chk_parity, s, static_cast<std::size_t>(m));

    // Check pass: each syndrome bit enters as the starting parity of its check.
    for (int r = 0; r < m; ++r) {
      const int begin = ir[r], end = ir[r + 1];
      std::int8_t parity = chk_parity[r];
      double sum = chk_sum[r];
      for (int e = begin; e < end; ++e) {
        parity = static_cast<std::int8_t>(parity ^ edge_sign[e]);
        sum += edge_msg[e];
      }
      chk_parity[r] = parity;
      chk_sum[r] = sum;
      for (int e = begin; e < end; ++e) {
        edge_sign[e] = static_cast<std::int8_t>(edge_sign[e] ^ parity);
        // The difference goes to phi as it is: one that rounding leaves below DBL_MIN
        // counts as DBL_MIN.
        edge_msg[e] = phi(sum - edge_msg[e]) * static_cast<double>(1 - 2 * edge_sign[e]);
      }
    }

    // Bit pass: a-posteriori LLRs, then the extrinsic bit-to-check messages.
    std::memcpy(llr_post, llr_ch, sizeof(double) * static_cast<std::size_t>(n));
    for (int e = 0; e < num_edges; ++e) llr_post[jc[e]] += edge_msg[e];
    for (int e = 0; e < num_edges; ++e) edge_msg[e] = llr_post[jc[e]] - edge_msg[e];

    // Hard decisions: 1 exactly when the LLR is below zero (0, -0 and NaN decide 0).
    int changes = 0;
    for (int i = 0; i < n; ++i) {
      const std::int8_t d = llr_post[i] < 0 ? 1 : 0;
      if (d != x_hat[i]) changes += 1;
      x_hat[i] = d;
    }

    // Stopping tests: the syndrome is tested only after an iteration with changes.
    if (changes != 0) {
      stall = 0;
      std::memcpy(chk_parity, s, static_cast<std::size_t>(m));
      bool satisfied = true;
      for (int r = 0; r < m; ++r) {
        std::int8_t parity = chk_parity[r];
        for (int e = ir[r]; e < ir[r + 1]; ++e) parity = static_cast<std::int8_t>(parity ^ x_hat[jc[e]]);
        chk_parity[r] = parity;
        if (parity != 0) satisfied = false;
      }
      if (satisfied) return 1;
    } else {
      if (stall == 4) return 0;
      stall += 1;
    }

    if ((k + 1) % ESTIMATION_PERIOD == 0 && hook != nullptr && !hook(llr_post, n, context))
      return 0;
  }
  return 0;
}

}  // namespace ldpcsw
