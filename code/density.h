// Density evolution: how far an ensemble of codes (a column and a row degree distribution) can
// go on the binary symmetric correlation channel under belief propagation.
//
// Syndrome decoding of x from s = Hx and y = x + noise is, up to the signs the syndrome puts on
// the check nodes, belief propagation on a channel code; the message densities are symmetric in
// the same way, so both share one threshold and the all-zero block stands for every block.
// The densities of log-likelihood ratios are held on a grid of step `step` over
// [-range, range]; values between grid points are split linearly between the two neighbours
// (which keeps their mean), values beyond the range are held at its end. A column's sum of
// messages is formed whole (by FFT over the grid) before it is held to the range; a row's
// powers are built from repeated squares, so that a degree d costs about 2 log2(d) check
// combinations rather than d. The threshold's bisection starts each step below a failed p
// from that p's last density, which skips most of the slow passage near p*.
//
// Error policy: parameters out of their domain are the caller's error: false and one line in
// `error`. Nothing else fails.
#pragma once

#include <functional>
#include <string>

#include "code/degrees.h"

namespace ldpcsw {

struct DensityOptions {
  double step = 1.0 / 16;  // grid step in LLR units
  double range = 30;       // largest LLR magnitude held
  int max_iterations = 3000;
  double target_error = 1e-6;  // a density whose error probability falls below this converged
  double tolerance = 1e-5;     // bisection stops when the bracket is narrower
};

// Rate of the ensemble, 1 - (mean column degree) / (mean row degree).
double code_design_rate(const DegreeDistribution& columns, const DegreeDistribution& rows);

// Binary entropy in bits.
double code_binary_entropy(double p);

// The Slepian–Wolf limit of a syndrome code of rate R: the crossover probability p <= 1/2
// with H(p) = 1 - R, the largest at which m = (1 - R) n syndrome bits can describe x.
double code_slepian_wolf_limit(double rate);

// Runs density evolution at crossover probability p. True when the error probability of the
// column-to-row messages falls below target_error within max_iterations; false when it
// stalls (it no longer falls by a millionth of itself per iteration, twenty times in a row)
// or runs out of iterations. `error_probability` gets the last value; `iterations` the count.
bool code_density_converges(const DegreeDistribution& columns, const DegreeDistribution& rows,
                            double p, const DensityOptions& options, double& error_probability,
                            int& iterations);

// Check-node combination of two magnitude densities on the grid of K steps of `step`, each
// 2(K + 1) masses: [2k] the mass at +k*step, [2k + 1] at -k*step (the mass at 0 in [0]). Each
// pair of magnitudes a, b gives 2 atanh(tanh(a/2) tanh(b/2)), split between its two
// neighbouring grid points; the sign is plus when the two agree. `out` gets 2(K + 1) masses.
// `a` and `b` may be the one array (a square, formed at half the cost). Density evolution
// uses the same combination with its tables built once. False, and nothing written, unless
// 1 <= K <= 20000 (the grids code_threshold accepts) and step > 0.
bool code_density_check_combine(const double* a, const double* b, int K, double step,
                                double* out);

// The column side sums a degree's messages on transforms of at most this many grid points.
inline constexpr long long MAX_DENSITY_FFT_LENGTH = 1LL << 22;

// The largest column degree whose sums of messages the grid of `options` can hold within
// MAX_DENSITY_FFT_LENGTH points: (2^22 - 1) / (2 range / step), 4369 on the default grid.
// code_density_converges must not be given a larger one.
int code_density_max_column_degree(const DensityOptions& options);

// Told before each bisection step: step (1-based) of steps, and the bracket [lo, hi].
using ThresholdProgress = std::function<void(int step, int steps, double lo, double hi)>;

// Threshold p* of the ensemble: the largest p in (0, 1/2) at which density evolution
// converges, by bisection to within options.tolerance (the lower end of the final bracket).
// Fails when the options are out of range (step not positive, range below 4 steps, or
// more than 20000 grid points a side), a degree is below 1 or a column degree is above
// code_density_max_column_degree. `progress`, when given, hears of each bisection step.
bool code_threshold(const DegreeDistribution& columns, const DegreeDistribution& rows,
                    const DensityOptions& options, double& threshold, std::string& error,
                    const ThresholdProgress& progress = {});

}  // namespace ldpcsw
