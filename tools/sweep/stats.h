// The statistics of a sweep point: binary entropy, Wilson score intervals, and the
// Slepian-Wolf limit of a syndrome code.
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

// The crossover probability p in (0, 1/2] at which H(p) = rate (rate = m/n): a syndrome code of
// that rate can only succeed while H(p) < rate. Returns 0.5 for rate >= 1 and 0 for rate <= 0.
double slepian_wolf_limit(double rate);

}  // namespace ldpcsw::sweep
