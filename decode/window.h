// The leave-one-out moving-average window over the per-bit probabilities of a one, its
// error, the CPU width search and the smoothing.
//
// The window of bit i holds the bits within w >> 1 positions of i, bit i left out, cut at
// both ends of the block. Window sums are formed in float in one fixed order (see
// window.cpp); every result depends on that order. A width may only be used when
// 2 * (w >> 1) < n.
#pragma once

namespace ldpcsw {

// Process-wide: milliseconds spent in CPU width searches, 0 at start.
extern double CPUtime;

inline constexpr int FIRST_SEARCH_WIDTH = 21;
inline constexpr int SECOND_SEARCH_WIDTH = 41;
inline constexpr int SEARCH_WIDTH_LIMIT = 10001;  // exclusive, together with n

// window_error: writes the n window estimates of width w into bias (bit 0 unclamped, the
// others clamped to [1e-6, 0.5]) and returns the sum of squared differences from p_one.
float window_error(float* bias, const float* p_one, int n, int w);

// The window errors of count widths, errors[k] equal bit for bit to what window_error
// returns for widths[k]; several widths are evaluated side by side. Each width needs
// 2 * (w >> 1) < n.
void window_errors(const float* p_one, int n, const int* widths, int count, float* errors);

// The width search without timing or output: 21, then 41, 43, ... below min(n, 10001);
// the smallest error wins, ties keep the smaller width, a NaN never wins. Needs n >= 21.
int best_window_width(float* bias, const float* p_one, int n);

// The CPU search as the estimation step runs it: timed with the high-resolution counter,
// prints its time line to standard output and adds the time to CPUtime. Needs n >= 21.
int cpu_width_search(float* bias, const float* p_one, int n);

// The smoothing: for each bit, the clamped window mean e of width bestw, and
// llr_post[i] = logf((1 - e) / e) widened to double.
void smooth_into_llr(const float* p_one, int n, int bestw, double* llr_post);

}  // namespace ldpcsw
