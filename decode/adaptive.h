// decode_syndrome_adaptive: the sum-product syndrome decoder over the row-major H, with the
// window-width estimation step after every tenth iteration.
//
// Recovers x from its syndrome s = H x and from side information y (x through a binary
// symmetric channel with crossover p_cross; p_src is the prior probability of a one).
// Up to 50 flooding iterations. Returns 1 when an iteration that changed at least one hard
// decision leaves decisions satisfying the syndrome; 0 after 50 iterations, at the fifth
// iteration in a row without a change, or when the estimation step fails. x_hat holds the
// last decisions in every case; on entry it holds the decisions the first iteration is
// compared with. The scratch arrays are laid out as decode/scratch.h says.
// Not reentrant: the estimation step updates process-wide accumulators.
#pragma once

#include <cstdint>

namespace ldpcsw {

inline constexpr int ADAPTIVE_MAX_ITERATIONS = 50;
inline constexpr int ESTIMATION_PERIOD = 10;

// The step run after every tenth iteration with the a-posteriori LLRs (n values, which it
// may overwrite). Returning false ends the decode call with result 0.
using EstimationHook = bool (*)(double* llr_post, int n, void* context);

// The experiment's estimation step: p_one, the timed CPU width search, the GPU stage, and the
// smoothing into llr_post. Blocks shorter than the search's first width are skipped whole.
bool estimation_step(double* llr_post, int n, void* context);

int decode_syndrome_adaptive(const int* ir, const int* jc, int m, int n, const std::int8_t* y,
                             const std::int8_t* s, std::int8_t* x_hat, std::int8_t* byte_scratch,
                             double* number_scratch, double p_src, double p_cross);

// The same decoder with the estimation step replaced by `hook` (nullptr: no step at all) and
// the number of iterations run written to `iterations` when it is not null.
int decode_syndrome_adaptive_with(const int* ir, const int* jc, int m, int n,
                                  const std::int8_t* y, const std::int8_t* s, std::int8_t* x_hat,
                                  std::int8_t* byte_scratch, double* number_scratch, double p_src,
                                  double p_cross, EstimationHook hook, void* context,
                                  int* iterations);

}  // namespace ldpcsw
