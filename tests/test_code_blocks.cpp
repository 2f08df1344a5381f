// The experiment's blocks: a probability of zero never gives a one, even on the generator's
// draws of 0, where a threshold compared with >= instead of > would.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "code/blocks.h"
#include "platform/crt.h"

using namespace ldpcsw;

TEST(ExperimentBlocks, ProbabilityZeroGivesNoOnes) {
  const int n = 100000;  // 200,000 draws: the generator returns 0 a few times among them
  crt_rand_reset();
  int source_zero_draws = 0, noise_zero_draws = 0;
  for (int j = 0; j < n; ++j) {
    source_zero_draws += crt_rand() == 0;
    noise_zero_draws += crt_rand() == 0;
  }
  ASSERT_GT(source_zero_draws, 0);
  ASSERT_GT(noise_zero_draws, 0);

  std::vector<std::int8_t> x(n), y(n);
  crt_rand_reset();
  draw_block(x.data(), y.data(), n, 0.0, 0.0);
  EXPECT_EQ(x, std::vector<std::int8_t>(n, 0));
  EXPECT_EQ(y, std::vector<std::int8_t>(n, 0));
  // Source ones only where drawn, never noise: y follows x exactly.
  crt_rand_reset();
  draw_block(x.data(), y.data(), n, 0.5, 0.0);
  EXPECT_EQ(y, x);
}
