// The plain decoder on small hand-built matrices whose behaviour can be worked out by hand.
// Every call gets scratch arrays of exactly the documented sizes, filled with garbage (NaN
// and 0x55 bytes), since their content on entry must not matter.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "code/alist.h"
#include "code/blocks.h"
#include "decode/plain.h"
#include "decode/scratch.h"

namespace ldpcsw {
namespace {

using Bits = std::vector<std::int8_t>;

// Column-major H from its rows written as strings of '0' and '1'; each column's rows ascending.
ColumnMatrix columns_of(const std::vector<std::string>& rows) {
  ColumnMatrix h;
  h.m = static_cast<int>(rows.size());
  h.n = static_cast<int>(rows[0].size());
  h.col_ptr.push_back(0);
  for (int c = 0; c < h.n; ++c) {
    for (int r = 0; r < h.m; ++r)
      if (rows[r][c] == '1') h.row_index.push_back(r);
    h.col_ptr.push_back(static_cast<int>(h.row_index.size()));
  }
  return h;
}

Bits bits(const std::string& text) {
  Bits b;
  for (char ch : text) b.push_back(static_cast<std::int8_t>(ch - '0'));
  return b;
}

Bits syndrome(const ColumnMatrix& h, const Bits& x) {
  Bits s(h.m);
  compute_syndrome_columns(h.row_index.data(), h.col_ptr.data(), h.n, h.m, x.data(), s.data());
  return s;
}

struct Outcome {
  int result = -1;
  int iterations = -1;
  Bits x_hat;
};

Outcome decode(const ColumnMatrix& h, const Bits& y, const Bits& s, Bits x_hat,
               double p_src = 0.5) {
  std::vector<std::int8_t> bytes(byte_scratch_size(h.edges(), h.m), 0x55);
  std::vector<double> numbers(number_scratch_size(h.edges(), h.n),
                              std::numeric_limits<double>::quiet_NaN());
  Outcome out;
  out.result = decode_syndrome(h.row_index.data(), h.col_ptr.data(), h.m, h.n, y.data(),
                               s.data(), x_hat.data(), bytes.data(), numbers.data(), p_src, 0.08,
                               &out.iterations);
  out.x_hat = std::move(x_hat);
  return out;
}

// Without noise every check's parity cancels, so no message opposes y: the first iteration
// decides y, which satisfies the syndrome, and the call ends there, whatever x_hat held.
TEST(PlainDecoder, NoiselessBlockDecodesInFirstIteration) {
  const ColumnMatrix h = columns_of({"1010101", "0110011", "0001111"});
  for (int word = 0; word < 128; ++word) {
    Bits x(7);
    for (int j = 0; j < 7; ++j) x[j] = static_cast<std::int8_t>((word >> j) & 1);
    Bits flipped = x, one_off = x;
    for (auto& b : flipped) b ^= 1;
    one_off[word % 7] ^= 1;
    for (const Bits& entry : {flipped, one_off}) {
      const Outcome out = decode(h, x, syndrome(h, x), entry);
      EXPECT_EQ(out.result, 1) << "word " << word;
      EXPECT_EQ(out.iterations, 1) << "word " << word;
      EXPECT_EQ(out.x_hat, x) << "word " << word;
    }
  }
}

// One check over three bits, all received as 0. Each bit's check message is weaker than its
// channel LLR and every bit-to-check message is the channel LLR again, so the decisions are
// 000 in every iteration.
TEST(PlainDecoder, StallRuleCountsFiveIterationsWithoutChange) {
  struct Case {
    const char* s;
    const char* entry;
    int iterations;
  };
  const Case cases[] = {
      {"1", "100", 6},  // a change in iteration 1 only: 2..5 raise the stall count, 6 ends it
      {"1", "000", 5},  // no change from the start
      {"0", "000", 5},  // decisions satisfy s but never changed, so s is never tested
  };
  const ColumnMatrix h = columns_of({"111"});
  for (const Case& c : cases) {
    const Outcome out = decode(h, bits("000"), bits(c.s), bits(c.entry));
    EXPECT_EQ(out.result, 0) << c.s << " " << c.entry;
    EXPECT_EQ(out.iterations, c.iterations) << c.s << " " << c.entry;
    EXPECT_EQ(out.x_hat, bits("000")) << c.s << " " << c.entry;
  }
}

// Bits 0 and 2 have the same column, so their decisions are always equal, while the second
// check asks them to differ: no decision satisfies the syndrome. The decisions swing between
// 0100 and 1110 every other iteration, so the stall count never reaches 4.
TEST(PlainDecoder, OscillatingDecisionsRunExactlyHundredIterations) {
  const Outcome out = decode(columns_of({"1110", "1010"}), bits("0100"), bits("11"), bits("0000"));
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.iterations, 100);
}

// A bit in no check keeps its channel LLR plus the source prior as its a-posteriori LLR.
TEST(PlainDecoder, BitWithoutEdgesFollowsChannelAndPrior) {
  const ColumnMatrix h = columns_of({"1101", "0101", "1001"});
  // Equiprobable source: the decision is y, and the rest of the block still converges.
  for (const char* x : {"1001", "1011"}) {
    const Outcome out = decode(h, bits(x), syndrome(h, bits(x)), bits("0110"));
    EXPECT_EQ(out.result, 1) << x;
    EXPECT_EQ(out.x_hat, bits(x));
  }
  // A strong prior outweighs the channel: ln(0.01 / 0.99) = -4.6 against +-2.44.
  EXPECT_EQ(decode(h, bits("0000"), bits("000"), bits("1111"), 0.99).x_hat[2], 1);
  EXPECT_EQ(decode(h, bits("0010"), bits("000"), bits("1111"), 0.01).x_hat[2], 0);
  EXPECT_EQ(decode(h, bits("0010"), bits("000"), bits("1111"), 0.4).x_hat[2], 1);
}

}  // namespace
}  // namespace ldpcsw
