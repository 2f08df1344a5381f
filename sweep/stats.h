// The statistics of a sweep point: binary entropy, Wilson score intervals (for frames, and for
// bits with the blocks as clusters), and the Slepian-Wolf limit of a syndrome code.
#pragma once

#include <cstdint>

namespace ldpcsw::sweep {

// Two-sided 95% normal quantile.
inline constexpr double Z95 = 1.959963984540054;

// H(p) = -p log2 p - (1-p) log2 (1-p), in bits; 0 at p = 0 and p = 1.
double binary_entropy(double p);

struct Interval {
  double estimate;  // successes / trials; NaN when trials = 0
  double lo;
  double hi;
};

// Wilson score interval for `successes` out of `trials` at normal quantile z. Bounds are clamped
// to [0, 1], and lo is exactly 0 when successes = 0, hi exactly 1 when successes = trials.
// trials = 0 carries no information: estimate NaN, interval [0, 1].
Interval wilson_interval(std::int64_t successes, std::int64_t trials, double z = Z95);

// The same interval for a real-valued count of successes (an effective count); the integer
// version above is this one with its arguments converted.
Interval wilson_interval_real(double successes, double trials, double z = Z95);

// Interval for a bit error rate when bits come in clusters of `cluster_size` (the bits of one
// block) and the errors of a cluster are not independent: a failed block carries a burst.
// `sum` is the total of the per-cluster error counts e_i over `clusters` clusters, `sum_sq`
// the total of e_i^2. The design effect
//   deff = s^2 / (n * phat * (1 - phat)),  s^2 = (sum_sq - sum^2 / B) / (B - 1),
// (the between-cluster variance of e_i over its value for independent bits), limited to
// [1, n], turns the B * n bits into an effective sample of B * n / deff bits, and the Wilson
// interval is taken over that sample with phat kept. With no error seen, or a single cluster,
// the variance cannot be estimated and the largest design effect, n, is taken: the interval
// is then the frame interval's, as if a failed block could have all its bits wrong.
Interval cluster_interval(std::int64_t sum, std::int64_t sum_sq, std::int64_t clusters,
                          int cluster_size, double z = Z95);

// The crossover probability p in (0, 1/2] at which H(p) = rate (rate = m/n): a syndrome code of
// that rate can only succeed while H(p) < rate. Returns 0.5 for rate >= 1 and 0 for rate <= 0.
double slepian_wolf_limit(double rate);

}  // namespace ldpcsw::sweep
