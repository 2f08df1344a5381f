// The plain decoder on the shipped matrix, against the adaptive one. On the same H (each
// row's and each column's entries ascending, so that every floating-point sum is formed in
// the same order), the same blocks and the same decisions on entry, the two compute the same
// quantities in the iterations they share: wherever the adaptive decoder stops within its 50
// iterations, the plain one must end in the same iteration with the same result and decisions.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
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

struct Call {
  int result, iterations;
  Bits x_hat;
  bool operator==(const Call&) const = default;
};

Call plain(const ColumnMatrix& h, const Bits& y, const Bits& s, Bits x_hat) {
  Bits bytes(byte_scratch_size(h.edges(), h.m));
  std::vector<double> numbers(number_scratch_size(h.edges(), h.n));
  int iterations = -1;
  const int result = decode_syndrome(h.row_index.data(), h.col_ptr.data(), h.m, h.n, y.data(),
                                     s.data(), x_hat.data(), bytes.data(), numbers.data(), 0.5,
                                     0.08, &iterations);
  return {result, iterations, std::move(x_hat)};
}

Call adaptive(const ParityCheckMatrix& h, const Bits& y, const Bits& s, Bits x_hat) {
  Bits bytes(byte_scratch_size(h.edges(), h.m));
  std::vector<double> numbers(number_scratch_size(h.edges(), h.n));
  int iterations = -1;
  const int result = decode_syndrome_adaptive_with(
      h.ir.data(), h.jc.data(), h.m, h.n, y.data(), s.data(), x_hat.data(), bytes.data(),
      numbers.data(), 0.5, 0.08, nullptr, nullptr, &iterations);
  return {result, iterations, std::move(x_hat)};
}

// The experiment's blocks: its generator from the start, crossover 0.08.
void draw_blocks(const ColumnMatrix& h, int count, std::vector<Bits>& x, std::vector<Bits>& y,
                 std::vector<Bits>& s) {
  crt_rand_reset();
  for (int b = 0; b < count; ++b) {
    x.emplace_back(h.n);
    y.emplace_back(h.n);
    s.emplace_back(h.m);
    draw_block(x[b].data(), y[b].data(), h.n, 0.5, 0.08);
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
