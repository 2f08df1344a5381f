#include "code/density.h"

#include <algorithm>
#include <cmath>
#include <vector>

namespace ldpcsw {

double code_design_rate(const DegreeDistribution& columns, const DegreeDistribution& rows) {
  return 1 - code_mean_degree(columns) / code_mean_degree(rows);
}

double code_binary_entropy(double p) {
  if (p <= 0 || p >= 1) return 0;
  return -p * std::log2(p) - (1 - p) * std::log2(1 - p);
}

double code_slepian_wolf_limit(double rate) {
  const double bits = 1 - rate;  // syndrome bits per source bit
  if (bits <= 0) return 0;
  if (bits >= 1) return 0.5;
  double lo = 0, hi = 0.5;  // H rises on [0, 1/2]
  for (int i = 0; i < 100; ++i) {
    const double mid = (lo + hi) / 2;
    (code_binary_entropy(mid) < bits ? lo : hi) = mid;
  }
  return lo;
}

namespace {

// Masses below this are dropped from the loops (they cannot move an error probability of
// the size the convergence test looks at).
constexpr double NEGLIGIBLE = 1e-30;

// Densities on the grid: a signed density holds 2K + 1 masses, index i for the value
// (i - K) * step; a magnitude density holds, for k = 0..K, the mass at +k*step (plus) and at
// -k*step (minus), the mass at 0 counted in plus[0].
struct Evolution {
  int K;
  double step;
  std::vector<int> table_lo;     // row combination of magnitudes a, b: lower grid point
  std::vector<double> table_up;  // and the share that goes one point up
  std::vector<double> scratch, prefix;

  Evolution(int K_, double step_) : K(K_), step(step_) {
    const std::size_t side = static_cast<std::size_t>(K) + 1;
    table_lo.resize(side * side);
    table_up.resize(side * side);
    std::vector<double> t(side);
    for (int a = 0; a <= K; ++a) t[a] = std::tanh(a * step / 2);
    for (int a = 0; a <= K; ++a)
      for (int b = 0; b <= K; ++b) {
        double x = 2 * std::atanh(t[a] * t[b]) / step;
        x = std::min(x, static_cast<double>(std::min(a, b)));  // never beyond either input
        const int lo = std::min(static_cast<int>(std::floor(x)), K - 1);
        table_lo[a * side + b] = lo;
        table_up[a * side + b] = std::max(0.0, x - lo);
      }
  }

  // Adds `mass` at value x (in grid units, signed), split between its neighbours, held at the
  // range's ends.
  void deposit(std::vector<double>& d, double x, double mass) const {
    x = std::clamp(x, static_cast<double>(-K), static_cast<double>(K));
    const int lo = std::min(static_cast<int>(std::floor(x)), K - 1);
    const double up = x - lo;
    d[lo + K] += mass * (1 - up);
    d[lo + 1 + K] += mass * up;
  }

  // out = a ⊛ b on the signed grid, sums beyond the range held at its ends.
  void convolve(const std::vector<double>& a, const std::vector<double>& b,
                std::vector<double>& out) {
    const int N = 2 * K + 1;
    out.assign(N, 0.0);
    int b_first = 0, b_last = N - 1;
    while (b_first < N && b[b_first] < NEGLIGIBLE) ++b_first;
    while (b_last > b_first && b[b_last] < NEGLIGIBLE) --b_last;
    if (b_first == N) return;
    prefix.assign(N + 1, 0.0);
    for (int j = 0; j < N; ++j) prefix[j + 1] = prefix[j] + b[j];
    for (int i = 0; i < N; ++i) {
      const double ai = a[i];
      if (ai < NEGLIGIBLE) continue;
      // out index i + j - K; keep j with 0 <= i + j - K <= 2K.
      const int j_low = std::max(b_first, K - i), j_high = std::min(b_last, 3 * K - i);
      if (j_low > b_first) out[0] += ai * (prefix[std::min(j_low, b_last + 1)] - prefix[b_first]);
      if (j_high < b_last)
        out[N - 1] += ai * (prefix[b_last + 1] - prefix[std::max(j_high + 1, b_first)]);
      double* o = out.data() + (i - K);
      for (int j = j_low; j <= j_high; ++j) o[j] += ai * b[j];
    }
  }

  // Check-node combination of two magnitude densities.
  void combine(const std::vector<double>& ap, const std::vector<double>& an,
               const std::vector<double>& bp, const std::vector<double>& bn,
               std::vector<double>& op, std::vector<double>& on) const {
    const std::size_t side = static_cast<std::size_t>(K) + 1;
    op.assign(side, 0.0);
    on.assign(side, 0.0);
    int b_last = K;
    while (b_last > 0 && bp[b_last] + bn[b_last] < NEGLIGIBLE) --b_last;
    for (int a = 0; a <= K; ++a) {
      const double pa = ap[a], na = an[a];
      if (pa + na < NEGLIGIBLE) continue;
      const int* lo = &table_lo[a * side];
      const double* up = &table_up[a * side];
      for (int b = 0; b <= b_last; ++b) {
        const double pb = bp[b], nb = bn[b];
        const double plus = pa * pb + na * nb, minus = pa * nb + na * pb;
        const int l = lo[b];
        const double u = up[b];
        op[l] += plus * (1 - u);
        op[l + 1] += plus * u;
        on[l] += minus * (1 - u);
        on[l + 1] += minus * u;
      }
    }
    op[0] += on[0];
    on[0] = 0;
  }
};

}  // namespace

bool code_density_converges(const DegreeDistribution& columns, const DegreeDistribution& rows,
                            double p, const DensityOptions& options, double& error_probability,
                            int& iterations) {
  const int K = static_cast<int>(std::lround(options.range / options.step));
  const int N = 2 * K + 1;
  Evolution ev(K, options.step);
  const std::vector<double> lambda = code_edge_fractions(columns);
  const std::vector<double> rho = code_edge_fractions(rows);

  std::vector<double> channel(N, 0.0);
  const double lc = std::log((1 - p) / p) / options.step;
  ev.deposit(channel, lc, 1 - p);
  ev.deposit(channel, -lc, p);

  auto error_of = [&](const std::vector<double>& d) {
    double e = 0.5 * d[K];
    for (int i = 0; i < K; ++i) e += d[i];
    return e;
  };

  std::vector<double> v = channel, c(N), sum(N), power(N), next(N);
  std::vector<double> vp(K + 1), vn(K + 1), accp, accn, tp, tn, cp(K + 1), cn(K + 1);
  double previous = error_of(v);
  int stalls = 0;
  error_probability = previous;
  for (iterations = 1; iterations <= options.max_iterations; ++iterations) {
    // Rows: c = Σ ρ_d v^{⊞(d-1)}; v^{⊞0} is certainty (all mass at +range).
    for (int k = 0; k <= K; ++k) {
      vp[k] = v[K + k];
      vn[k] = k == 0 ? 0.0 : v[K - k];
    }
    std::fill(cp.begin(), cp.end(), 0.0);
    std::fill(cn.begin(), cn.end(), 0.0);
    accp.assign(K + 1, 0.0);
    accn.assign(K + 1, 0.0);
    accp[K] = 1;
    int power_degree = 1;  // acc holds v^{⊞(power_degree - 1)}
    for (std::size_t i = 0; i < rows.degrees.size(); ++i) {
      while (power_degree < rows.degrees[i]) {
        ev.combine(accp, accn, vp, vn, tp, tn);
        accp.swap(tp);
        accn.swap(tn);
        ++power_degree;
      }
      for (int k = 0; k <= K; ++k) {
        cp[k] += rho[i] * accp[k];
        cn[k] += rho[i] * accn[k];
      }
    }
    std::fill(c.begin(), c.end(), 0.0);
    for (int k = 0; k <= K; ++k) {
      c[K + k] += cp[k];
      c[K - k] += cn[k];
    }
    // Columns: v = channel ⊛ Σ λ_d c^{⊛(d-1)}.
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(power.begin(), power.end(), 0.0);
    power[K] = 1;  // c^{⊛0}: all mass at 0
    power_degree = 1;
    for (std::size_t i = 0; i < columns.degrees.size(); ++i) {
      while (power_degree < columns.degrees[i]) {
        ev.convolve(power, c, next);
        power.swap(next);
        ++power_degree;
      }
      for (int j = 0; j < N; ++j) sum[j] += lambda[i] * power[j];
    }
    ev.convolve(channel, sum, v);
    // Every step maps a total mass M to about M^(dv-1)(dc-1), so rounding in the total would
    // grow without bound: hold it at 1.
    double mass = 0;
    for (double x : v) mass += x;
    for (double& x : v) x /= mass;

    const double e = error_of(v);
    error_probability = e;
    if (e < options.target_error) return true;
    stalls = (previous - e < 1e-6 * e) ? stalls + 1 : 0;
    if (stalls >= 20) return false;
    previous = e;
  }
  iterations = options.max_iterations;
  return false;
}

bool code_threshold(const DegreeDistribution& columns, const DegreeDistribution& rows,
                    const DensityOptions& options, double& threshold, std::string& error) {
  if (!(options.step > 0) || !(options.range >= 4 * options.step) ||
      options.range / options.step > 20000) {
    error = "the grid (step " + std::to_string(options.step) + ", range " +
            std::to_string(options.range) +
            ") needs a positive step, a range of at least 4 steps, at most 20000 steps a side";
    return false;
  }
  for (const DegreeDistribution* d : {&columns, &rows})
    for (int degree : d->degrees)
      if (degree < 1) {
        error = "degree " + std::to_string(degree) + " is below 1";
        return false;
      }
  double lo = 0, hi = 0.5, e = 0;
  int iterations = 0;
  while (hi - lo > options.tolerance) {
    const double mid = (lo + hi) / 2;
    (code_density_converges(columns, rows, mid, options, e, iterations) ? lo : hi) = mid;
  }
  threshold = lo;
  return true;
}

}  // namespace ldpcsw
