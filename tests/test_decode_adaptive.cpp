// phi and the adaptive decoder: message rules, stopping rules, the estimation step's timing.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <limits>
#include <vector>

#include "code/blocks.h"
#include "decode/adaptive.h"
#include "decode/phi.h"
#include "decode/scratch.h"
#include "platform/crt.h"
#include "tests/support.h"

using namespace ldpcsw;

TEST(Phi, FloorAtDblMinAndNaN) {
  const double top = phi(0.0);
  EXPECT_NEAR(top, 709.0896, 1e-4);
  EXPECT_EQ(phi(DBL_MIN), top);
  EXPECT_EQ(phi(DBL_MIN / 4), top);
  EXPECT_EQ(phi(-1.0), top);
  EXPECT_EQ(phi(std::numeric_limits<double>::quiet_NaN()), top);
  EXPECT_LT(phi(2 * DBL_MIN), top);
}

TEST(Phi, ZeroOnceTanhRoundsToOne) {
  EXPECT_GT(phi(37.0), 0.0);
  EXPECT_EQ(phi(38.2), 0.0);
  EXPECT_EQ(phi(1e6), 0.0);
  EXPECT_EQ(phi(std::numeric_limits<double>::infinity()), 0.0);
  // phi is its own inverse away from the extremes.
  EXPECT_NEAR(phi(phi(2.4423470353692043)), 2.4423470353692043, 1e-12);
}

namespace {

// A decode call's inputs and scratch for one matrix, and a counting estimation hook.
struct Harness {
  ParityCheckMatrix h;
  std::vector<std::int8_t> x, y, s, x_hat, bytes;
  std::vector<double> numbers;
  std::vector<int> hook_iterations;
  int iteration_seen = 0;
  bool hook_result = true;

  explicit Harness(ParityCheckMatrix matrix) : h(std::move(matrix)) {
    x.assign(h.n, 0);
    y.assign(h.n, 0);
    s.assign(h.m, 0);
    x_hat.assign(h.n, 0);
    bytes.assign(byte_scratch_size(h.edges(), h.m), 0);
    numbers.assign(number_scratch_size(h.edges(), h.n), 0.0);
  }

  static bool hook(double* llr_post, int n, void* context) {
    auto* self = static_cast<Harness*>(context);
    EXPECT_EQ(llr_post, self->numbers.data() + n + self->h.edges());
    self->hook_iterations.push_back(self->iteration_seen);
    return self->hook_result;
  }

  int decode(double p_cross = 0.08, int* iterations = nullptr) {
    int local = 0;
    int* it = iterations ? iterations : &local;
    hook_iterations.clear();
    return decode_syndrome_adaptive_with(h.ir.data(), h.jc.data(), h.m, h.n, y.data(), s.data(),
                                         x_hat.data(), bytes.data(), numbers.data(), 0.5, p_cross,
                                         &Harness::hook_with_count, this, it);
  }

  static bool hook_with_count(double* llr_post, int n, void* context) { return hook(llr_post, n, context); }
};

ParityCheckMatrix single_check(int n) {
  ParityCheckMatrix h;
  h.n = n;
  h.m = 1;
  h.ir = {0, n};
  for (int i = 0; i < n; ++i) h.jc.push_back(i);
  return h;
}

}  // namespace

TEST(AdaptiveDecoder, NoiselessBlockConvergesInTheFirstIteration) {
  Harness t(test::random_matrix(60, 30, 3));
  crt_rand_reset();
  draw_block(t.x.data(), t.y.data(), t.h.n, 0.5, 0.0);
  ASSERT_EQ(t.x, t.y);
  compute_syndrome(t.h.ir.data(), t.h.jc.data(), t.h.m, t.x.data(), t.s.data());
  for (int i = 0; i < t.h.n; ++i) t.x_hat[i] = static_cast<std::int8_t>(1 - t.y[i]);
  int iterations = 0;
  EXPECT_EQ(t.decode(0.08, &iterations), 1);
  EXPECT_EQ(iterations, 1);
  EXPECT_EQ(t.x_hat, t.y);
  EXPECT_TRUE(t.hook_iterations.empty());
}

TEST(AdaptiveDecoder, NoSyndromeTestWithoutChanges) {
  // x_hat already holds the first decisions and satisfies the syndrome: no iteration
  // changes anything, so no syndrome test runs and the fifth iteration returns 0.
  Harness t(test::random_matrix(60, 30, 4));
  crt_rand_reset();
  draw_block(t.x.data(), t.y.data(), t.h.n, 0.5, 0.0);
  compute_syndrome(t.h.ir.data(), t.h.jc.data(), t.h.m, t.x.data(), t.s.data());
  t.x_hat = t.y;
  int iterations = 0;
  EXPECT_EQ(t.decode(0.08, &iterations), 0);
  EXPECT_EQ(iterations, 5);
  EXPECT_EQ(t.x_hat, t.y);
}

TEST(AdaptiveDecoder, ChangesOnlyInTheFirstIterationEndTheCallInTheSixth) {
  // One check over three bits, all side information 0, syndrome 1: the decisions stay 0 and
  // never satisfy the check. x_hat enters as all ones, so only iteration 1 changes it.
  Harness t(single_check(3));
  t.s[0] = 1;
  t.x_hat.assign(3, 1);
  int iterations = 0;
  EXPECT_EQ(t.decode(0.08, &iterations), 0);
  EXPECT_EQ(iterations, 6);
  EXPECT_EQ(t.x_hat, std::vector<std::int8_t>(3, 0));
}

TEST(AdaptiveDecoder, EstimationStepRunsAfterEveryTenthIterationOnly) {
  // Hard blocks of a random code at the experiment's crossover: find one that runs all
  // 50 iterations and one that ends within nine.
  Harness t(test::random_matrix(504, 252, 11));
  crt_rand_reset();
  bool saw_full = false, saw_short = false;
  for (int block = 0; block < 400 && !(saw_full && saw_short); ++block) {
    draw_block(t.x.data(), t.y.data(), t.h.n, 0.5, 0.08);
    compute_syndrome(t.h.ir.data(), t.h.jc.data(), t.h.m, t.x.data(), t.s.data());
    int iterations = 0;
    std::vector<int> calls;
    int result = decode_syndrome_adaptive_with(
        t.h.ir.data(), t.h.jc.data(), t.h.m, t.h.n, t.y.data(), t.s.data(), t.x_hat.data(),
        t.bytes.data(), t.numbers.data(), 0.5, 0.08,
        [](double*, int, void* ctx) {
          static_cast<std::vector<int>*>(ctx)->push_back(0);
          return true;
        },
        &calls, &iterations);
    // A step follows iteration k only when that iteration did not return, so a call that
    // returns in iteration k has run (k - 1) / 10 steps, and one that runs out has run five.
    const std::size_t steps = calls.size();
    EXPECT_TRUE(steps == static_cast<std::size_t>((iterations - 1) / 10) ||
                (steps == 5 && iterations == 50 && result == 0))
        << "iterations " << iterations << ", steps " << steps;
    if (steps == 5) saw_full = true;
    if (iterations <= 9) {
      saw_short = true;
      EXPECT_EQ(steps, 0u);
    }
  }
  EXPECT_TRUE(saw_full);
  EXPECT_TRUE(saw_short);
}

TEST(AdaptiveDecoder, FailingEstimationStepEndsTheCallAtIterationTen) {
  Harness t(test::random_matrix(504, 252, 11));
  crt_rand_reset();
  for (int block = 0; block < 400; ++block) {
    draw_block(t.x.data(), t.y.data(), t.h.n, 0.5, 0.11);
    compute_syndrome(t.h.ir.data(), t.h.jc.data(), t.h.m, t.x.data(), t.s.data());
    std::vector<std::int8_t> entry = t.x_hat;
    int free_iterations = 0;
    decode_syndrome_adaptive_with(t.h.ir.data(), t.h.jc.data(), t.h.m, t.h.n, t.y.data(),
                                  t.s.data(), t.x_hat.data(), t.bytes.data(), t.numbers.data(), 0.5,
                                  0.11, nullptr, nullptr, &free_iterations);
    if (free_iterations <= 10) continue;
    // The same call again, with a step that fails: result 0 right after iteration 10, and the
    // decisions of iteration 10 kept.
    t.x_hat = entry;
    int iterations = 0;
    const int result = decode_syndrome_adaptive_with(
        t.h.ir.data(), t.h.jc.data(), t.h.m, t.h.n, t.y.data(), t.s.data(), t.x_hat.data(),
        t.bytes.data(), t.numbers.data(), 0.5, 0.11, [](double*, int, void*) { return false; },
        nullptr, &iterations);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(iterations, 10);
    return;
  }
  FAIL() << "no block ran past ten iterations";
}

TEST(AdaptiveDecoder, EstimationStepNeverChangesTheDecisions) {
  // The experiment's step stores smoothed values where the a-posteriori LLRs were; the next
  // iteration overwrites them, so decisions and results match a call without the step.
  Harness with(test::random_matrix(504, 252, 5));
  Harness without(test::random_matrix(504, 252, 5));
  crt_rand_reset();
  int long_calls = 0;
  testing::internal::CaptureStdout();
  for (int block = 0; block < 60; ++block) {
    draw_block(with.x.data(), with.y.data(), with.h.n, 0.5, 0.09);
    without.x = with.x;
    without.y = with.y;
    compute_syndrome(with.h.ir.data(), with.h.jc.data(), with.h.m, with.x.data(), with.s.data());
    without.s = with.s;
    int it_with = 0, it_without = 0;
    const int r_with = decode_syndrome_adaptive_with(
        with.h.ir.data(), with.h.jc.data(), with.h.m, with.h.n, with.y.data(), with.s.data(),
        with.x_hat.data(), with.bytes.data(), with.numbers.data(), 0.5, 0.09, estimation_step,
        nullptr, &it_with);
    const int r_without = decode_syndrome_adaptive_with(
        without.h.ir.data(), without.h.jc.data(), without.h.m, without.h.n, without.y.data(),
        without.s.data(), without.x_hat.data(), without.bytes.data(), without.numbers.data(), 0.5,
        0.09, nullptr, nullptr, &it_without);
    EXPECT_EQ(r_with, r_without);
    EXPECT_EQ(it_with, it_without);
    EXPECT_EQ(with.x_hat, without.x_hat);
    if (it_with >= 10) ++long_calls;
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GT(long_calls, 0);
}

TEST(AdaptiveDecoder, ChannelLlrsAndTheCheckRuleOnAHandWorkedCode) {
  // One check over two bits, y = (0, 1), syndrome 1: the check agrees with y, so each bit
  // receives phi(phi(L)) with the sign that confirms y, and the call converges at once.
  Harness t(single_check(2));
  t.y = {0, 1};
  t.s[0] = 1;
  t.x_hat = {1, 0};
  int iterations = 0;
  EXPECT_EQ(t.decode(0.08, &iterations), 1);
  EXPECT_EQ(iterations, 1);
  EXPECT_EQ(t.x_hat, (std::vector<std::int8_t>{0, 1}));
  const double L = 2.4423470353692043;
  EXPECT_EQ(t.numbers[0], std::log((1.0 - 0.08) / 0.08));
  EXPECT_NEAR(t.numbers[0], L, 1e-15);
  EXPECT_EQ(t.numbers[1], -t.numbers[0]);
  // llr_post = channel LLR + check message, in the shared region after the edges.
  const double* llr_post = t.numbers.data() + 2 + 2;
  EXPECT_EQ(llr_post[0], t.numbers[0] + phi(phi(t.numbers[0])));
  EXPECT_EQ(llr_post[1], t.numbers[1] - phi(phi(t.numbers[0])));
}

TEST(AdaptiveDecoder, AnLlrOfExactlyZeroDecidesZero) {
  // Crossover 0.5 and prior 0.5: every channel LLR is 0, every check-to-bit message has a
  // magnitude of phi(5 * phi(0)) = 0, so every a-posteriori LLR is exactly +0 and decides 0.
  // Entering with all ones, the first iteration changes every bit and meets the zero
  // syndrome; were a zero to decide 1, nothing would ever change and the call would fail.
  Harness t(test::random_matrix(60, 30, 3));
  t.y.assign(t.h.n, 1);
  t.x_hat.assign(t.h.n, 1);
  int iterations = 0;
  EXPECT_EQ(t.decode(0.5, &iterations), 1);
  EXPECT_EQ(iterations, 1);
  EXPECT_EQ(t.x_hat, std::vector<std::int8_t>(t.h.n, 0));
  const double* llr_post = t.numbers.data() + t.h.n + t.h.edges();
  for (int i = 0; i < t.h.n; ++i) {
    EXPECT_EQ(llr_post[i], 0.0) << i;
    EXPECT_FALSE(std::signbit(llr_post[i])) << i;
  }
}

namespace {

// Decodes `blocks` blocks drawn with source prior p_src and crossover p_cross, telling the
// decoder the prior `told`; returns how many it recovered exactly.
int recovered_with_prior(double p_src, double p_cross, double told, int blocks) {
  Harness t(test::random_matrix(504, 252, 11));
  crt_rand_reset();
  int recovered = 0;
  for (int b = 0; b < blocks; ++b) {
    draw_block(t.x.data(), t.y.data(), t.h.n, p_src, p_cross);
    compute_syndrome(t.h.ir.data(), t.h.jc.data(), t.h.m, t.x.data(), t.s.data());
    for (int i = 0; i < t.h.n; ++i) t.x_hat[i] = static_cast<std::int8_t>(1 - t.y[i]);
    decode_syndrome_adaptive_with(t.h.ir.data(), t.h.jc.data(), t.h.m, t.h.n, t.y.data(),
                                  t.s.data(), t.x_hat.data(), t.bytes.data(), t.numbers.data(),
                                  told, p_cross, nullptr, nullptr, nullptr);
    recovered += t.x_hat == t.x;
  }
  return recovered;
}

}  // namespace

TEST(AdaptiveDecoder, SourcePriorEntersEveryChannelLlr) {
  // Channel LLR = (1 - 2y) ln((1 - p_cross) / p_cross) + ln((1 - p_src) / p_src): a prior
  // below 1/2 pulls every bit towards 0.
  Harness t(single_check(4));
  t.y = {0, 1, 0, 1};
  t.x_hat = {1, 1, 1, 1};
  decode_syndrome_adaptive_with(t.h.ir.data(), t.h.jc.data(), t.h.m, t.h.n, t.y.data(),
                                t.s.data(), t.x_hat.data(), t.bytes.data(), t.numbers.data(), 0.2,
                                0.3, nullptr, nullptr, nullptr);
  const double channel = std::log((1.0 - 0.3) / 0.3), prior = std::log((1.0 - 0.2) / 0.2);
  EXPECT_EQ(t.numbers[0], channel + prior);
  EXPECT_EQ(t.numbers[1], -channel + prior);
  EXPECT_GT(t.numbers[1], 0.0);  // the prior outweighs y = 1

  // On sparse sources the right prior recovers blocks that the neutral prior loses, and a
  // prior of the wrong side loses nearly all of them.
  const int right = recovered_with_prior(0.1, 0.1, 0.1, 40);
  const int neutral = recovered_with_prior(0.1, 0.1, 0.5, 40);
  const int wrong = recovered_with_prior(0.1, 0.1, 0.9, 40);
  std::printf("recovered of 40: prior told 0.1: %d, 0.5: %d, 0.9: %d\n", right, neutral, wrong);
  EXPECT_GE(right, 38);
  EXPECT_LT(neutral, right);
  EXPECT_LE(wrong, 5);
}
