#include "decode/window.h"

#include <cmath>
#include <cstdio>

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

int best_window_width(float* bias, const float* p_one, int n) {
  int bestw = FIRST_SEARCH_WIDTH;
  float min_s2 = window_error(bias, p_one, n, FIRST_SEARCH_WIDTH);
  const int limit = crt_imin(n, SEARCH_WIDTH_LIMIT);
  for (int w = SECOND_SEARCH_WIDTH; w < limit; w += 2) {
    const float s2 = window_error(bias, p_one, n, w);
    // Strictly less: ties keep the smaller width, and a NaN never wins.
    if (s2 < min_s2) {
      bestw = w;
      min_s2 = s2;
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
