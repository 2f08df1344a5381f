// The fast decoders where the former layered rule broke down: a block of the shipped matrix
// that it turned into its complement and called a success, long regular codes far below their
// threshold, an irregular code with heavy columns; and the rules' own promises (no tying
// offset chosen, the sum-product table equal to its formula).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "code/blocks.h"
#include "code/peg.h"
#include "minsum/minsum.h"
#include "sweep/engine.h"
#include "sweep/input.h"

using namespace ldpcsw;
using namespace ldpcsw::minsum;

namespace {

sweep::SweepCode load(const std::string& path) {
  sweep::SweepCode code;
  std::string error;
  EXPECT_TRUE(sweep::load_sweep_code(path, sweep::MatrixFormat::detect, code, error) &&
              sweep::prepare_minsum_code(code, error))
      << error;
  return code;
}

sweep::SweepCode from_matrix(const ParityCheckMatrix& h) {
  sweep::SweepCode code;
  code.n = h.n;
  code.m = h.m;
  code.ir = h.ir;
  code.jc = h.jc;
  std::string error;
  EXPECT_TRUE(sweep::prepare_minsum_code(code, error)) << error;
  return code;
}

struct Decoded {
  int bit_errors = 0;
  bool success = false;
  int iterations = 0;
  bool all_flipped = false;  // x_hat = x XOR 1
};

// Block `block` of the sweep's point (seed, p), decoded by the reference.
Decoded decode_sweep_block(const sweep::SweepCode& code, std::uint64_t seed, double p,
                           std::uint64_t block, const MinsumParams& params, Schedule schedule) {
  const int n = code.n;
  std::vector<std::int8_t> x(n), y(n), s(code.m), x_hat(n);
  sweep::draw_sweep_block(sweep::point_key(seed, p), block, sweep::noise_threshold(p), x.data(),
                          y.data(), n);
  compute_syndrome(code.ir.data(), code.jc.data(), code.m, x.data(), s.data());
  Decoded d;
  d.success = minsum_decode_reference(code.minsum, params, schedule, y.data(), s.data(),
                                      x_hat.data(), &d.iterations);
  d.bit_errors = count_bit_errors(x_hat.data(), x.data(), n);
  d.all_flipped = d.bit_errors == n;
  return d;
}

// Frame errors and undetected errors of blocks 0..blocks-1 of point (seed, p), decoded in the
// batch decoder's lanes.
std::pair<int, int> failures(const sweep::SweepCode& code, std::uint64_t seed, double p,
                             int blocks, const MinsumParams& params, Schedule schedule) {
  const int n = code.n;
  const sweep::PhiloxKey key = sweep::point_key(seed, p);
  std::vector<std::vector<std::int8_t>> xs(static_cast<std::size_t>(minsum_lanes()),
                                           std::vector<std::int8_t>(n));
  std::vector<int> lane_block(static_cast<std::size_t>(minsum_lanes()), -1);
  int next = 0, frame_errors = 0, undetected = 0;
  MinsumWorkspace ws;
  minsum_decode_stream(
      code.minsum, params, schedule, ws,
      [&](int lane, std::int8_t* y, std::int8_t* s) {
        if (next >= blocks) return false;
        sweep::draw_sweep_block(key, static_cast<std::uint64_t>(next), sweep::noise_threshold(p),
                                xs[lane].data(), y, n);
        compute_syndrome(code.ir.data(), code.jc.data(), code.m, xs[lane].data(), s);
        lane_block[lane] = next++;
        return true;
      },
      [&](int lane, const std::int8_t* x_hat, bool success, int) {
        const int errors = count_bit_errors(x_hat, xs[lane].data(), n);
        frame_errors += errors > 0 ? 1 : 0;
        undetected += success && errors > 0 ? 1 : 0;
      });
  return {frame_errors, undetected};
}

MinsumParams with_limit(MinsumParams p, int iterations) {
  p.max_iterations = iterations;
  return p;
}

MinsumParams sum_product(double p) {
  MinsumParams params = default_params(Schedule::layered);
  params.check = CheckRule::sum_product;
  params.q = spa_channel_q(p);
  return params;
}

}  // namespace

TEST(MinsumRegression, ShippedBlockThatTheFormerRuleTurnedIntoItsComplement) {
  // Seed 1, p = 0.05, block 959 (27 channel flips): the former rule (8-bit a-posteriori
  // values, 7/8) reaches 1 wrong bit after 7 iterations, 467 after 8, and after 9 returns
  // success with every bit wrong: x XOR 1 satisfies the syndrome, every row weight being even.
  const sweep::SweepCode code = load(LDPCSW_DATA_DIR "/Reg504252.dat");
  const MinsumParams former = former_params(Schedule::layered);
  EXPECT_EQ(decode_sweep_block(code, 1, 0.05, 959, with_limit(former, 7), Schedule::layered).bit_errors, 1);
  EXPECT_EQ(decode_sweep_block(code, 1, 0.05, 959, with_limit(former, 8), Schedule::layered).bit_errors, 467);
  const Decoded collapsed =
      decode_sweep_block(code, 1, 0.05, 959, with_limit(former, 9), Schedule::layered);
  EXPECT_TRUE(collapsed.success);
  EXPECT_TRUE(collapsed.all_flipped);
  // The sweep counts it as an undetected error.
  std::vector<std::int8_t> x(code.n), y(code.n), s(code.m), flipped(code.n);
  sweep::draw_sweep_block(sweep::point_key(1, 0.05), 959, sweep::noise_threshold(0.05), x.data(),
                          y.data(), code.n);
  compute_syndrome(code.ir.data(), code.jc.data(), code.m, x.data(), s.data());
  for (int j = 0; j < code.n; ++j) flipped[j] = static_cast<std::int8_t>(1 - x[j]);
  EXPECT_TRUE(sweep::undetected_error(code, flipped.data(), s.data(), code.n));
  EXPECT_FALSE(sweep::undetected_error(code, x.data(), s.data(), 0));
  // No current rule calls wrong decisions a success at any iteration limit, and each
  // decodes the block.
  for (int limit = 1; limit <= 50; ++limit) {
    for (Schedule schedule : {Schedule::layered, Schedule::flooding}) {
      const Decoded d = decode_sweep_block(
          code, 1, 0.05, 959, with_limit(default_params(schedule), limit), schedule);
      EXPECT_EQ(d.success, d.bit_errors == 0) << limit;
      if (limit == 50) {
        EXPECT_EQ(d.bit_errors, 0);
      }
    }
    const Decoded spa =
        decode_sweep_block(code, 1, 0.05, 959, with_limit(sum_product(0.05), limit), Schedule::layered);
    EXPECT_EQ(spa.success, spa.bit_errors == 0) << limit;
    if (limit == 50) {
      EXPECT_EQ(spa.bit_errors, 0);
    }
  }
}

TEST(MinsumRegression, LongRegularCodeFarBelowItsThresholdDoesNotCollapse) {
  // A (3,6) code of n = 20,000 at p = 0.06 (threshold 0.084): no fast decoder at its
  // defaults fails a block.
  ParityCheckMatrix h;
  std::string error;
  ASSERT_TRUE(build_random_code(20000, 10000, 3, 2, h, error)) << error;
  const sweep::SweepCode code = from_matrix(h);
  const int blocks = 64;
  for (Schedule schedule : {Schedule::layered, Schedule::flooding})
    EXPECT_EQ(failures(code, 7, 0.06, blocks, default_params(schedule), schedule),
              (std::pair<int, int>{0, 0}));
  EXPECT_EQ(failures(code, 7, 0.06, blocks, sum_product(0.06), Schedule::layered),
            (std::pair<int, int>{0, 0}));
}

TEST(MinsumRegression, HeavyColumnsKeepTheirChannelValue) {
  // A rate-1/2 irregular code with a third of its columns of weight 20: with 8-bit
  // a-posteriori values the heavy columns saturate and lose their channel value.
  std::vector<int> degrees;
  for (int j = 0; j < 1200; ++j) degrees.push_back(j < 480 ? 2 : j < 800 ? 3 : 20);
  const int m = 600;
  int edges = 0;
  for (int d : degrees) edges += d;
  std::vector<int> caps(m, (edges + m - 1) / m);
  ParityCheckMatrix h;
  std::string error;
  PegOptions options;
  options.depth_limit = 3;
  ASSERT_TRUE(build_peg_irregular(degrees, caps, 3, options, h, error)) << error;
  const sweep::SweepCode code = from_matrix(h);
  const int blocks = 400;
  // At p = 0.035 the former rule fails about half the blocks (203 of 400), the 16-bit rule
  // and the sum-product none (at 0.05: 383, 75 and 27).
  const double p = 0.035;
  const auto former = failures(code, 4, p, blocks, former_params(Schedule::layered), Schedule::layered);
  const auto wide = failures(code, 4, p, blocks, default_params(Schedule::layered), Schedule::layered);
  const auto spa = failures(code, 4, p, blocks, sum_product(p), Schedule::layered);
  RecordProperty("former", former.first);
  RecordProperty("wide", wide.first);
  RecordProperty("spa", spa.first);
  EXPECT_GT(former.first, 100);
  EXPECT_EQ(wide, (std::pair<int, int>{0, 0}));
  EXPECT_EQ(spa, (std::pair<int, int>{0, 0}));
}

TEST(MinsumRules, CorrectionsByWeightNeverTieAndTheTableIsItsFormula) {
  // By weight: normalisation up to weight 7, then an offset growing from Q/4 that never
  // divides Q (Q = 9 with offset 3 makes sums tie at zero and collapses the decoder).
  for (int q = 1; q <= MSG_MAX; ++q) {
    MinsumParams p = default_params(Schedule::layered);
    p.q = q;
    for (int weight = 1; weight <= 300; ++weight) {
      const RowCorrection c = row_correction(p, Schedule::layered, weight);
      if (weight <= 7) {
        EXPECT_FALSE(c.offset);
        continue;
      }
      ASSERT_TRUE(c.offset);
      EXPECT_GE(c.beta, 1);
      EXPECT_LE(c.beta, (q + 1) / 2 + 1) << q << " " << weight;
      if (c.beta > 1) {
        EXPECT_NE(q % c.beta, 0) << "Q " << q << " weight " << weight;
      }
    }
  }
  MinsumParams p = default_params(Schedule::layered);
  EXPECT_EQ(row_correction(p, Schedule::layered, 8).beta, 3);    // Q/4 = 4 divides 16
  EXPECT_EQ(row_correction(p, Schedule::layered, 9).beta, 6);    // 6/16 of 16
  EXPECT_EQ(row_correction(p, Schedule::layered, 10).beta, 7);   // 7/16 of 16
  EXPECT_EQ(row_correction(p, Schedule::layered, 40).beta, 7);   // 8 divides 16
  EXPECT_EQ(row_correction(p, Schedule::layered, 6).num, 7);     // 7/8
  EXPECT_EQ(row_correction(p, Schedule::flooding, 6).num, 13);   // 13/16
  p.q = 9;
  EXPECT_EQ(row_correction(p, Schedule::layered, 10).beta, 4);
  // Given corrections apply to every check.
  p.correction = Correction::offset;
  p.beta = 3;
  EXPECT_EQ(row_correction(p, Schedule::layered, 20).beta, 3);

  // The sum-product correction: ln(1 + e^-x) in units of 1/8 nat, rounded.
  for (int x = 0; x <= 2 * MSG_MAX; ++x)
    EXPECT_EQ(spa_correction(x),
              static_cast<int>(std::lround(SPA_UNITS * std::log1p(std::exp(-double(x) / SPA_UNITS)))))
        << x;
  // Box-plus: never above the smaller magnitude, symmetric, 0 with a 0 input.
  for (int a = 0; a <= MSG_MAX; ++a)
    for (int b = 0; b <= MSG_MAX; ++b) {
      const int r = spa_combine(a, b);
      ASSERT_EQ(r, spa_combine(b, a));
      ASSERT_LE(r, std::min(a, b));
      ASSERT_GE(r, 0);
    }
  EXPECT_EQ(spa_combine(0, 100), 0);
  EXPECT_EQ(spa_combine(MSG_MAX, MSG_MAX), MSG_MAX - 6);  // min - ln 2
  EXPECT_EQ(spa_combine(MSG_MAX, 10), 10);  // both correction terms vanish
  EXPECT_EQ(spa_combine(10, 12), 10 + 0 - 5);  // 10 + ln(1 + e^-22/8) - ln(1 + e^-2/8)
  EXPECT_EQ(spa_channel_q(0.08), 20);
  EXPECT_EQ(spa_channel_q(1e-300), MSG_MAX);
  EXPECT_EQ(spa_channel_q(0.5), 1);
}
