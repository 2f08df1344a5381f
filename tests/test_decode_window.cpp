// The leave-one-out window: its error, the CPU width search, the smoothing.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "decode/window.h"
#include "platform/fminmax.h"

using namespace ldpcsw;

namespace {

std::vector<float> random_probabilities(int n, std::uint32_t seed) {
  std::vector<float> p(static_cast<std::size_t>(n));
  for (auto& v : p) {
    seed = seed * 1664525u + 1013904223u;
    const float u = static_cast<float>(seed >> 8) / 16777216.0f;
    // Mostly confident bits with a few uncertain ones, like a decoder's probabilities.
    v = (seed & 7u) == 0 ? u : u * 0.02f;
  }
  return p;
}

// The definition written out plainly, in double: for each bit, the mean of its neighbours
// within halfw positions (itself left out, cut at the ends), clamped except at bit 0.
double plain_window_error(const std::vector<float>& p, int w) {
  const int n = static_cast<int>(p.size()), halfw = w >> 1;
  double total = 0.0;
  for (int i = 0; i < n; ++i) {
    double sum = 0.0;
    int count = 0;
    for (int j = std::max(0, i - halfw); j <= std::min(n - 1, i + halfw); ++j) {
      if (j == i) continue;
      sum += p[j];
      ++count;
    }
    double estimate = sum / count;
    if (i > 0) estimate = std::min(std::max(estimate, 1e-6), 0.5);
    total += (p[i] - estimate) * (p[i] - estimate);
  }
  return total;
}

}  // namespace

TEST(WindowError, MatchesThePlainDefinitionOnRandomData) {
  for (int n : {21, 64, 504, 1001}) {
    const std::vector<float> p = random_probabilities(n, 17u + static_cast<std::uint32_t>(n));
    std::vector<float> bias(p.size());
    for (int w = 3; 2 * (w >> 1) < n; w += (w < 45 ? 2 : 38)) {
      const double expected = plain_window_error(p, w);
      const float got = window_error(bias.data(), p.data(), n, w);
      EXPECT_NEAR(got, expected, 1e-4 * expected + 1e-6) << "n " << n << " w " << w;
    }
  }
}

TEST(WindowError, HandWorkedCaseIsExact) {
  // Values and sums all exact in float. Width 3: bit 0 by bit 1 (unclamped), the last bit
  // by its left neighbour, the others by the mean of both neighbours.
  const std::vector<float> p = {0.25f, 0.5f, 0.125f, 0.375f, 0.0625f};
  std::vector<float> bias(5);
  EXPECT_EQ(window_error(bias.data(), p.data(), 5, 3), 0.4345703125f);
  EXPECT_EQ(bias, (std::vector<float>{0.5f, 0.1875f, 0.4375f, 0.09375f, 0.375f}));
}

TEST(WindowError, ClampEverywhereButBitZero) {
  // Bit 0's window mean is 0 and enters unclamped, adding p[0]^2; the others are clamped to
  // [1e-6, 0.5].
  std::vector<float> p = {0.75f, 0.0f, 0.0f, 1.0f, 1.0f, 1.0f};
  std::vector<float> bias(p.size());
  const float s2 = window_error(bias.data(), p.data(), 6, 3);
  EXPECT_EQ(bias[0], 0.0f);
  EXPECT_EQ(bias[1], 0.375f);
  EXPECT_EQ(bias[2], 0.5f);                // mean 0.5
  EXPECT_EQ(bias[4], 0.5f);                // mean 1.0, clamped
  EXPECT_GT(s2, 0.75f * 0.75f);
  std::vector<float> zeros(8, 0.0f);
  std::vector<float> zbias(8);
  EXPECT_EQ(window_error(zbias.data(), zeros.data(), 8, 5), 7 * (9.99999997e-07f * 9.99999997e-07f));
  EXPECT_EQ(zbias[0], 0.0f);
  EXPECT_EQ(zbias[3], 9.99999997e-07f);
}

TEST(WindowError, WidthOneIsNaN) {
  const std::vector<float> p = random_probabilities(50, 3);
  std::vector<float> bias(p.size());
  EXPECT_TRUE(std::isnan(window_error(bias.data(), p.data(), 50, 1)));
  for (int i = 1; i < 50; ++i) EXPECT_TRUE(bias[i] == 9.99999997e-07f || bias[i] == 0.5f);
}

TEST(WindowError, WindowSizeIsHalfTheFullWindowAtBothEnds) {
  // Only the halfw neighbours inside the block count at bits 0 and n - 1: with 0.25 on
  // exactly those bits and 0 elsewhere, both means are 0.25.
  for (int halfw : {1, 10, 251}) {
    std::vector<float> p(504, 0.0f);
    for (int j = 1; j <= halfw; ++j) p[j] = 0.25f;
    for (int j = 503 - halfw; j <= 502; ++j) p[j] = 0.25f;
    std::vector<float> bias(p.size());
    window_error(bias.data(), p.data(), 504, 2 * halfw + 1);
    EXPECT_EQ(bias[0], 0.25f) << halfw;
    EXPECT_EQ(bias[503], 0.25f) << halfw;
  }
}

TEST(WindowErrors, SideBySideEqualsWindowErrorBitForBit) {
  // Random profiles and adversarial ones: zeros of both signs, NaN, infinities, values
  // above 1, tiny and huge values; every odd width that fits, in an order with gaps.
  std::vector<std::vector<float>> profiles;
  for (int n : {21, 22, 45, 300, 504, 777}) profiles.push_back(random_probabilities(n, 91u * n));
  std::vector<float> odd = random_probabilities(300, 5);
  const float specials[] = {0.0f, -0.0f, std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(), 1.5f, 1e-30f, 3e38f,
                            std::numeric_limits<float>::denorm_min(), 0.5f, 9.99999997e-07f};
  for (std::size_t k = 0; k < odd.size(); k += 7) odd[k] = specials[(k / 7) % 10];
  profiles.push_back(odd);
  profiles.push_back(std::vector<float>(64, -0.0f));
  for (const auto& p : profiles) {
    const int n = static_cast<int>(p.size());
    std::vector<int> widths;
    for (int w = 1; 2 * (w >> 1) < n; w += 2) widths.push_back(w);
    std::swap(widths[0], widths[widths.size() / 2]);
    std::vector<float> errors(widths.size()), bias(p.size());
    window_errors(p.data(), n, widths.data(), static_cast<int>(widths.size()), errors.data());
    for (std::size_t k = 0; k < widths.size(); ++k) {
      const float expected = window_error(bias.data(), p.data(), n, widths[k]);
      // Bit for bit, except that a NaN's sign and payload carry no meaning.
      if (std::isnan(expected) && std::isnan(errors[k])) continue;
      EXPECT_EQ(std::memcmp(&errors[k], &expected, sizeof(float)), 0)
          << "n " << n << " w " << widths[k] << ": " << errors[k] << " vs " << expected;
    }
  }
}

TEST(WindowErrors, SideBySideKeepsInfinitiesApartFromNaN) {
  // Profiles holding +inf or -inf but no NaN: once an infinity has entered and left a
  // window its running sum is inf - inf = NaN, a mean the clamp turns into its lower bound,
  // while the infinite bit itself makes the error inf. The side-by-side lanes must give that
  // inf, not a NaN; a NaN in the profile must give NaN. The width search must choose what
  // the one-width search chooses.
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    int n;
    std::vector<std::pair<int, float>> specials;
  } cases[] = {{21, {{0, inf}}},          {21, {{20, -inf}}},       {45, {{22, inf}}},
               {64, {{3, inf}, {40, -inf}}}, {100, {{50, -inf}}},  {300, {{0, -inf}, {299, inf}}},
               {504, {{17, inf}}},        {504, {{250, inf}, {251, inf}}}, {77, {{30, nan}}},
               {77, {{30, nan}, {60, inf}}}};
  int infinite = 0, not_a_number = 0;
  for (const Case& c : cases) {
    std::vector<float> p = random_probabilities(c.n, 7u * c.n);
    for (auto [at, v] : c.specials) p[at] = v;
    std::vector<int> widths;
    for (int w = 1; 2 * (w >> 1) < c.n; w += 2) widths.push_back(w);
    std::vector<float> errors(widths.size()), bias(p.size());
    window_errors(p.data(), c.n, widths.data(), static_cast<int>(widths.size()), errors.data());
    for (std::size_t k = 0; k < widths.size(); ++k) {
      const float expected = window_error(bias.data(), p.data(), c.n, widths[k]);
      if (std::isnan(expected)) {
        ++not_a_number;
        EXPECT_TRUE(std::isnan(errors[k])) << "n " << c.n << " w " << widths[k] << ": " << errors[k];
        continue;
      }
      infinite += std::isinf(expected);
      EXPECT_EQ(std::memcmp(&errors[k], &expected, sizeof(float)), 0)
          << "n " << c.n << " w " << widths[k] << ": " << errors[k] << " vs " << expected;
    }
    if (c.n >= 21) {
      // The one-width search: 21, then 41, 43, ..., the first smallest error wins.
      int bestw = 21;
      float best = window_error(bias.data(), p.data(), c.n, 21);
      for (int w = 41; w < std::min(c.n, SEARCH_WIDTH_LIMIT); w += 2) {
        const float e = window_error(bias.data(), p.data(), c.n, w);
        if (e < best) {
          best = e;
          bestw = w;
        }
      }
      EXPECT_EQ(best_window_width(bias.data(), p.data(), c.n), bestw) << "n " << c.n;
    }
  }
  // The cases reach both kinds of error.
  EXPECT_GT(infinite, 100);
  EXPECT_GT(not_a_number, 0);
}

TEST(WidthSearch, TriesTwentyOneThenFortyOneUpToTheBlock) {
  // After the search, bias holds the estimates of the last width evaluated.
  struct Case {
    int n, last;
  } cases[] = {{21, 21}, {41, 21}, {42, 41}, {43, 41}, {504, 503}, {10000, 9999}, {10001, 9999},
               {12000, 9999}};
  for (const auto& c : cases) {
    const std::vector<float> p = random_probabilities(c.n, 5);
    std::vector<float> after(p.size()), expected(p.size());
    best_window_width(after.data(), p.data(), c.n);
    window_error(expected.data(), p.data(), c.n, c.last);
    EXPECT_EQ(after, expected) << "n " << c.n;
  }
}

TEST(WidthSearch, SmallestErrorWinsAndTiesKeepTheSmallerWidth) {
  const std::vector<float> p = random_probabilities(504, 23);
  std::vector<float> bias(p.size());
  const int bestw = best_window_width(bias.data(), p.data(), 504);
  float best = window_error(bias.data(), p.data(), 504, bestw);
  EXPECT_LE(best, window_error(bias.data(), p.data(), 504, 21));
  for (int w = 41; w < 504; w += 2) {
    const float s2 = window_error(bias.data(), p.data(), 504, w);
    if (w < bestw) {
      EXPECT_GT(s2, best) << w;
    } else if (w > bestw) {
      EXPECT_GE(s2, best) << w;
    }
  }
  // A constant profile predicts itself with every width: all errors are 0, 21 stays.
  const std::vector<float> flat(504, 0.25f);
  EXPECT_EQ(best_window_width(bias.data(), flat.data(), 504), 21);
  // A NaN error at width 21 is never replaced.
  std::vector<float> with_nan = p;
  with_nan[0] = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(best_window_width(bias.data(), with_nan.data(), 504), 21);
  // Only width 21 fits a block of 41 bits.
  EXPECT_EQ(best_window_width(bias.data(), p.data(), 41), 21);
}

TEST(WidthSearch, TimedSearchPrintsItsLineAndAddsToCpuTime) {
  const std::vector<float> p = random_probabilities(504, 29);
  std::vector<float> bias(p.size());
  const double before = CPUtime;
  testing::internal::CaptureStdout();
  const int bestw = cpu_width_search(bias.data(), p.data(), 504);
  std::fflush(stdout);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(bestw, best_window_width(bias.data(), p.data(), 504));
  const std::string prefix =
      "\xD4\xDA" "CPU\xC9\xCF\xB4\xAE\xD0\xD0\xD6\xB4\xD0\xD0\xCA\xB1\xBC\xE4\xCE\xAA" "time=";
  ASSERT_EQ(out.compare(0, prefix.size(), prefix), 0) << out;
  double printed = 0.0;
  ASSERT_EQ(std::sscanf(out.c_str() + prefix.size(), "%lf(ms)\n", &printed), 1);
  EXPECT_EQ(out.back(), '\n');
  EXPECT_EQ(out.find('\n'), out.size() - 1);
  EXPECT_GT(CPUtime, before);
  EXPECT_NEAR(CPUtime - before, printed, 1e-6);
}

TEST(Smoothing, ClampedLogRatiosOfTheWindowMeans) {
  std::vector<float> p(30, 0.0f);
  for (int j = 15; j < 30; ++j) p[j] = 0.9f;
  std::vector<double> llr(30, -1.0);
  smooth_into_llr(p.data(), 30, 21, llr.data());
  // Bit 0's window is all zeros: clamped to 1e-6 (also at bit 0), about 13.8155.
  EXPECT_EQ(llr[0], static_cast<double>(logf((1.0f - 9.99999997e-07f) / 9.99999997e-07f)));
  EXPECT_NEAR(llr[0], 13.8155, 1e-4);
  // The last bits' windows average 0.9: clamped to 0.5, log-ratio exactly 0.
  EXPECT_EQ(llr[29], 0.0);
  for (double v : llr) {
    EXPECT_GE(v, 0.0);
    EXPECT_LE(v, 13.8156);
  }
  // Bits between follow logf((1 - e) / e) of their clamped means.
  std::vector<float> bias(30);
  window_error(bias.data(), p.data(), 30, 21);
  for (int i = 1; i < 30; ++i)
    EXPECT_EQ(llr[i], static_cast<double>(logf((1.0f - bias[i]) / bias[i]))) << i;
}
