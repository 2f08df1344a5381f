#include "decode/window.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/crt.h"
#include "platform/fminmax.h"

namespace ldpcsw {

double CPUtime = 0.0;

namespace {

// Walks the leave-one-out window of half-width halfw along the block and hands each bit's
// window mean (a float division of the float sum by the window size) to visit(i, mean).
// Every addition and subtraction is a float operation in exactly this order:
//   i = 0:  sum = p[1] + ... + p[halfw], size halfw;
//   i > 0:  sum = (sum - p[i]) + p[i-1]   (bit i leaves, bit i-1 enters), then
//           i <= halfw:         sum += p[i+halfw], size + 1          (grows on the right)
//           i + halfw < n:      sum = (sum - p[i-1-halfw]) + p[i+halfw]   (slides)
//           otherwise:          sum -= p[i-1-halfw], size - 1        (shrinks at the right)
// Needs 2 * halfw < n: the left-end updates read p[i + halfw] without a bound test.
template <typename Visit>
inline void walk_window(const float* p_one, int n, int halfw, Visit visit) {
  float sum = 0.0f;
  int truncw = halfw;
  for (int j = 1; j <= halfw; ++j) sum += p_one[j];
  visit(0, sum / static_cast<float>(truncw));
  for (int i = 1; i < n; ++i) {
    sum = (sum - p_one[i]) + p_one[i - 1];
    if (i <= halfw) {
      sum += p_one[i + halfw];
      truncw += 1;
    } else if (i + halfw < n) {
      sum = (sum - p_one[i - 1 - halfw]) + p_one[i + halfw];
    } else {
      sum -= p_one[i - 1 - halfw];
      truncw -= 1;
    }
    visit(i, sum / static_cast<float>(truncw));
  }
}

}  // namespace

float window_error(float* bias, const float* p_one, int n, int w) {
  float s2 = 0.0f;
  walk_window(p_one, n, w >> 1, [&](int i, float mean) {
    if (i == 0) {
      // Bit 0 keeps its raw mean: an empty or zero window shows in the error.
      bias[0] = mean;
      const float d = p_one[0] - bias[0];
      s2 = d * d;
    } else {
      bias[i] = clamp_estimate(mean);
      const float d = p_one[i] - bias[i];
      s2 = s2 + d * d;
    }
  });
  return s2;
}

// The window errors of eight widths in one pass along the block, lane j for widths[j]. Each
// lane performs exactly the float operations window_error performs for its width, in the
// same order, so every error has the same bits; running the lanes side by side lets the
// processor overlap their serial chains of additions and divide several at once.
//   - The three cases of the window update are written as one, sum = (sum - leaving) +
//     entering: where no bit leaves, leaving is +0 (x - +0 is x for every x, -0 included),
//     and where none enters, entering is -0 (x + -0 is x for every x).
//   - The clamp in double, min(max(v, 1e-6), 0.5) narrowed to float, equals the float
//     select below: no float lies strictly between 9.99999997e-07f (the float nearest 1e-6,
//     just below it) and 1e-6, and a NaN mean fails both comparisons and becomes the lower
//     bound, as the double rules make it.
namespace {

constexpr int LANES = 4;   // one SSE register of floats
constexpr int GROUPS = 2;  // registers in flight at once
constexpr int BATCH = LANES * GROUPS;
typedef float lane_float __attribute__((vector_size(4 * LANES)));
typedef int lane_int __attribute__((vector_size(4 * LANES)));

void window_errors_side_by_side(const float* p_one, const float* prefix, int n, const int* widths,
                                float* errors) {
  const float lower = 9.99999997e-07f;
  lane_int halfw[GROUPS], truncw[GROUPS];
  lane_float sum[GROUPS], s2[GROUPS];
  for (int g = 0; g < GROUPS; ++g) {
    int h[LANES];
    float start[LANES];
    for (int j = 0; j < LANES; ++j) {
      h[j] = widths[g * LANES + j] >> 1;
      start[j] = prefix[h[j]];
    }
    std::memcpy(&halfw[g], h, sizeof h);
    std::memcpy(&sum[g], start, sizeof start);
    truncw[g] = halfw[g];
    const lane_float bias0 = sum[g] / __builtin_convertvector(truncw[g], lane_float);
    const lane_float d0 = p_one[0] - bias0;
    s2[g] = d0 * d0;
  }
  for (int i = 1; i < n; ++i) {
    for (int g = 0; g < GROUPS; ++g) {
      lane_float leaving, entering;
      for (int j = 0; j < LANES; ++j) {
        const int h = halfw[g][j];
        leaving[j] = i > h ? p_one[i - 1 - h] : 0.0f;
        entering[j] = i + h < n ? p_one[i + h] : -0.0f;
      }
      // A comparison of vectors gives -1 where true: the window grows by one while
      // i <= halfw and shrinks by one once i + halfw >= n.
      truncw[g] = truncw[g] - (i <= halfw[g]) + (i + halfw[g] >= n);
      sum[g] = (sum[g] - p_one[i]) + p_one[i - 1];
      sum[g] = (sum[g] - leaving) + entering;
      const lane_float mean = sum[g] / __builtin_convertvector(truncw[g], lane_float);
      lane_float estimate = mean > lower ? mean : lower;
      estimate = estimate > 0.5f ? 0.5f : estimate;
      const lane_float d = p_one[i] - estimate;
      s2[g] = s2[g] + d * d;
    }
  }
  for (int g = 0; g < GROUPS; ++g)
    for (int j = 0; j < LANES; ++j) errors[g * LANES + j] = s2[g][j];
}

}  // namespace

void window_errors(const float* p_one, int n, const int* widths, int count, float* errors) {
  if (count <= 0) return;
  // The window set-up sums p[1] + ... + p[halfw] from 0 in this order: the running prefix
  // sums give them for every width at once, with the same bits.
  int max_halfw = 0;
  for (int k = 0; k < count; ++k) max_halfw = std::max(max_halfw, widths[k] >> 1);
  std::vector<float> prefix(static_cast<std::size_t>(max_halfw) + 1);
  prefix[0] = 0.0f;
  for (int j = 1; j <= max_halfw; ++j) prefix[j] = prefix[j - 1] + p_one[j];

  // A short last group repeats its last width in the unused lanes.
  for (int t = 0; t < count; t += BATCH) {
    int group[BATCH];
    float group_errors[BATCH];
    for (int j = 0; j < BATCH; ++j) group[j] = widths[std::min(t + j, count - 1)];
    window_errors_side_by_side(p_one, prefix.data(), n, group, group_errors);
    for (int j = 0; j < BATCH && t + j < count; ++j) errors[t + j] = group_errors[j];
  }
}

int best_window_width(float* bias, const float* p_one, int n) {
  const int limit = crt_imin(n, SEARCH_WIDTH_LIMIT);
  std::vector<int> widths{FIRST_SEARCH_WIDTH};
  for (int w = SECOND_SEARCH_WIDTH; w < limit; w += 2) widths.push_back(w);
  const int count = static_cast<int>(widths.size());

  // Every width but the last side by side; the last through window_error, which also
  // leaves its estimates in bias.
  std::vector<float> errors(static_cast<std::size_t>(count));
  window_errors(p_one, n, widths.data(), count - 1, errors.data());
  errors[count - 1] = window_error(bias, p_one, n, widths[count - 1]);

  int bestw = widths[0];
  float min_s2 = errors[0];
  for (int k = 1; k < count; ++k) {
    // Strictly less: ties keep the smaller width, and a NaN never wins.
    if (errors[k] < min_s2) {
      bestw = widths[k];
      min_s2 = errors[k];
    }
  }
  return bestw;
}

int cpu_width_search(float* bias, const float* p_one, int n) {
  const std::int64_t frequency = perf_frequency();
  const std::int64_t start = perf_counter();
  const int bestw = best_window_width(bias, p_one, n);
  const std::int64_t stop = perf_counter();
  const double t = static_cast<double>(stop - start) * 1000.0 / static_cast<double>(frequency);
  // The line's text is GBK (code page 936); a hex escape would swallow the hex digits after
  // it, so the literal is split after each escape that a letter follows.
  std::printf("\xD4\xDA" "CPU\xC9\xCF\xB4\xAE\xD0\xD0\xD6\xB4\xD0\xD0\xCA\xB1\xBC\xE4\xCE\xAA" "time=%f(ms)\n", t);
  CPUtime += t;
  return bestw;
}

void smooth_into_llr(const float* p_one, int n, int bestw, double* llr_post) {
  walk_window(p_one, n, bestw >> 1, [&](int i, float mean) {
    const float e = clamp_estimate(mean);
    llr_post[i] = static_cast<double>(logf((1.0f - e) / e));
  });
}

}  // namespace ldpcsw
