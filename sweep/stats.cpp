#include "sweep/stats.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace ldpcsw::sweep {

double binary_entropy(double p) {
  if (p <= 0.0 || p >= 1.0) return 0.0;
  return -p * std::log2(p) - (1.0 - p) * std::log2(1.0 - p);
}

Interval wilson_interval(std::int64_t successes, std::int64_t trials, double z) {
  if (trials <= 0) return {std::numeric_limits<double>::quiet_NaN(), 0.0, 1.0};
  return wilson_interval_real(static_cast<double>(successes), static_cast<double>(trials), z);
}

Interval wilson_interval_real(double successes, double trials, double z) {
  if (!(trials > 0.0)) return {std::numeric_limits<double>::quiet_NaN(), 0.0, 1.0};
  const double n = trials;
  const double phat = successes / n;
  const double z2 = z * z;
  const double denom = 1.0 + z2 / n;
  const double centre = (phat + z2 / (2.0 * n)) / denom;
  const double half = z / denom * std::sqrt(phat * (1.0 - phat) / n + z2 / (4.0 * n * n));
  Interval r{phat, std::max(0.0, centre - half), std::min(1.0, centre + half)};
  if (successes <= 0) r.lo = 0.0;
  if (successes >= trials) r.hi = 1.0;
  return r;
}

Interval cluster_interval(std::int64_t sum, std::int64_t sum_sq, std::int64_t clusters,
                          int cluster_size, double z) {
  if (clusters <= 0 || cluster_size <= 0)
    return {std::numeric_limits<double>::quiet_NaN(), 0.0, 1.0};
  const double b = static_cast<double>(clusters), n = static_cast<double>(cluster_size);
  const double bits = b * n;
  const double phat = static_cast<double>(sum) / bits;
  double deff = n;
  if (sum > 0 && clusters > 1 && phat < 1.0) {
    const double mean = static_cast<double>(sum) / b;
    const double s2 = (static_cast<double>(sum_sq) - b * mean * mean) / (b - 1.0);
    deff = std::clamp(s2 / (n * phat * (1.0 - phat)), 1.0, n);
  }
  const double effective = bits / deff;
  Interval r = wilson_interval_real(phat * effective, effective, z);
  r.estimate = phat;
  if (sum <= 0) r.lo = 0.0;
  if (phat >= 1.0) r.hi = 1.0;
  return r;
}

double slepian_wolf_limit(double rate) {
  if (rate >= 1.0) return 0.5;
  if (rate <= 0.0) return 0.0;
  double lo = 0.0, hi = 0.5;  // H is increasing on [0, 1/2]
  for (int i = 0; i < 200 && hi - lo > 0.0; ++i) {
    const double mid = 0.5 * (lo + hi);
    if (mid == lo || mid == hi) break;
    if (binary_entropy(mid) < rate) lo = mid; else hi = mid;
  }
  return 0.5 * (lo + hi);
}

}  // namespace ldpcsw::sweep
