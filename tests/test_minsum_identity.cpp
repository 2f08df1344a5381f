// The min-sum decoders: hand-built codes with known answers, and the batch decoder against the
// scalar reference block by block (decisions, success, iterations) on every SIMD target this
// machine runs, over the shipped matrix, random and irregular matrices, saturating parameters,
// all-zero syndromes and streams shorter than one vector.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "code/blocks.h"
#include "code/matrix.h"
#include "minsum/minsum.h"
#include "support.h"

namespace {

using namespace ldpcsw;
using namespace ldpcsw::minsum;

// Builds a MinsumCode from rows given as lists of 0-based columns.
MinsumCode code_of(int n, const std::vector<std::vector<int>>& rows) {
  std::vector<int> ir{0}, jc;
  for (const auto& row : rows) {
    jc.insert(jc.end(), row.begin(), row.end());
    ir.push_back(static_cast<int>(jc.size()));
  }
  MinsumCode code;
  std::string error;
  EXPECT_TRUE(make_minsum_code(n, static_cast<int>(rows.size()), ir.data(), jc.data(), code, error))
      << error;
  return code;
}

using ldpcsw::test::next_random;

// An irregular matrix: column weights drawn from 1..max_weight (some 0 and 1 and 2 always),
// distinct rows per column; row weights fall as they may (some 0, 1 or 2 at small m).
MinsumCode irregular_code(int n, int m, int max_weight, std::uint64_t seed) {
  std::vector<std::vector<int>> rows(static_cast<std::size_t>(m));
  for (int j = 0; j < n; ++j) {
    int w = j % 7 == 0 ? 1 : j % 7 == 1 ? 2 : 1 + static_cast<int>(next_random(seed) % max_weight);
    if (j == n - 1) w = 0;
    w = std::min(w, m);
    std::vector<int> chosen;
    while (static_cast<int>(chosen.size()) < w) {
      const int r = static_cast<int>(next_random(seed) % static_cast<std::uint64_t>(m));
      if (std::find(chosen.begin(), chosen.end(), r) == chosen.end()) chosen.push_back(r);
    }
    for (int r : chosen) rows[r].push_back(j);
  }
  return code_of(n, rows);
}

MinsumCode shipped_code() {
  std::FILE* f = std::fopen(LDPCSW_DATA_DIR "/Reg504252.dat", "rb");
  EXPECT_NE(f, nullptr);
  ParityCheckMatrix h;
  std::string error;
  EXPECT_TRUE(read_code_rows(f, h, error)) << error;
  std::fclose(f);
  MinsumCode code;
  EXPECT_TRUE(make_minsum_code(h.n, h.m, h.ir.data(), h.jc.data(), code, error)) << error;
  return code;
}

struct Block {
  std::vector<std::int8_t> y, s;
};

// Blocks with crossover p; `zero_source` gives x = 0 and so an all-zero syndrome.
std::vector<Block> draw_blocks(const MinsumCode& code, int count, double p, std::uint64_t seed,
                               bool zero_source = false) {
  std::vector<Block> blocks;
  std::vector<std::int8_t> x(static_cast<std::size_t>(code.n));
  const auto threshold = static_cast<std::uint64_t>(p * 18446744073709551615.0);
  for (int b = 0; b < count; ++b) {
    Block blk{std::vector<std::int8_t>(code.n), std::vector<std::int8_t>(code.m)};
    for (int j = 0; j < code.n; ++j) {
      x[j] = zero_source ? 0 : static_cast<std::int8_t>(next_random(seed) & 1);
      blk.y[j] = static_cast<std::int8_t>(x[j] ^ (next_random(seed) < threshold ? 1 : 0));
    }
    compute_syndrome(code.ir.data(), code.jc.data(), code.m, x.data(), blk.s.data());
    blocks.push_back(std::move(blk));
  }
  return blocks;
}

struct Result {
  std::vector<std::int8_t> x_hat;
  bool success = false;
  int iterations = 0;
  bool operator==(const Result&) const = default;
};

std::vector<Result> decode_reference(const MinsumCode& code, const MinsumParams& params,
                                     Schedule schedule, const std::vector<Block>& blocks) {
  std::vector<Result> out;
  for (const Block& b : blocks) {
    Result r{std::vector<std::int8_t>(code.n), false, 0};
    r.success = minsum_decode_reference(code, params, schedule, b.y.data(), b.s.data(),
                                        r.x_hat.data(), &r.iterations);
    out.push_back(std::move(r));
  }
  return out;
}

// The batch decoder over `blocks` in the given order of block indices.
std::vector<Result> decode_batch(const MinsumCode& code, const MinsumParams& params,
                                 Schedule schedule, const std::vector<Block>& blocks,
                                 const std::vector<int>& order) {
  std::vector<Result> out(blocks.size());
  std::vector<int> in_lane(static_cast<std::size_t>(minsum_lanes()), -1);
  std::size_t next = 0;
  MinsumWorkspace ws;
  minsum_decode_stream(
      code, params, schedule, ws,
      [&](int lane, std::int8_t* y, std::int8_t* s) {
        if (next == order.size()) return false;
        const Block& b = blocks[order[next]];
        std::copy(b.y.begin(), b.y.end(), y);
        std::copy(b.s.begin(), b.s.end(), s);
        in_lane[lane] = order[next++];
        return true;
      },
      [&](int lane, const std::int8_t* x_hat, bool success, int iterations) {
        Result& r = out[in_lane[lane]];
        EXPECT_TRUE(r.x_hat.empty()) << "block " << in_lane[lane] << " stored twice";
        r = Result{std::vector<std::int8_t>(x_hat, x_hat + code.n), success, iterations};
      });
  return out;
}

std::vector<int> identity_order(std::size_t count) {
  std::vector<int> order(count);
  for (std::size_t i = 0; i < count; ++i) order[i] = static_cast<int>(i);
  return order;
}

// Runs `body` once on every target this machine runs, forcing each in turn.
template <typename Body>
void for_each_target(Body body) {
  const std::vector<std::int64_t> targets = minsum_available_targets();
  ASSERT_FALSE(targets.empty());
  for (std::int64_t t : targets) {
    minsum_force_target(t);
    SCOPED_TRACE("target " + minsum_target_name(t) + ", " + std::to_string(minsum_lanes()) +
                 " lanes");
    body();
  }
  minsum_force_target(0);
}

MinsumParams offset(int q, int beta, int iterations = 50) {
  MinsumParams p;
  p.q = q;
  p.correction = Correction::offset;
  p.beta = beta;
  p.max_iterations = iterations;
  return p;
}

MinsumParams normalise(int q, int num, int shift, int iterations = 50) {
  MinsumParams p;
  p.q = q;
  p.correction = Correction::normalise;
  p.norm_num = num;
  p.norm_shift = shift;
  p.max_iterations = iterations;
  return p;
}

// Every block's result from the batch decoder equals the reference's, on every target, with
// blocks fed in order and in reverse (other lane neighbours, other refill order): flooding,
// and layered with 8- and 16-bit a-posteriori values (the sum-product rule: layered only).
void expect_identity(const MinsumCode& code, const MinsumParams& params,
                     const std::vector<Block>& blocks, bool expect_some_failures = false) {
  struct Rule {
    const char* name;
    Schedule schedule;
    int posterior_bits;
  };
  const std::vector<Rule> rules = {{"flooding", Schedule::flooding, 16},
                                   {"layered, 8-bit", Schedule::layered, 8},
                                   {"layered, 16-bit", Schedule::layered, 16}};
  for (const Rule& rule : rules) {
    if (params.check == CheckRule::sum_product && rule.schedule == Schedule::flooding) continue;
    SCOPED_TRACE(rule.name);
    MinsumParams p = params;
    p.posterior_bits = rule.posterior_bits;
    const std::vector<Result> want = decode_reference(code, p, rule.schedule, blocks);
    if (expect_some_failures) {
      EXPECT_TRUE(std::any_of(want.begin(), want.end(), [](const Result& r) { return !r.success; }));
    }
    std::vector<int> reversed = identity_order(blocks.size());
    std::reverse(reversed.begin(), reversed.end());
    for_each_target([&] {
      for (const std::vector<int>& order : {identity_order(blocks.size()), reversed}) {
        const std::vector<Result> got = decode_batch(code, p, rule.schedule, blocks, order);
        for (std::size_t b = 0; b < blocks.size(); ++b) {
          ASSERT_EQ(got[b].success, want[b].success) << "block " << b;
          ASSERT_EQ(got[b].iterations, want[b].iterations) << "block " << b;
          ASSERT_EQ(got[b].x_hat, want[b].x_hat) << "block " << b;
        }
      }
    });
  }
}

MinsumParams by_weight(int q, int iterations = 50) {
  MinsumParams p = default_params(Schedule::layered);
  p.q = q;
  p.max_iterations = iterations;
  return p;
}

MinsumParams sum_product(int q, int iterations = 50) {
  MinsumParams p;
  p.q = q;
  p.check = CheckRule::sum_product;
  p.max_iterations = iterations;
  return p;
}

TEST(MinsumKnown, HammingCodeFloodingCorrectsOneBitLayeredLocks) {
  // Hamming (7,4): x = 0, y differs from it in bit 0 (checked by rows 0 and 1). Flooding: bit 0
  // gets -6 + 5 + 5 = 4 and every other sum stays positive, so one iteration decodes. Layered:
  // row 0 leaves a_0 = -1, then row 1 sees |t_0| = |t_3| = 1, which the offset corrects to 0,
  // and every later iteration repeats the first: bit 0 stays wrong until the limit.
  const MinsumCode code = code_of(7, {{0, 2, 3, 4}, {0, 1, 3, 5}, {1, 2, 3, 6}});
  const std::vector<std::int8_t> y{1, 0, 0, 0, 0, 0, 0}, s{0, 0, 0};
  std::vector<std::int8_t> x_hat(7, 9);
  int iterations = 0;
  EXPECT_TRUE(minsum_decode_reference(code, offset(6, 1), Schedule::flooding, y.data(), s.data(),
                                      x_hat.data(), &iterations));
  EXPECT_EQ(x_hat, std::vector<std::int8_t>(7, 0));
  EXPECT_EQ(iterations, 1);
  EXPECT_FALSE(minsum_decode_reference(code, offset(6, 1, 9), Schedule::layered, y.data(),
                                       s.data(), x_hat.data(), &iterations));
  EXPECT_EQ(x_hat, y);
  EXPECT_EQ(iterations, 9);
}

TEST(MinsumKnown, ChainDecodesInOneIterationEitherWay) {
  // Rows {0,1}, {1,2}, x = 0, bit 1 flipped. Layered: row 0 sends -5 to bit 0 and +5 to bit 1
  // (a = 1, -1), row 1 sends +5 to bit 1 and, from |t_1| = 1, 0 to bit 2: a = (1, 4, 6).
  const MinsumCode code = code_of(3, {{0, 1}, {1, 2}});
  const std::vector<std::int8_t> y{0, 1, 0}, s{0, 0};
  for (Schedule schedule : {Schedule::flooding, Schedule::layered}) {
    std::vector<std::int8_t> x_hat(3, 9);
    int iterations = 0;
    EXPECT_TRUE(minsum_decode_reference(code, offset(6, 1), schedule, y.data(), s.data(),
                                        x_hat.data(), &iterations));
    EXPECT_EQ(x_hat, std::vector<std::int8_t>(3, 0));
    EXPECT_EQ(iterations, 1);
  }
}

TEST(MinsumKnown, SyndromeSetsTheSignOfASingleBitCheck) {
  // Row 1 holds bit 1 alone and its syndrome bit is 1: the check sends the largest magnitude,
  // which overrules the channel; x = (0, 1, 0).
  const MinsumCode code = code_of(3, {{0, 2}, {1}});
  const std::vector<std::int8_t> y{0, 0, 0}, s{0, 1};
  for (Schedule schedule : {Schedule::flooding, Schedule::layered}) {
    std::vector<std::int8_t> x_hat(3, 9);
    int iterations = 0;
    EXPECT_TRUE(minsum_decode_reference(code, offset(6, 1), schedule, y.data(), s.data(),
                                        x_hat.data(), &iterations));
    EXPECT_EQ(x_hat, (std::vector<std::int8_t>{0, 1, 0}));
    EXPECT_EQ(iterations, 1);
  }
}

TEST(MinsumKnown, UnsatisfiableSyndromeRunsToTheLimit) {
  // An empty row with syndrome 1 can never be satisfied: failure after exactly the limit.
  const MinsumCode code = code_of(3, {{0, 1, 2}, {}});
  const std::vector<std::int8_t> y{0, 1, 0}, s{1, 1};
  for (Schedule schedule : {Schedule::flooding, Schedule::layered}) {
    std::vector<std::int8_t> x_hat(3);
    int iterations = 0;
    EXPECT_FALSE(minsum_decode_reference(code, offset(6, 1, 7), schedule, y.data(), s.data(),
                                         x_hat.data(), &iterations));
    EXPECT_EQ(iterations, 7);
  }
}

TEST(MinsumKnown, ParametersAndCodesOutOfRangeAreRefused) {
  EXPECT_TRUE(minsum_params_error(offset(6, 1)).empty());
  EXPECT_NE(minsum_params_error(offset(0, 1)), "");
  EXPECT_NE(minsum_params_error(offset(128, 1)), "");
  EXPECT_NE(minsum_params_error(offset(6, -1)), "");
  EXPECT_NE(minsum_params_error(normalise(6, 5, 2)), "");  // 5/4 > 1
  EXPECT_NE(minsum_params_error(normalise(6, 1, 8)), "");
  EXPECT_NE(minsum_params_error(offset(6, 1, 0)), "");
  // A column of weight 256 would let a 16-bit bit sum saturate.
  std::vector<std::vector<int>> rows(256, std::vector<int>{0});
  std::vector<int> ir{0}, jc;
  for (const auto& row : rows) {
    jc.insert(jc.end(), row.begin(), row.end());
    ir.push_back(static_cast<int>(jc.size()));
  }
  MinsumCode code;
  std::string error;
  EXPECT_FALSE(make_minsum_code(2, 256, ir.data(), jc.data(), code, error));
  EXPECT_EQ(error, "column 1 has weight 256, beyond the 255 the min-sum decoders serve");
  std::string target_error;
  EXPECT_FALSE(minsum_force_target_by_name("no-such-target", target_error));
  EXPECT_NE(target_error.find("available: best"), std::string::npos);
  // Names in any case, and AVX-512 by the names users know it by.
  bool has_avx3 = false;
  for (std::int64_t t : minsum_available_targets()) {
    std::string upper = minsum_target_name(t);
    has_avx3 = has_avx3 || upper == "avx3";
    for (char& c : upper) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    EXPECT_TRUE(minsum_force_target_by_name(upper, target_error)) << target_error;
    EXPECT_EQ(minsum_current_target(), t) << upper;
  }
  for (const char* alias : {"avx512", "AVX-512"}) {
    EXPECT_EQ(minsum_force_target_by_name(alias, target_error), has_avx3) << alias;
    if (has_avx3) {
      EXPECT_EQ(minsum_target_name(minsum_current_target()), "avx3");
    }
  }
  minsum_force_target(0);
}

TEST(MinsumIdentity, ShippedMatrixAtSeveralCrossovers) {
  const MinsumCode code = shipped_code();
  std::vector<Block> blocks = draw_blocks(code, 70, 0.06, 1);
  for (const Block& b : draw_blocks(code, 40, 0.09, 2)) blocks.push_back(b);
  expect_identity(code, offset(6, 1), blocks, true);
  expect_identity(code, normalise(24, 3, 2), blocks);
  expect_identity(code, by_weight(16), blocks, true);
  expect_identity(code, sum_product(spa_channel_q(0.08)), blocks, true);
}

TEST(MinsumIdentity, RandomAndIrregularMatrices) {
  // Columns of weight 0, 1 and 2, rows of weight 0, 1 and 2 appear in the small codes.
  const ParityCheckMatrix h = test::random_matrix(120, 60, 5);
  MinsumCode regular;
  std::string error;
  ASSERT_TRUE(make_minsum_code(h.n, h.m, h.ir.data(), h.jc.data(), regular, error));
  expect_identity(regular, offset(8, 2), draw_blocks(regular, 50, 0.07, 3));
  for (std::uint64_t seed : {11u, 12u}) {
    const MinsumCode code = irregular_code(97, 41, 9, seed);
    expect_identity(code, offset(5, 1, 20), draw_blocks(code, 45, 0.05, seed));
    expect_identity(code, normalise(17, 7, 3, 20), draw_blocks(code, 45, 0.1, seed + 1));
    expect_identity(code, by_weight(16, 20), draw_blocks(code, 45, 0.08, seed + 2));
    expect_identity(code, sum_product(20, 20), draw_blocks(code, 45, 0.08, seed + 3));
  }
  const MinsumCode sparse = irregular_code(60, 45, 2, 13);  // weights 0..2 only, many short rows
  expect_identity(sparse, offset(6, 1), draw_blocks(sparse, 40, 0.08, 14));
  // A column met twice in one row (no reader lets such a file through, but the decoders
  // define it): every rule reads both inputs from before the row and keeps the later edge's.
  const MinsumCode twice = code_of(6, {{0, 1, 0, 2}, {2, 3, 4}, {4, 5, 5}, {1, 3, 5}});
  for (const MinsumParams& params : {offset(6, 1), by_weight(16), sum_product(20)})
    expect_identity(twice, params, draw_blocks(twice, 40, 0.15, 15));
}

TEST(MinsumIdentity, SaturationAtBothEnds) {
  // Q = 127 without correction drives messages and sums to both limits; heavy columns (up to
  // 40 ones) push flooding sums far beyond 8 bits; Q = 1 with offset 0 keeps magnitudes tiny.
  const MinsumCode heavy = irregular_code(80, 60, 40, 21);
  const std::vector<Block> blocks = draw_blocks(heavy, 40, 0.1, 22);
  expect_identity(heavy, normalise(127, 1, 0, 30), blocks);
  expect_identity(heavy, offset(127, 0, 30), blocks);
  expect_identity(heavy, offset(1, 0, 30), blocks);
  expect_identity(heavy, offset(3, 127, 10), blocks);  // every check magnitude corrected to 0
  expect_identity(heavy, normalise(1, 1, 7, 10), blocks);
  expect_identity(heavy, sum_product(127, 30), blocks);
  expect_identity(heavy, sum_product(1, 30), blocks);
  expect_identity(heavy, by_weight(127, 30), blocks);
}

TEST(MinsumIdentity, AllZeroSyndromesAndShortStreams) {
  const MinsumCode code = shipped_code();
  expect_identity(code, offset(6, 1), draw_blocks(code, 30, 0.06, 31, true));
  expect_identity(code, offset(6, 1), draw_blocks(code, 1, 0.06, 32));
  expect_identity(code, offset(6, 1), draw_blocks(code, 3, 0.08, 33));
  expect_identity(code, offset(6, 1), {});
}

}  // namespace
