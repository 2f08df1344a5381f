// The C runtime's fmax and fmin on doubles, with the rules the decoder, the window search
// and the kernels rely on, identical on host and device:
//   - a NaN operand is ignored (both NaN gives NaN);
//   - of two zeros, max gives +0 unless both are -0, min gives -0 unless both are +0;
//   - otherwise the larger (max) or smaller (min) value.
// So crt_fmax(t, DBL_MIN) is DBL_MIN for a NaN t and for every t below DBL_MIN.
#pragma once

#if defined(__CUDACC__)
#define LDPCSW_HD __host__ __device__
#else
#define LDPCSW_HD
#endif

namespace ldpcsw {

LDPCSW_HD inline bool crt_isnan(double v) { return v != v; }
LDPCSW_HD inline bool crt_signbit(double v) { return __builtin_signbit(v); }

LDPCSW_HD inline double crt_fmax(double a, double b) {
  if (crt_isnan(a)) return b;
  if (crt_isnan(b)) return a;
  if (a == 0.0 && b == 0.0) return (crt_signbit(a) && crt_signbit(b)) ? -0.0 : 0.0;
  return a > b ? a : b;
}

LDPCSW_HD inline double crt_fmin(double a, double b) {
  if (crt_isnan(a)) return b;
  if (crt_isnan(b)) return a;
  if (a == 0.0 && b == 0.0) return (!crt_signbit(a) && !crt_signbit(b)) ? 0.0 : -0.0;
  return a < b ? a : b;
}

LDPCSW_HD inline int crt_imin(int a, int b) { return a < b ? a : b; }

// Clamp of a window mean into [1e-6, 0.5]: widened to double, max then min by the rules
// above, narrowed to float. A NaN mean gives 1e-6, +inf gives 0.5, -inf gives 1e-6.
LDPCSW_HD inline float clamp_estimate(float v) {
  return static_cast<float>(crt_fmin(crt_fmax(static_cast<double>(v), 1e-6), 0.5));
}

}  // namespace ldpcsw
