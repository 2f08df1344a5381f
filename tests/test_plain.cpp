// The plain decoder on small hand-built matrices whose behaviour can be worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
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

// One decode call with scratch arrays of exactly the documented sizes, filled with `fill`.
Outcome decode(const ColumnMatrix& h, const Bits& y, const Bits& s, Bits x_hat,
               double p_src = 0.5, double p_cross = 0.08,
               double fill = std::numeric_limits<double>::quiet_NaN()) {
  std::vector<std::int8_t> byte_scratch(byte_scratch_size(h.edges(), h.m), 0x55);
  std::vector<double> number_scratch(number_scratch_size(h.edges(), h.n), fill);
  Outcome out;
  out.result = decode_syndrome(h.row_index.data(), h.col_ptr.data(), h.m, h.n, y.data(),
                               s.data(), x_hat.data(), byte_scratch.data(), number_scratch.data(),
                               p_src, p_cross, &out.iterations);
  out.x_hat = std::move(x_hat);
  return out;
}

const std::vector<std::string> HAMMING = {"1010101", "0110011", "0001111"};

// Without noise every check's parity cancels, so no message opposes y: the first iteration
// decides y, which satisfies the syndrome, and the call ends there, whatever x_hat held.
TEST(PlainDecoder, NoiselessBlockDecodesInFirstIteration) {
  const ColumnMatrix h = columns_of(HAMMING);
  for (int word = 0; word < 128; ++word) {
    Bits x(7);
    for (int j = 0; j < 7; ++j) x[j] = static_cast<std::int8_t>((word >> j) & 1);
    const Bits s = syndrome(h, x);
    Bits flipped = x;
    for (auto& b : flipped) b ^= 1;
    Bits one_off = x;
    one_off[word % 7] ^= 1;
    for (const Bits& entry : {flipped, one_off}) {
      const Outcome out = decode(h, x, s, entry);
      EXPECT_EQ(out.result, 1) << "word " << word;
      EXPECT_EQ(out.iterations, 1) << "word " << word;
      EXPECT_EQ(out.x_hat, x) << "word " << word;
    }
  }
}

// One check over three bits, all received as 0, syndrome 1. Each bit's single check message
// is weaker than its channel LLR and every bit-to-check message is the channel LLR again, so
// the decisions are 000 in every iteration and never satisfy the syndrome.
TEST(PlainDecoder, StallRuleCountsFiveIterationsWithoutChange) {
  const ColumnMatrix h = columns_of({"111"});
  const Bits y = bits("000");

  // A change in iteration 1 only: iterations 2..5 raise the stall count to 4, the 6th ends it.
  Outcome out = decode(h, y, bits("1"), bits("100"));
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.iterations, 6);
  EXPECT_EQ(out.x_hat, bits("000"));

  // No change from the start: the 5th iteration ends the call.
  out = decode(h, y, bits("1"), bits("000"));
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.iterations, 5);
  EXPECT_EQ(out.x_hat, bits("000"));

  // Decisions that satisfy the syndrome but equal x_hat on entry are never tested: result 0
  // in the 5th iteration, x_hat unchanged.
  out = decode(h, y, bits("0"), bits("000"));
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.iterations, 5);
  EXPECT_EQ(out.x_hat, bits("000"));
}

// Bits 0 and 2 have the same column, so their decisions are always equal, while the second
// check asks them to differ: no decision satisfies the syndrome. The decisions swing between
// 0100 and 1110 every other iteration, so the stall count never reaches 4 and the call runs
// to its limit.
TEST(PlainDecoder, OscillatingDecisionsRunExactlyHundredIterations) {
  const ColumnMatrix h = columns_of({"1110", "1010"});
  const Outcome out = decode(h, bits("0100"), bits("11"), bits("0000"));
  EXPECT_EQ(out.result, 0);
  EXPECT_EQ(out.iterations, PLAIN_MAX_ITERATIONS);
  EXPECT_EQ(PLAIN_MAX_ITERATIONS, 100);
  EXPECT_EQ(out.x_hat[0], out.x_hat[2]);
  EXPECT_EQ(syndrome(h, out.x_hat) == bits("11"), false);
}

// A bit in no check keeps its channel LLR plus the source prior as its a-posteriori LLR.
TEST(PlainDecoder, BitWithoutEdgesFollowsChannelAndPrior) {
  const ColumnMatrix h = columns_of({"1101", "0101", "1001"});
  ASSERT_EQ(h.col_ptr[2], h.col_ptr[3]);

  // Equiprobable source: the decision is y, and the rest of the block still converges.
  for (std::int8_t bit : {0, 1}) {
    Bits x = bits("1001");
    x[2] = bit;
    Bits entry = x;
    for (auto& b : entry) b ^= 1;
    const Outcome out = decode(h, x, syndrome(h, x), entry);
    EXPECT_EQ(out.result, 1);
    EXPECT_EQ(out.iterations, 1);
    EXPECT_EQ(out.x_hat, x);
  }

  // A strong prior outweighs the channel: ln(0.01 / 0.99) = -4.6 against +-2.44.
  struct Case {
    std::int8_t y;
    double p_src;
    std::int8_t decision;
  };
  for (const Case& c : {Case{0, 0.99, 1}, Case{1, 0.01, 0}, Case{0, 0.6, 0}, Case{1, 0.4, 1}}) {
    Bits y = bits("0000");
    y[2] = c.y;
    const Outcome out = decode(h, y, bits("000"), bits("1111"), c.p_src);
    EXPECT_EQ(out.x_hat[2], c.decision) << "y " << int(c.y) << ", p_src " << c.p_src;
  }
}

// A code large enough for real decoding work: three distinct rows per column, chosen by a
// fixed linear congruential sequence, each column's rows ascending.
ColumnMatrix random_code(int n, int m, unsigned seed) {
  ColumnMatrix h;
  h.n = n;
  h.m = m;
  h.col_ptr.push_back(0);
  auto next_row = [&seed, m] {
    seed = seed * 1103515245u + 12345u;
    return static_cast<int>((seed >> 8) % static_cast<unsigned>(m));
  };
  for (int c = 0; c < n; ++c) {
    int rows[3];
    for (int a = 0; a < 3; ++a) {
      bool repeated;
      do {
        rows[a] = next_row();
        repeated = false;
        for (int b = 0; b < a; ++b) repeated = repeated || rows[b] == rows[a];
      } while (repeated);
    }
    std::sort(rows, rows + 3);
    h.row_index.insert(h.row_index.end(), rows, rows + 3);
    h.col_ptr.push_back(static_cast<int>(h.row_index.size()));
  }
  return h;
}

// Decodes `blocks` blocks of the experiment's kind (drawn with a private generator so that
// threads need no shared state), x_hat carried from block to block.
std::vector<Outcome> decode_series(const ColumnMatrix& h, int blocks, unsigned seed, double fill) {
  std::vector<Outcome> outcomes;
  Bits x_hat(h.n, 0);
  unsigned state = seed;
  auto next = [&state] {
    state = state * 214013u + 2531011u;
    return static_cast<int>((state >> 16) & 0x7FFF);
  };
  for (int b = 0; b < blocks; ++b) {
    Bits x(h.n), y(h.n);
    for (int j = 0; j < h.n; ++j) {
      x[j] = 16383.5 > next() ? 1 : 0;
      y[j] = static_cast<std::int8_t>(x[j] ^ (32767.0 * 0.08 > next() ? 1 : 0));
    }
    Outcome out = decode(h, y, syndrome(h, x), x_hat, 0.5, 0.08, fill);
    x_hat = out.x_hat;
    outcomes.push_back(std::move(out));
  }
  return outcomes;
}

bool same(const std::vector<Outcome>& a, const std::vector<Outcome>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (a[i].result != b[i].result || a[i].iterations != b[i].iterations ||
        a[i].x_hat != b[i].x_hat)
      return false;
  return true;
}

// The scratch arrays' content on entry is ignored, and concurrent calls on separate scratch
// arrays do not disturb each other: all state lives in the arguments.
TEST(PlainDecoder, IgnoresScratchContentAndIsReentrant) {
  const ColumnMatrix h = random_code(120, 84, 12345);
  const std::vector<Outcome> reference = decode_series(h, 40, 11, 0.0);
  int converged = 0;
  for (const Outcome& o : reference) converged += o.result;
  EXPECT_GT(converged, 0);
  EXPECT_LT(converged, 40);  // both kinds of ending are exercised

  EXPECT_TRUE(same(decode_series(h, 40, 11, std::numeric_limits<double>::quiet_NaN()), reference));
  EXPECT_TRUE(same(decode_series(h, 40, 11, -1e300), reference));

  std::vector<std::vector<Outcome>> results(4);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] { results[t] = decode_series(h, 40, 11 + (t % 2) * 1000, 0.0); });
  for (auto& th : threads) th.join();
  const std::vector<Outcome> other = decode_series(h, 40, 1011, 0.0);
  for (int t = 0; t < 4; ++t) EXPECT_TRUE(same(results[t], t % 2 ? other : reference)) << t;
}

}  // namespace
}  // namespace ldpcsw
