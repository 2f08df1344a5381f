// The plain decoder on the shipped matrix, against the adaptive one. On the same H (each
// row's and each column's entries ascending, so that every floating-point sum is formed in
// the same order), the same blocks and the same decisions on entry, the two compute the same
// quantities in the iterations they share: wherever the adaptive decoder stops within its 50
// iterations, the plain one must end in the same iteration with the same result, decisions and
// a-posteriori values, bit for bit.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "code/alist.h"
#include "code/blocks.h"
#include "code/matrix.h"
#include "decode/adaptive.h"
#include "decode/plain.h"
#include "decode/scratch.h"
#include "platform/crt.h"

namespace ldpcsw {
namespace {

using Bits = std::vector<std::int8_t>;

struct Shipped {
  ParityCheckMatrix rows;
  ColumnMatrix cols;
};

void load(Shipped& h) {
  std::string error;
  std::FILE* f = std::fopen(LDPCSW_DATA_DIR "/Reg504252.dat", "r");
  ASSERT_NE(f, nullptr) << "data/Reg504252.dat is missing";
  ASSERT_TRUE(read_code_rows(f, h.rows, error)) << error;
  std::fclose(f);
  f = std::fopen(LDPCSW_DATA_DIR "/Reg504252.alist", "r");
  ASSERT_NE(f, nullptr) << "data/Reg504252.alist is missing";
  ASSERT_TRUE(read_code_alist(f, h.cols, error)) << error;
  std::fclose(f);
}

// The row-major form of a column-major H, each row's columns ascending.
ParityCheckMatrix rows_of(const ColumnMatrix& h) {
  std::vector<std::vector<int>> lists(h.m);
  for (int c = 0; c < h.n; ++c)
    for (int e = h.col_ptr[c]; e < h.col_ptr[c + 1]; ++e) lists[h.row_index[e]].push_back(c);
  ParityCheckMatrix rows{h.n, h.m, {0}, {}};
  for (const auto& list : lists) {
    rows.jc.insert(rows.jc.end(), list.begin(), list.end());
    rows.ir.push_back(static_cast<int>(rows.jc.size()));
  }
  return rows;
}

bool ascending(const std::vector<int>& pointers, const std::vector<int>& entries) {
  for (std::size_t i = 0; i + 1 < pointers.size(); ++i)
    for (int e = pointers[i] + 1; e < pointers[i + 1]; ++e)
      if (entries[e - 1] >= entries[e]) return false;
  return true;
}

// A call's result, iterations and decisions, and the values both decoders leave in their
// number scratch at the same places (decode/scratch.h): the n channel LLRs and the n
// a-posteriori LLRs of the last iteration.
struct Call {
  int result, iterations;
  Bits x_hat;
  std::vector<double> channel, posterior;
  bool operator==(const Call& o) const {
    return result == o.result && iterations == o.iterations && x_hat == o.x_hat &&
           same_bits(channel, o.channel) && same_bits(posterior, o.posterior);
  }
  // Bit for bit: +0 and -0 differ, a NaN equals the same NaN.
  static bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
  }
};

Call finish(int result, int iterations, Bits x_hat, const std::vector<double>& numbers, int n,
            int edges) {
  return {result, iterations, std::move(x_hat),
          std::vector<double>(numbers.begin(), numbers.begin() + n),
          std::vector<double>(numbers.begin() + n + edges, numbers.begin() + n + edges + n)};
}

Call plain(const ColumnMatrix& h, const Bits& y, const Bits& s, Bits x_hat, double p_src = 0.5,
           double p_cross = 0.08) {
  Bits bytes(byte_scratch_size(h.edges(), h.m));
  std::vector<double> numbers(number_scratch_size(h.edges(), h.n));
  int iterations = -1;
  const int result = decode_syndrome(h.row_index.data(), h.col_ptr.data(), h.m, h.n, y.data(),
                                     s.data(), x_hat.data(), bytes.data(), numbers.data(), p_src,
                                     p_cross, &iterations);
  return finish(result, iterations, std::move(x_hat), numbers, h.n, h.edges());
}

Call adaptive(const ParityCheckMatrix& h, const Bits& y, const Bits& s, Bits x_hat,
              double p_src = 0.5, double p_cross = 0.08) {
  Bits bytes(byte_scratch_size(h.edges(), h.m));
  std::vector<double> numbers(number_scratch_size(h.edges(), h.n));
  int iterations = -1;
  const int result = decode_syndrome_adaptive_with(
      h.ir.data(), h.jc.data(), h.m, h.n, y.data(), s.data(), x_hat.data(), bytes.data(),
      numbers.data(), p_src, p_cross, nullptr, nullptr, &iterations);
  return finish(result, iterations, std::move(x_hat), numbers, h.n, h.edges());
}

// The experiment's blocks: its generator from the start, crossover 0.08.
void draw_blocks(const ColumnMatrix& h, int count, std::vector<Bits>& x, std::vector<Bits>& y,
                 std::vector<Bits>& s, double p_src = 0.5, double p_cross = 0.08) {
  crt_rand_reset();
  for (int b = 0; b < count; ++b) {
    x.emplace_back(h.n);
    y.emplace_back(h.n);
    s.emplace_back(h.m);
    draw_block(x[b].data(), y[b].data(), h.n, p_src, p_cross);
    compute_syndrome_columns(h.row_index.data(), h.col_ptr.data(), h.n, h.m, x[b].data(),
                             s[b].data());
  }
}

// The experiment's 200 blocks and the 1000 that follow, x_hat carried from block to block
// as the experiment carries it (both decoders start each block from the adaptive one's).
TEST(PlainAgreement, ShippedMatrixOnTheExperimentsBlocks) {
  Shipped h;
  ASSERT_NO_FATAL_FAILURE(load(h));
  ASSERT_TRUE(ascending(h.rows.ir, h.rows.jc)) << "rows of the row-list file are not ascending";
  ASSERT_TRUE(ascending(h.cols.col_ptr, h.cols.row_index)) << "alist columns are not ascending";
  const ParityCheckMatrix transposed = rows_of(h.cols);
  ASSERT_TRUE(transposed.ir == h.rows.ir && transposed.jc == h.rows.jc)
      << "the two files hold different matrices";

  std::vector<Bits> x, y, s;
  draw_blocks(h.cols, 1200, x, y, s);
  Bits x_hat(h.cols.n, 0);
  int agreed = 0, agreed_in_experiment = 0, plain_went_on = 0;
  for (int b = 0; b < 1200; ++b) {
    const Call a = adaptive(h.rows, y[b], s[b], x_hat);
    const Call p = plain(h.cols, y[b], s[b], x_hat);
    if (a.iterations < ADAPTIVE_MAX_ITERATIONS || a.result == 1) {
      EXPECT_TRUE(p == a) << "block " << b;
      agreed += p == a;
      agreed_in_experiment += p == a && b < 200;
    } else {
      // The adaptive decoder used all its iterations: the plain one ends no earlier.
      EXPECT_GE(p.iterations, ADAPTIVE_MAX_ITERATIONS) << "block " << b;
      plain_went_on += p.iterations > ADAPTIVE_MAX_ITERATIONS;
    }
    x_hat = a.x_hat;
  }
  std::cout << "blocks where the adaptive decoder stopped within 50 iterations and the plain one "
               "agreed: "
            << agreed_in_experiment << " of the experiment's 200, " << agreed << " of all 1200; "
            << "the plain decoder went past 50 iterations on " << plain_went_on << std::endl;
  RecordProperty("agreed_of_200", agreed_in_experiment);
  RecordProperty("agreed_of_1200", agreed);
  EXPECT_GT(agreed_in_experiment, 100);
  EXPECT_GT(plain_went_on, 0);
}

// A source prior other than 1/2 enters both decoders' channel LLRs the same way, and an
// a-posteriori LLR of exactly zero decides 0 in both.
TEST(PlainAgreement, SkewedPriorAndExactZerosAgreeBitForBit) {
  Shipped h;
  ASSERT_NO_FATAL_FAILURE(load(h));
  std::vector<Bits> x, y, s;
  draw_blocks(h.cols, 60, x, y, s, 0.3, 0.09);
  int compared = 0;
  for (int b = 0; b < 60; ++b) {
    const Bits start(h.cols.n, 0);
    const Call a = adaptive(h.rows, y[b], s[b], start, 0.3, 0.09);
    const Call p = plain(h.cols, y[b], s[b], start, 0.3, 0.09);
    if (a.iterations < ADAPTIVE_MAX_ITERATIONS || a.result == 1) {
      EXPECT_TRUE(p == a) << "block " << b;
      ++compared;
    }
  }
  EXPECT_GT(compared, 30);

  // Crossover 1/2 and prior 1/2: every LLR is exactly 0, so every bit decides 0; from all
  // ones, the first iteration changes every bit and meets the zero syndrome.
  const Bits ones(h.cols.n, 1), zeros(h.cols.n, 0), zero_syndrome(h.cols.m, 0);
  const Call a = adaptive(h.rows, ones, zero_syndrome, ones, 0.5, 0.5);
  const Call p = plain(h.cols, ones, zero_syndrome, ones, 0.5, 0.5);
  EXPECT_EQ(a.result, 1);
  EXPECT_EQ(a.iterations, 1);
  EXPECT_EQ(a.x_hat, zeros);
  EXPECT_TRUE(p == a);
}

// All state lives in the arguments: threads decoding at once give the results of one thread.
TEST(PlainAgreement, ConcurrentCallsDoNotInterfere) {
  Shipped h;
  ASSERT_NO_FATAL_FAILURE(load(h));
  std::vector<Bits> x, y, s;
  draw_blocks(h.cols, 100, x, y, s);
  auto decode_all = [&] {
    std::vector<Call> calls;
    for (int b = 0; b < 100; ++b) calls.push_back(plain(h.cols, y[b], s[b], Bits(h.cols.n, 0)));
    return calls;
  };
  const std::vector<Call> alone = decode_all();
  std::vector<std::vector<Call>> together(3);
  std::vector<std::thread> threads;
  for (auto& result : together) threads.emplace_back([&] { result = decode_all(); });
  for (auto& t : threads) t.join();
  for (const auto& result : together) EXPECT_TRUE(result == alone);
}

}  // namespace
}  // namespace ldpcsw
