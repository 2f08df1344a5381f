// The window-search kernels on the device backend in use (the SIMT emulation on the host
// backend, the GPU on the cuda backend), against the CPU function window_error.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "decode/window.h"
#include "gpu/kernel_runner.h"
#include "platform/fminmax.h"

namespace ldpcsw {
namespace {

// On the host backend, blocks of a launch run on three host threads here (unless the
// environment says otherwise), so that the arg-min's hand-over between blocks running side
// by side is tested on every machine; the emulation reads this once, before the first launch.
const int host_threads_for_tests = setenv("LDPCSW_SIMT_THREADS", "3", 0);

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

// Same bits, or both NaN (the device's NaN and the CPU's differ in sign and payload).
bool same_value(float a, float b) {
  if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
  return std::memcmp(&a, &b, sizeof a) == 0;
}

float uniform01(std::mt19937& g) { return static_cast<float>(g() >> 8) * 0x1p-24f; }

// Profiles of probabilities that exercise the window sums and the clamp in different ways.
std::vector<std::pair<std::string, std::vector<float>>> profiles(int n, unsigned seed) {
  std::mt19937 g(seed);
  std::vector<std::pair<std::string, std::vector<float>>> out;
  auto add = [&](const std::string& name, auto value) {
    std::vector<float> p(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) p[i] = value(i);
    out.emplace_back(name, std::move(p));
  };
  add("uniform", [&](int) { return uniform01(g); });
  add("decoder-like", [&](int) {  // mostly near 0 or 1, as after a few iterations
    const float t = uniform01(g);
    return t < 0.46f ? t * 1e-4f : t > 0.54f ? 1.0f - (1.0f - t) * 1e-4f : t;
  });
  add("zeros", [](int) { return 0.0f; });
  add("halves", [](int) { return 0.5f; });
  add("ones", [](int) { return 1.0f; });
  add("alternating", [](int i) { return i % 2 ? 1.0f : 0.0f; });
  add("clamp edges", [&](int i) {
    const float edges[] = {1e-6f, std::nextafter(1e-6f, 0.0f), std::nextafter(1e-6f, 1.0f), 0.5f,
                           std::nextafter(0.5f, 0.0f), std::nextafter(0.5f, 1.0f), 0.0f, 1.0f};
    return edges[(i * 7 + g() % 3) % 8];
  });
  add("tiny and subnormal", [&](int i) { return i % 3 == 0 ? 1e-40f : uniform01(g) * 1e-7f; });
  add("spikes", [](int i) { return i % 97 == 0 ? 1.0f : 1e-5f; });
  return out;
}

// Every width 1 .. max_width (odd, or even from w = 2) through GPU_findbest1, compared with
// window_error where the width fits in n; wider candidates must be NaN.
void expect_findbest1_matches(const std::vector<float>& p, int first_width, int max_width,
                              const std::string& what) {
  const int n = static_cast<int>(p.size());
  const int threads = 64;
  const int candidates = (max_width - first_width) / 2 + 1;
  const int blocks = (candidates + threads - 1) / threads;
  std::vector<float> sigma2(static_cast<std::size_t>(blocks) * threads, -1.0f);
  ASSERT_TRUE(run_findbest1(p.data(), n, first_width, blocks, threads, sigma2.data()));
  std::vector<float> bias(static_cast<std::size_t>(n));
  for (int t = 0; t < blocks * threads; ++t) {
    const int w = first_width + 2 * t;
    if (w >= 1 && 2 * (w >> 1) < n) {
      const float cpu = window_error(bias.data(), p.data(), n, w);
      ASSERT_TRUE(same_value(sigma2[t], cpu))
          << what << " n=" << n << " w=" << w << " kernel " << sigma2[t] << " cpu " << cpu;
    } else {
      ASSERT_TRUE(std::isnan(sigma2[t])) << what << " n=" << n << " w=" << w << " wider than n";
    }
  }
}

TEST(FindBest1, EqualsWindowErrorBitForBitForEveryWidthAt504) {
  for (const auto& [name, p] : profiles(504, 504)) expect_findbest1_matches(p, 1, 1249, name);
}

TEST(FindBest1, EqualsWindowErrorBitForBitAtRandomBlockLengths) {
  std::mt19937 g(20261207);
  std::vector<int> lengths = {1, 2, 3, 4, 21, 22, 1248, 1249, 1250};
  for (int k = 0; k < 6; ++k) lengths.push_back(5 + static_cast<int>(g() % 2400));
  for (int n : lengths)
    for (const auto& [name, p] : profiles(n, static_cast<unsigned>(n)))
      expect_findbest1_matches(p, 1, n + 40, name);
}

TEST(FindBest1, EvenWidthsFollowTheSameHalfWidthRule) {
  const auto p = profiles(300, 7)[0].second;
  expect_findbest1_matches(p, 2, 340, "even widths");
}

TEST(FindBest1, StageLaunchGivesNaNForWidthOneAndForEveryWidthBeyondN) {
  for (int n : {21, 504, 1249}) {
    const auto p = profiles(n, 11)[1].second;
    std::vector<float> sigma2(625);
    ASSERT_TRUE(run_findbest1(p.data(), n, 1, 25, 25, sigma2.data()));
    EXPECT_TRUE(std::isnan(sigma2[0])) << "width 1 has an empty window at bit 0";
    for (int t = 1; t < 625; ++t) {
      const bool fits = 2 * t + 1 <= n;
      EXPECT_EQ(std::isnan(sigma2[t]), !fits) << "n=" << n << " width " << 2 * t + 1;
    }
  }
}

TEST(FindBest1, WidthThreeUsesTheNeighboursOnly) {
  // Bit 0 is predicted by bit 1 alone (unclamped), the last bit by bit n-2, the others by
  // the mean of their two neighbours, clamped to [1e-6, 0.5].
  const std::vector<float> p = {0.25f, 0.75f, 0.0f, 1.0f, 0.125f};
  float sigma2 = 0.0f;
  ASSERT_TRUE(run_findbest1(p.data(), 5, 3, 1, 1, &sigma2));
  const float e1 = 0.125f, e2 = 0.5f, e3 = 0.0625f, e4 = 0.5f;  // clamped means
  float s2 = (0.25f - 0.75f) * (0.25f - 0.75f);
  s2 = s2 + (0.75f - e1) * (0.75f - e1);
  s2 = s2 + (0.0f - e2) * (0.0f - e2);
  s2 = s2 + (1.0f - e3) * (1.0f - e3);
  s2 = s2 + (0.125f - e4) * (0.125f - e4);
  EXPECT_EQ(sigma2, s2);
}

int argmin_of(const std::vector<float>& data, int blocks = 2) {
  int result = -7;
  EXPECT_TRUE(run_min_idx(data.data(), static_cast<int>(data.size()), blocks, &result));
  return result;
}

TEST(MinIdx, NeverChoosesNaNOrValuesNotBelow1e30) {
  std::vector<float> d(625, 3.0f);
  d[0] = NaN;
  d[417] = 2.0f;
  EXPECT_EQ(argmin_of(d), 417);

  EXPECT_EQ(argmin_of(std::vector<float>(625, NaN)), -1);
  EXPECT_EQ(argmin_of(std::vector<float>(625, 1e30f)), -1);
  std::vector<float> mixed(625);
  for (int i = 0; i < 625; ++i) mixed[i] = i % 3 == 0 ? NaN : i % 3 == 1 ? INF : 2e30f;
  EXPECT_EQ(argmin_of(mixed), -1);
  mixed[600] = std::nextafter(1e30f, 0.0f);  // the largest float below the start value
  EXPECT_EQ(argmin_of(mixed), 600);
  EXPECT_EQ(argmin_of(std::vector<float>{}), -1);
}

TEST(MinIdx, TiesGoToTheLowerSlotAndBlockNotTheLowerPosition) {
  // Positions 1 and 512 hold the minimum; thread 0 scans 0 and 512, thread 1 scans 1 and
  // 513: with data[512] < data[0], slot 0 holds position 512 and wins the tie.
  std::vector<float> d(625, 5.0f);
  d[1] = 1.0f;
  d[512] = 1.0f;
  EXPECT_EQ(argmin_of(d), 512);

  // Equal minima in both blocks: block 0's (position 600, thread 88) beats block 1's
  // (position 300), although 300 is the lower position.
  std::vector<float> e(625, 5.0f);
  e[300] = 0.5f;
  e[600] = 0.5f;
  EXPECT_EQ(argmin_of(e), 600);

  // Within one thread's scan the earlier position wins.
  std::vector<float> f(625, 5.0f);
  f[100] = 0.25f;
  f[612] = 0.25f;
  EXPECT_EQ(argmin_of(f), 100);
}

TEST(MinIdx, ConsecutiveLaunchesEachFindTheirOwnMinimum) {
  std::mt19937 g(3);
  for (int launch = 0; launch < 6; ++launch) {
    const int size = launch == 3 ? 40 : 625 + launch * 37;
    std::vector<float> d(static_cast<std::size_t>(size));
    for (auto& v : d) v = uniform01(g) + 1.0f;
    const int where = static_cast<int>(g() % static_cast<unsigned>(size));
    d[where] = 0.5f;
    EXPECT_EQ(argmin_of(d, launch % 2 ? 1 : 2), where) << "launch " << launch;
  }
}

TEST(MinIdx, OverTheStageTableNeverPicksWidthOne) {
  const auto p = profiles(504, 99)[1].second;
  std::vector<float> sigma2(625);
  ASSERT_TRUE(run_findbest1(p.data(), 504, 1, 25, 25, sigma2.data()));
  int expected = -1;
  for (int t = 0; t < 625; ++t)
    if (sigma2[t] < 1e30f && (expected < 0 || sigma2[t] < sigma2[expected])) expected = t;
  const int got = argmin_of(sigma2);
  ASSERT_GT(got, 0);
  EXPECT_EQ(sigma2[got], sigma2[expected]);
}

TEST(MinIdx, RefusesShapesOutsideItsLimits) {
  std::vector<float> d(10, 1.0f);
  int r = 0;
  EXPECT_FALSE(run_min_idx(d.data(), 10, 3, &r));
  EXPECT_FALSE(run_min_idx(d.data(), 10, 0, &r));
}

// Widens a float profile to double: every double window step then rounds to the same float
// as the float kernel's step, so the predictions must be window_error's, widened, except
// where the clamp's lower bound applies (1e-6 as a double, not as the float nearest it).
TEST(FindBest, OneThreadLeavesThePerBitPredictions) {
  for (int n : {21, 504, 777}) {
    for (const auto& [name, pf] : profiles(n, 5)) {
      for (int w : {3, 21, 41, n % 2 ? n : n - 1}) {
        if (w > n) continue;
        std::vector<double> gamma(pf.begin(), pf.end());
        std::vector<double> bias(static_cast<std::size_t>(n), -1.0);
        float sigma2 = -1.0f;
        ASSERT_TRUE(run_findbest(gamma.data(), n, w, 1, 1, &sigma2, bias.data()));
        std::vector<float> cpu_bias(static_cast<std::size_t>(n));
        const float cpu = window_error(cpu_bias.data(), pf.data(), n, w);
        const double raw_mean = cpu_bias[0];
        ASSERT_EQ(std::memcmp(&bias[0], &raw_mean, sizeof raw_mean), 0)
            << name << " n=" << n << " w=" << w << " bit 0 is the raw mean";
        bool clamped_low = false;
        for (int k = 1; k < n; ++k) {
          if (cpu_bias[k] == clamp_estimate(0.0f)) {
            ASSERT_EQ(bias[k], 1e-6) << name << " bit " << k;
            clamped_low = true;
          } else {
            ASSERT_EQ(bias[k], static_cast<double>(cpu_bias[k])) << name << " bit " << k;
          }
          ASSERT_GE(bias[k], 1e-6);
          ASSERT_LE(bias[k], 0.5);
        }
        if (!clamped_low) {
          EXPECT_NEAR(sigma2, cpu, 1e-5f * std::fabs(cpu) + 1e-30f) << name;
        }
        EXPECT_TRUE(std::isfinite(sigma2)) << name;
      }
    }
  }
}

TEST(FindBest, WidthOneIsNaNAndEachThreadWritesItsOwnRow) {
  const int n = 50;
  const auto pf = profiles(n, 8)[0].second;
  std::vector<double> gamma(pf.begin(), pf.end());
  const int threads = 30;  // widths 1, 3, ..., 59: the last five are wider than n
  std::vector<double> bias(static_cast<std::size_t>(threads) * n);
  std::vector<float> sigma2(threads);
  ASSERT_TRUE(run_findbest(gamma.data(), n, 1, 1, threads, sigma2.data(), bias.data()));
  EXPECT_TRUE(std::isnan(sigma2[0]));
  for (int t = 1; t < threads; ++t) {
    const int w = 1 + 2 * t;
    if (w > n) {
      EXPECT_TRUE(std::isnan(sigma2[t])) << w;
      continue;
    }
    std::vector<double> one(static_cast<std::size_t>(n));
    float alone = 0.0f;
    ASSERT_TRUE(run_findbest(gamma.data(), n, w, 1, 1, &alone, one.data()));
    EXPECT_TRUE(same_value(sigma2[t], alone)) << w;
    EXPECT_EQ(std::memcmp(&bias[static_cast<std::size_t>(t) * n], one.data(), n * sizeof(double)), 0) << w;
  }
}

}  // namespace
}  // namespace ldpcsw
