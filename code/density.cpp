#include "code/density.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
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

// Two doubles handled as one: a magnitude's plus and minus mass. Each operation acts on both
// alike, exactly as two scalar ones would.
using Pair = double __attribute__((vector_size(16)));
inline Pair load_pair(const double* p) {
  Pair v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Densities on the grid: a signed density holds 2K + 1 masses, index i for the value
// (i - K) * step; a magnitude density holds, for k = 0..K, the mass at +k*step (plus) and at
// -k*step (minus), interleaved at 2k and 2k + 1, the mass at 0 counted in plus[0].
//
// The check-node combination of magnitudes a and b (grid indices) is
// x = 2 atanh(tanh(a/2) tanh(b/2)), split between the grid points lo = floor(x) and lo + 1 as
// 1 - up and up. The table is symmetric, so only pairs a <= b are held, row a holding b = a..K.
// Along a row, x rises with b and soon settles just below a: its pairs fall into runs that
// share lo, long ones beyond the diagonal. A run's pairs are summed whole and added to the
// two grid points once: the upper point's mass as a running sum of each pair's mass times its
// share, the lower point's as the run's whole mass (from prefix sums) less that, instead of
// four scattered additions for every pair.
struct Evolution {
  int K;
  double step;
  std::vector<std::size_t> row_first;  // row a's pairs (b = a..K) from row_first[a]
  std::vector<double> share_up;        // per pair: the share of lo + 1 (lo has the rest)
  std::vector<std::size_t> run_first;  // row a's runs from run_first[a] to run_first[a + 1]
  std::vector<int> run_begin, run_lo;  // a run: its first b, its lo (it ends where the next begins)

  Evolution(int K_, double step_) : K(K_), step(step_) {
    const std::size_t side = static_cast<std::size_t>(K) + 1;
    row_first.resize(side + 1);
    run_first.resize(side + 1);
    share_up.reserve(side * (side + 1) / 2);
    std::vector<double> t(side);
    for (int a = 0; a <= K; ++a) t[a] = std::tanh(a * step / 2);
    for (int a = 0; a <= K; ++a) {
      row_first[a] = share_up.size();
      run_first[a] = run_lo.size();
      for (int b = a; b <= K; ++b) {
        double x = 2 * std::atanh(t[a] * t[b]) / step;
        x = std::min(x, static_cast<double>(a));  // never beyond either input
        const int lo = std::min(static_cast<int>(std::floor(x)), K - 1);
        const double up = std::max(0.0, x - lo);
        share_up.push_back(up);
        if (run_lo.size() == run_first[a] || run_lo.back() != lo) {
          run_begin.push_back(b);
          run_lo.push_back(lo);
        }
      }
    }
    row_first[side] = share_up.size();
    run_first[side] = run_lo.size();
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

  // Check-node combination of two magnitude densities (2(K + 1) masses each) into `out`.
  // Pair (i, j) and its mirror (j, i) land on the same grid points: for i < j their signed
  // masses a_i b_j + a_j b_i are summed together. `same`: a and b are the one density (a
  // square), whose mirror terms are equal and are formed once and doubled.
  void combine(const double* a, const double* b, double* out, bool same) const {
    if (same)
      combine_pairs<true>(a, a, out);
    else
      combine_pairs<false>(a, b, out);
  }

 private:
  template <bool SAME>
  void combine_pairs(const double* a, const double* b, double* o) const {
    const int side = K + 1;
    std::fill(o, o + 2 * side, 0.0);
    // Only grid points that hold a mass of either density take part.
    const auto held = [&](int k) {
      return a[2 * k] + a[2 * k + 1] >= NEGLIGIBLE || b[2 * k] + b[2 * k + 1] >= NEGLIGIBLE;
    };
    int first = 0, last = K;
    while (first <= K && !held(first)) ++first;
    while (last >= first && !held(last)) --last;
    // Masses below each grid point, summed from magnitude 0 up (so that a run's mass, a
    // difference of two of them, is as exact as the masses below it).
    std::vector<Pair> a_below(SAME ? 0 : side + 1), b_below(side + 1);
    for (int k = 0; k <= K; ++k) {
      b_below[k + 1] = b_below[k] + load_pair(b + 2 * k);
      if (!SAME) a_below[k + 1] = a_below[k] + load_pair(a + 2 * k);
    }
    for (int i = first; i <= last; ++i) {
      const double pa = a[2 * i], na = a[2 * i + 1], pb = b[2 * i], nb = b[2 * i + 1];
      const double* up = &share_up[row_first[i] - static_cast<std::size_t>(i)];
      // The diagonal: plus when the signs agree, minus when they differ.
      {
        const int l = run_lo[run_first[i]];
        const double plus = pa * pb + na * nb, minus = pa * nb + na * pb;
        o[2 * l] += plus * (1 - up[i]);
        o[2 * l + 1] += minus * (1 - up[i]);
        o[2 * l + 2] += plus * up[i];
        o[2 * l + 3] += minus * up[i];
      }
      for (std::size_t r = run_first[i]; r < run_first[i + 1]; ++r) {
        const int begin = std::max(run_begin[r], i + 1);
        const int end = std::min(r + 1 < run_first[i + 1] ? run_begin[r + 1] : K + 1, last + 1);
        if (begin >= end) {
          if (begin > last) break;
          continue;
        }
        // Share-weighted sums of the partners' masses over the run, plus and minus side by
        // side: b's (for a_i b_j) and, unless the densities are one, a's (for a_j b_i). The
        // upper point's sum is formed pair by pair (even and odd j apart, so that consecutive
        // additions do not wait on each other); the lower point's is the run's whole mass, from
        // the prefix sums, less it.
        Pair b_up[2] = {}, a_up[2] = {};
        const auto add = [&](int j, int h) {
          const Pair wu = {up[j], up[j]};
          b_up[h] += wu * load_pair(b + 2 * j);
          if (!SAME) a_up[h] += wu * load_pair(a + 2 * j);
        };
        int j = begin;
        for (; j + 1 < end; j += 2) {
          add(j, 0);
          add(j + 1, 1);
        }
        if (j < end) add(j, 0);
        const Pair bu = b_up[0] + b_up[1], bd = (b_below[end] - b_below[begin]) - bu;
        const double bp_down = bd[0], bn_down = bd[1], bp_up = bu[0], bn_up = bu[1];
        double plus_down = pa * bp_down + na * bn_down, minus_down = pa * bn_down + na * bp_down;
        double plus_up = pa * bp_up + na * bn_up, minus_up = pa * bn_up + na * bp_up;
        if (SAME) {
          plus_down *= 2;
          minus_down *= 2;
          plus_up *= 2;
          minus_up *= 2;
        } else {
          const Pair au = a_up[0] + a_up[1], ad = (a_below[end] - a_below[begin]) - au;
          plus_down += pb * ad[0] + nb * ad[1];
          minus_down += pb * ad[1] + nb * ad[0];
          plus_up += pb * au[0] + nb * au[1];
          minus_up += pb * au[1] + nb * au[0];
        }
        const int l = run_lo[r];
        o[2 * l] += plus_down;
        o[2 * l + 1] += minus_down;
        o[2 * l + 2] += plus_up;
        o[2 * l + 3] += minus_up;
      }
    }
    o[0] += o[1];  // a combined magnitude of 0 has no sign
    o[1] = 0;
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

// A radix-2 complex FFT of one length, with the twiddle factors of each stage held in a row
// of their own (each from cos and sin directly, no recurrence that would accumulate rounding).
class Fft {
 public:
  explicit Fft(std::size_t length) : length_(length) {
    const double pi = std::acos(-1.0);
    twiddle_.resize(length > 1 ? length - 1 : 0);  // stage of half-width h at h - 1
    for (std::size_t half = 1; half < length; half *= 2)
      for (std::size_t k = 0; k < half; ++k) {
        const double angle = -pi * static_cast<double>(k) / static_cast<double>(half);
        twiddle_[half - 1 + k] = {std::cos(angle), std::sin(angle)};
      }
    int bits = 0;
    while ((std::size_t{1} << bits) < length) ++bits;
    for (std::size_t i = 0; i < length; ++i) {
      std::size_t r = 0;
      for (int b = 0; b < bits; ++b) r |= ((i >> b) & 1) << (bits - 1 - b);
      if (i < r) swaps_.push_back({static_cast<std::uint32_t>(i), static_cast<std::uint32_t>(r)});
    }
  }

  // In place on `length` values; `inverse` conjugates the twiddles and divides by the length.
  void transform(Cplx* a, bool inverse) const {
    if (inverse)
      stages<true>(a);
    else
      stages<false>(a);
  }

 private:
  template <bool INVERSE>
  void stages(Cplx* a) const {
    for (const auto& [i, r] : swaps_) std::swap(a[i], a[r]);
    for (std::size_t half = 1; half < length_; half *= 2) {
      const Cplx* w = &twiddle_[half - 1];
      for (std::size_t start = 0; start < length_; start += 2 * half) {
        Cplx* lo = a + start;
        Cplx* hi = lo + half;
        for (std::size_t k = 0; k < half; ++k) {
          const Cplx wk = INVERSE ? Cplx{w[k].re, -w[k].im} : w[k];
          const Cplx u = lo[k], t = wk * hi[k];
          lo[k] = u + t;
          hi[k] = u - t;
        }
      }
    }
    if (INVERSE)
      for (std::size_t i = 0; i < length_; ++i) {
        a[i].re /= static_cast<double>(length_);
        a[i].im /= static_cast<double>(length_);
      }
  }

  std::size_t length_;
  std::vector<Cplx> twiddle_;
  std::vector<std::array<std::uint32_t, 2>> swaps_;  // the bit-reversal permutation's exchanges
};

// The FFT of a real sequence of even length L through a complex one of length L / 2: the even
// and odd values travel as one complex sequence, and their two spectra are told apart by the
// symmetry of a real sequence's spectrum. A real spectrum is given by its frequencies 0..L/2
// (the rest are their conjugates).
class RealFft {
 public:
  explicit RealFft(std::size_t length)
      : length_(length), half_(length / 2), fft_(length / 2), twiddle_(length / 2), z_(length / 2) {
    const double pi = std::acos(-1.0);
    for (std::size_t k = 0; k < half_; ++k) {
      const double angle = -2 * pi * static_cast<double>(k) / static_cast<double>(length);
      twiddle_[k] = {std::cos(angle), std::sin(angle)};
    }
  }
  std::size_t length() const { return length_; }

  // x: L values; spectrum: L/2 + 1 frequencies.
  void forward(const double* x, Cplx* spectrum) {
    for (std::size_t k = 0; k < half_; ++k) z_[k] = {x[2 * k], x[2 * k + 1]};
    fft_.transform(z_.data(), false);
    spectrum[0] = {z_[0].re + z_[0].im, 0};
    spectrum[half_] = {z_[0].re - z_[0].im, 0};
    for (std::size_t k = 1; k < half_; ++k) {
      const Cplx a = z_[k], b{z_[half_ - k].re, -z_[half_ - k].im};
      const Cplx even{(a.re + b.re) / 2, (a.im + b.im) / 2};
      const Cplx odd{(a.im - b.im) / 2, (b.re - a.re) / 2};  // (a - b) / 2i
      spectrum[k] = even + twiddle_[k] * odd;
    }
  }

  // The inverse: spectrum (L/2 + 1 frequencies) to x (L values), divided by L.
  void inverse(const Cplx* spectrum, double* x) {
    for (std::size_t k = 0; k < half_; ++k) {
      const Cplx a = spectrum[k], b{spectrum[half_ - k].re, -spectrum[half_ - k].im};
      const Cplx even{(a.re + b.re) / 2, (a.im + b.im) / 2};
      const Cplx w{twiddle_[k].re, -twiddle_[k].im};
      const Cplx odd = Cplx{(a.re - b.re) / 2, (a.im - b.im) / 2} * w;
      z_[k] = {even.re - odd.im, even.im + odd.re};  // even + i odd
    }
    fft_.transform(z_.data(), true);
    for (std::size_t k = 0; k < half_; ++k) {
      x[2 * k] = z_[k].re;
      x[2 * k + 1] = z_[k].im;
    }
  }

 private:
  std::size_t length_, half_;
  Fft fft_;
  std::vector<Cplx> twiddle_;  // e^(-2 pi i k / L), k < L/2
  std::vector<Cplx> z_;
};

// z^k by squaring (k >= 1), the first factor taken as it is rather than multiplied into 1.
Cplx power_of(Cplx z, int k) {
  for (; (k & 1) == 0; k >>= 1) z = z * z;
  Cplx r = z;
  for (k >>= 1; k > 0; k >>= 1) {
    z = z * z;
    if (k & 1) r = r * z;
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

namespace {

// Density evolution at p on the tables of `ev`. The column-to-row density starts as the
// channel's, or as `start` when given: a density no better than the channel's of p would lead
// to after some iterations (one that density evolution at a larger p reached), from which the
// evolution at p goes the same way, only further along. `v` is left with the last density.
bool evolve(const Evolution& ev, const DegreeDistribution& columns, const DegreeDistribution& rows,
            double p, const DensityOptions& options, const std::vector<double>* start,
            std::vector<double>& v, double& error_probability, int& iterations) {
  const int K = ev.K;
  const int N = 2 * K + 1;
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
  RealFft fft(column_fft_length(K, columns.degrees.back()));
  const std::size_t L = fft.length();
  std::vector<double> circle(L);
  const auto to_circle = [&](const std::vector<double>& d) {
    std::fill(circle.begin(), circle.end(), 0.0);
    for (int i = 0; i < N; ++i)
      circle[(static_cast<std::size_t>(i) + L - static_cast<std::size_t>(K)) % L] = d[i];
  };
  std::vector<Cplx> channel_f(L / 2 + 1), work(L / 2 + 1);
  to_circle(channel);
  fft.forward(circle.data(), channel_f.data());

  v = start ? *start : channel;
  std::vector<double> c(N);
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
          t.resize(mags.size());
          ev.combine(squares[j - 1].data(), squares[j - 1].data(), t.data(), true);
          squares.push_back(t);
        }
        if ((gap & 1) == 0) continue;
        if (power == 0) {
          acc = squares[j];
        } else {
          t.resize(mags.size());
          ev.combine(acc.data(), squares[j].data(), t.data(), false);
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
    to_circle(c);
    fft.forward(circle.data(), work.data());
    for (std::size_t f = 0; f <= L / 2; ++f) {
      const Cplx z = work[f];
      Cplx acc{1, 0}, sum{0, 0};
      int exponent = 0;
      for (std::size_t i = 0; i < columns.degrees.size(); ++i) {
        const int gap = columns.degrees[i] - 1 - exponent;
        if (gap > 0) {
          const Cplx factor = power_of(z, gap);
          acc = exponent == 0 ? factor : acc * factor;
        }
        exponent = columns.degrees[i] - 1;
        sum = sum + Cplx{lambda[i] * acc.re, lambda[i] * acc.im};
      }
      work[f] = sum * channel_f[f];
    }
    fft.inverse(work.data(), circle.data());
    std::fill(v.begin(), v.end(), 0.0);
    for (std::size_t t = 0; t < L; ++t) {
      const double mass = circle[t];
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

}  // namespace

bool code_density_check_combine(const double* a, const double* b, int K, double step,
                                double* out) {
  if (K < 1 || K > 20000 || !(step > 0)) return false;
  const Evolution ev(K, step);
  ev.combine(a, b, out, a == b);
  return true;
}

bool code_density_converges(const DegreeDistribution& columns, const DegreeDistribution& rows,
                            double p, const DensityOptions& options, double& error_probability,
                            int& iterations) {
  const Evolution ev(static_cast<int>(std::lround(options.range / options.step)), options.step);
  std::vector<double> v;
  return evolve(ev, columns, rows, p, options, nullptr, v, error_probability, iterations);
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
  // Density evolution improves its density at every iteration, and at a smaller p it is at
  // every iteration at least as good as at a larger one. So the last density of a p that failed
  // is no better than what a smaller p reaches from its channel, and the evolution at a smaller p
  // may start from it: it reaches the same end, sooner. Near p*, where the densities creep
  // through a narrow passage for thousands of iterations, most of that is then skipped.
  const Evolution ev(static_cast<int>(std::lround(options.range / options.step)), options.step);
  std::vector<double> v, failed;  // the last density of the smallest p that failed so far
  while (hi - lo > options.tolerance) {
    if (progress) progress(++step, steps, lo, hi);
    const double mid = (lo + hi) / 2;
    if (evolve(ev, columns, rows, mid, options, failed.empty() ? nullptr : &failed, v, e,
               iterations)) {
      lo = mid;
    } else {
      hi = mid;
      failed.swap(v);
    }
  }
  threshold = lo;
  return true;
}

}  // namespace ldpcsw
