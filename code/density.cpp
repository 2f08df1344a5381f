#include "code/density.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
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

// Adds a combined pair's mass to the grid point at index l (its signs `plus` and `minus`
// interleaved at 2l and 2l + 1) and the point above it, shared as 1 - up and up.
inline void add_pair_mass(double* o, int l, double up, double plus, double minus) {
  const double down = 1 - up;
  o[2 * l] += plus * down;
  o[2 * l + 1] += minus * down;
  o[2 * l + 2] += plus * up;
  o[2 * l + 3] += minus * up;
}

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

  // Check-node combination of two magnitude densities, each interleaved: [2k] the mass at
  // +k*step, [2k + 1] at -k*step. `same`: a and b are the one density (a square), whose
  // pairs (a, b) and (b, a) are formed once.
  void combine(const std::vector<double>& a, const std::vector<double>& b, std::vector<double>& out,
               bool same) const {
    const std::size_t side = static_cast<std::size_t>(K) + 1;
    out.assign(2 * side + 2, 0.0);  // one spare pair: l + 1 <= K always, but the loop is simpler
    int b_last = K;
    while (b_last > 0 && b[2 * b_last] + b[2 * b_last + 1] < NEGLIGIBLE) --b_last;
    double* o = out.data();
    for (int i = 0; i <= K; ++i) {
      double pa = a[2 * i], na = a[2 * i + 1];
      if (pa + na < NEGLIGIBLE) continue;
      const int* lo = &table_lo[i * side];
      const double* up = &table_up[i * side];
      int first = 0;
      if (same) {
        // The diagonal once, every other pair twice.
        first = i + 1;
        add_pair_mass(o, lo[i], up[i], pa * pa + na * na, 2 * pa * na);
        pa *= 2;
        na *= 2;
      }
      for (int j = first; j <= b_last; ++j) {
        const double pb = b[2 * j], nb = b[2 * j + 1];
        add_pair_mass(o, lo[j], up[j], pa * pb + na * nb, pa * nb + na * pb);
      }
    }
    out.resize(2 * side);
    out[0] += out[1];
    out[1] = 0;
  }
};


// A complex number with the plain product (a c - b d, a d + b c): the library's complex
// product adds a recovery branch for infinities that costs more than the product here, where
// every value is a finite probability mass or its transform.
struct Cplx {
  double re = 0, im = 0;
};
inline Cplx operator*(Cplx a, Cplx b) { return {a.re * b.re - a.im * b.im, a.re * b.im + a.im * b.re}; }
inline Cplx operator+(Cplx a, Cplx b) { return {a.re + b.re, a.im + b.im}; }
inline Cplx operator-(Cplx a, Cplx b) { return {a.re - b.re, a.im - b.im}; }

// A radix-2 complex FFT of one length, with its twiddle factors computed once (each from cos
// and sin directly, no recurrence that would accumulate rounding).
class Fft {
 public:
  explicit Fft(std::size_t length) : length_(length), twiddle_(length / 2), reversed_(length) {
    const double pi = std::acos(-1.0);
    for (std::size_t k = 0; k < length / 2; ++k) {
      const double angle = -2 * pi * static_cast<double>(k) / static_cast<double>(length);
      twiddle_[k] = {std::cos(angle), std::sin(angle)};
    }
    int bits = 0;
    while ((std::size_t{1} << bits) < length) ++bits;
    for (std::size_t i = 0; i < length; ++i) {
      std::size_t r = 0;
      for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
      reversed_[i] = r;
    }
  }
  std::size_t length() const { return length_; }

  // In place; `inverse` conjugates the twiddles and divides by the length.
  void transform(std::vector<Cplx>& a, bool inverse) const {
    for (std::size_t i = 0; i < length_; ++i)
      if (i < reversed_[i]) std::swap(a[i], a[reversed_[i]]);
    for (std::size_t half = 1; half < length_; half *= 2) {
      const std::size_t stride = length_ / (2 * half);
      for (std::size_t start = 0; start < length_; start += 2 * half)
        for (std::size_t k = 0; k < half; ++k) {
          Cplx w = twiddle_[k * stride];
          if (inverse) w.im = -w.im;
          const Cplx u = a[start + k], t = w * a[start + k + half];
          a[start + k] = u + t;
          a[start + k + half] = u - t;
        }
    }
    if (inverse)
      for (Cplx& x : a) {
        x.re /= static_cast<double>(length_);
        x.im /= static_cast<double>(length_);
      }
  }

 private:
  std::size_t length_;
  std::vector<Cplx> twiddle_;
  std::vector<std::size_t> reversed_;
};

// z^k by squaring (k >= 0).
Cplx power_of(Cplx z, int k) {
  Cplx r{1, 0};
  while (k > 0) {
    if (k & 1) r = r * z;
    k >>= 1;
    if (k > 0) z = z * z;
  }
  return r;
}

// Length of the FFT that holds the sum of the channel message and `degree` - 1 row messages
// on a grid of K steps a side without wrapping: every sum lies in [-degree K, degree K].
std::size_t column_fft_length(int K, int degree) {
  const std::uint64_t span = 2 * static_cast<std::uint64_t>(degree) * static_cast<std::uint64_t>(K) + 1;
  std::uint64_t length = 1;
  while (length < span) length *= 2;
  return static_cast<std::size_t>(length);
}

// Masses the FFT's rounding leaves where there is none (about 1e-16 of the total, times the
// transform's depth) are cleared below this: far below any error probability that matters.
constexpr double FFT_NOISE = 1e-13;

// A number as the shortest text that reads back to it.
std::string number_text(double v) {
  char text[32];
  const auto r = std::to_chars(text, text + sizeof text, v);
  return std::string(text, r.ptr);
}

}  // namespace

int code_density_max_column_degree(const DensityOptions& options) {
  const double K = std::round(options.range / options.step);
  if (!(K >= 1)) return 0;
  // 2 D K + 1 <= MAX_FFT_LENGTH.
  return static_cast<int>(std::floor((static_cast<double>(MAX_DENSITY_FFT_LENGTH) - 1) / (2 * K)));
}

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

  // The column side works on the transforms: a sum of messages is a product there, so the
  // powers c^{⊛(d-1)} of every degree cost a few multiplications per frequency. A value x of
  // the grid (in steps) sits at index x mod L; L holds every sum without wrapping.
  const Fft fft(column_fft_length(K, columns.degrees.back()));
  const std::size_t L = fft.length();
  const auto to_circle = [&](const std::vector<double>& d, std::vector<Cplx>& a) {
    a.assign(L, Cplx{});
    for (int i = 0; i < N; ++i)
      if (d[i] != 0.0) a[(static_cast<std::size_t>(i) + L - static_cast<std::size_t>(K)) % L].re = d[i];
  };
  std::vector<Cplx> channel_f, work;
  to_circle(channel, channel_f);
  fft.transform(channel_f, false);

  std::vector<double> v = channel, c(N);
  std::vector<double> mags(2 * (K + 1)), acc, t, rowsum(2 * (K + 1));
  std::vector<std::vector<double>> squares;  // squares[j] = v^{⊞2^j}
  double previous = error_of(v);
  int stalls = 0;
  error_probability = previous;
  for (iterations = 1; iterations <= options.max_iterations; ++iterations) {
    // Rows: c = Σ ρ_d v^{⊞(d-1)}; v^{⊞0} is certainty (all mass at +range). Each power is the
    // one before it combined with the squares v^{⊞2^j} that make up the difference.
    for (int k = 0; k <= K; ++k) {
      mags[2 * k] = v[K + k];
      mags[2 * k + 1] = k == 0 ? 0.0 : v[K - k];
    }
    squares.assign(1, mags);
    std::fill(rowsum.begin(), rowsum.end(), 0.0);
    int power = 0;  // acc holds v^{⊞power}; none yet while power is 0
    for (std::size_t i = 0; i < rows.degrees.size(); ++i) {
      int gap = rows.degrees[i] - 1 - power;
      for (std::size_t j = 0; gap > 0; ++j, gap >>= 1) {
        if (j == squares.size()) {
          ev.combine(squares[j - 1], squares[j - 1], t, true);
          squares.push_back(t);
        }
        if ((gap & 1) == 0) continue;
        if (power == 0) {
          acc = squares[j];
        } else {
          ev.combine(acc, squares[j], t, false);
          acc.swap(t);
        }
        power += 1 << j;
      }
      if (power == 0) {
        rowsum[2 * K] += rho[i];
      } else {
        for (std::size_t k = 0; k < rowsum.size(); ++k) rowsum[k] += rho[i] * acc[k];
      }
    }
    std::fill(c.begin(), c.end(), 0.0);
    for (int k = 0; k <= K; ++k) {
      c[K + k] += rowsum[2 * k];
      c[K - k] += rowsum[2 * k + 1];
    }
    // Columns: v = channel ⊛ Σ λ_d c^{⊛(d-1)}, sums beyond the range held at its ends.
    to_circle(c, work);
    fft.transform(work, false);
    for (std::size_t f = 0; f < L; ++f) {
      const Cplx z = work[f];
      Cplx acc{1, 0}, sum{0, 0};
      int exponent = 0;
      for (std::size_t i = 0; i < columns.degrees.size(); ++i) {
        acc = acc * power_of(z, columns.degrees[i] - 1 - exponent);
        exponent = columns.degrees[i] - 1;
        sum = sum + Cplx{lambda[i] * acc.re, lambda[i] * acc.im};
      }
      work[f] = sum * channel_f[f];
    }
    fft.transform(work, true);
    std::fill(v.begin(), v.end(), 0.0);
    for (std::size_t t = 0; t < L; ++t) {
      const double mass = work[t].re;
      if (mass < FFT_NOISE) continue;
      const long long x = t < L / 2 ? static_cast<long long>(t) : static_cast<long long>(t) - static_cast<long long>(L);
      v[static_cast<std::size_t>(std::clamp<long long>(x, -K, K) + K)] += mass;
    }
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
                    const DensityOptions& options, double& threshold, std::string& error,
                    const ThresholdProgress& progress) {
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
  const int most = code_density_max_column_degree(options);
  if (columns.degrees.back() > most) {
    error = "column degree " + std::to_string(columns.degrees.back()) +
            " is beyond what the grid (step " + number_text(options.step) + ", range " +
            number_text(options.range) + ") can sum, at most " + std::to_string(most) +
            ": use a coarser step or a smaller range";
    return false;
  }
  double lo = 0, hi = 0.5, e = 0;
  int iterations = 0, steps = 0, step = 0;
  for (double width = hi - lo; width > options.tolerance; width /= 2) ++steps;
  while (hi - lo > options.tolerance) {
    if (progress) progress(++step, steps, lo, hi);
    const double mid = (lo + hi) / 2;
    (code_density_converges(columns, rows, mid, options, e, iterations) ? lo : hi) = mid;
  }
  threshold = lo;
  return true;
}

}  // namespace ldpcsw
