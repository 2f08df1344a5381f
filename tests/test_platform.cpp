// The C runtime stand-ins: the 15-bit generator, the millisecond clock, the max/min rules.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>
#include <thread>

#include "platform/crt.h"
#include "platform/fminmax.h"

using namespace ldpcsw;

TEST(CrtRand, FirstValuesOfTheNeverSeededGenerator) {
  crt_rand_reset();
  const int expected[] = {41, 18467, 6334, 26500, 19169};
  for (int v : expected) EXPECT_EQ(crt_rand(), v);
}

TEST(CrtRand, StaysWithinFifteenBitsAndResetRepeats) {
  crt_rand_reset();
  int lo = CRT_RAND_MAX, hi = 0;
  long long sum = 0;
  for (int i = 0; i < 100000; ++i) {
    const int v = crt_rand();
    lo = std::min(lo, v);
    hi = std::max(hi, v);
    sum += v;
  }
  EXPECT_EQ(lo, 0);
  EXPECT_EQ(hi, 32767);
  EXPECT_NEAR(static_cast<double>(sum) / 100000.0, 16383.5, 200.0);
  crt_rand_reset();
  EXPECT_EQ(crt_rand(), 41);
}

TEST(CrtClock, CountsWallMilliseconds) {
  const long a = crt_clock();
  std::this_thread::sleep_for(std::chrono::milliseconds(30));
  const long b = crt_clock();
  EXPECT_GE(b - a, 29);
  EXPECT_LT(b - a, 1000);
  EXPECT_GT(perf_frequency(), 0);
  const std::int64_t first = perf_counter();
  const std::int64_t second = perf_counter();
  EXPECT_LE(first, second);
}

TEST(MaxMinRules, NaNOperandsAreIgnored) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(crt_fmax(nan, 2.0), 2.0);
  EXPECT_EQ(crt_fmax(2.0, nan), 2.0);
  EXPECT_TRUE(std::isnan(crt_fmax(nan, nan)));
  EXPECT_EQ(crt_fmin(nan, -3.0), -3.0);
  EXPECT_EQ(crt_fmin(-3.0, nan), -3.0);
  EXPECT_TRUE(std::isnan(crt_fmin(nan, nan)));
  EXPECT_EQ(crt_fmax(nan, DBL_MIN), DBL_MIN);
  EXPECT_EQ(crt_fmax(-1.0, DBL_MIN), DBL_MIN);
  EXPECT_EQ(crt_fmax(0.0, DBL_MIN), DBL_MIN);
}

TEST(MaxMinRules, SignedZeros) {
  EXPECT_FALSE(std::signbit(crt_fmax(-0.0, 0.0)));
  EXPECT_FALSE(std::signbit(crt_fmax(0.0, -0.0)));
  EXPECT_TRUE(std::signbit(crt_fmax(-0.0, -0.0)));
  EXPECT_TRUE(std::signbit(crt_fmin(-0.0, 0.0)));
  EXPECT_TRUE(std::signbit(crt_fmin(0.0, -0.0)));
  EXPECT_FALSE(std::signbit(crt_fmin(0.0, 0.0)));
  EXPECT_EQ(crt_imin(3, -4), -4);
  EXPECT_EQ(crt_imin(5, 5), 5);
}

TEST(MaxMinRules, ClampOfWindowMeans) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  EXPECT_EQ(clamp_estimate(nan), 9.99999997e-07f);
  EXPECT_EQ(clamp_estimate(0.0f), 9.99999997e-07f);
  EXPECT_EQ(clamp_estimate(-inf), 9.99999997e-07f);
  EXPECT_EQ(clamp_estimate(inf), 0.5f);
  EXPECT_EQ(clamp_estimate(0.75f), 0.5f);
  EXPECT_EQ(clamp_estimate(0.3f), 0.3f);
}
