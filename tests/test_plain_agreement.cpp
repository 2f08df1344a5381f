// The plain decoder against the adaptive one: on the same H (each row's and each column's
// entries ascending, so that every floating-point sum is formed in the same order), the same
// blocks and the same decisions on entry, the two compute the same quantities in the
// iterations they share. Wherever the adaptive decoder stops within its 50 iterations, the
// plain one must end in the same iteration with the same result and decisions.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <string>
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

// The row-major form of a column-major H, rows in ascending column order.
ParityCheckMatrix rows_of(const ColumnMatrix& h) {
  ParityCheckMatrix rows;
  rows.n = h.n;
  rows.m = h.m;
  std::vector<std::vector<int>> lists(h.m);
  for (int c = 0; c < h.n; ++c)
    for (int e = h.col_ptr[c]; e < h.col_ptr[c + 1]; ++e) lists[h.row_index[e]].push_back(c);
  rows.ir.push_back(0);
  for (const auto& list : lists) {
    rows.jc.insert(rows.jc.end(), list.begin(), list.end());
    rows.ir.push_back(static_cast<int>(rows.jc.size()));
  }
  return rows;
}

// Three distinct rows per column from a fixed linear congruential sequence, ascending.
ColumnMatrix random_code(int n, int m, unsigned seed) {
  ColumnMatrix h;
  h.n = n;
  h.m = m;
  h.col_ptr.push_back(0);
  for (int c = 0; c < n; ++c) {
    std::vector<int> rows;
    while (rows.size() < 3) {
      seed = seed * 1103515245u + 12345u;
      const int r = static_cast<int>((seed >> 8) % static_cast<unsigned>(m));
      if (std::find(rows.begin(), rows.end(), r) == rows.end()) rows.push_back(r);
    }
    std::sort(rows.begin(), rows.end());
    h.row_index.insert(h.row_index.end(), rows.begin(), rows.end());
    h.col_ptr.push_back(static_cast<int>(h.row_index.size()));
  }
  return h;
}

bool ascending(const std::vector<int>& pointers, const std::vector<int>& entries) {
  for (std::size_t i = 0; i + 1 < pointers.size(); ++i)
    for (int e = pointers[i] + 1; e < pointers[i + 1]; ++e)
      if (entries[e - 1] >= entries[e]) return false;
  return true;
}

// Both decoders over one H, with their own scratch arrays, and the tally of the comparison.
class Comparison {
 public:
  Comparison(const ParityCheckMatrix& rows, const ColumnMatrix& cols)
      : rows_(rows), cols_(cols),
        bytes_a_(byte_scratch_size(rows.edges(), rows.m)),
        bytes_p_(byte_scratch_size(cols.edges(), cols.m)),
        numbers_a_(number_scratch_size(rows.edges(), rows.n)),
        numbers_p_(number_scratch_size(cols.edges(), cols.n)) {}

  // Decodes one block with both decoders from the same x_hat; returns the adaptive
  // decoder's decisions (the experiment's x_hat for the next block).
  Bits compare(const Bits& y, const Bits& s, const Bits& entry, double p_src, double p_cross,
               const std::string& label) {
    Bits adaptive = entry, plain = entry;
    int it_a = -1, it_p = -1;
    const int res_a = decode_syndrome_adaptive_with(
        rows_.ir.data(), rows_.jc.data(), rows_.m, rows_.n, y.data(), s.data(), adaptive.data(),
        bytes_a_.data(), numbers_a_.data(), p_src, p_cross, nullptr, nullptr, &it_a);
    const int res_p = decode_syndrome(cols_.row_index.data(), cols_.col_ptr.data(), cols_.m,
                                      cols_.n, y.data(), s.data(), plain.data(), bytes_p_.data(),
                                      numbers_p_.data(), p_src, p_cross, &it_p);
    ++blocks;
    if (it_a < ADAPTIVE_MAX_ITERATIONS || res_a == 1) {
      EXPECT_EQ(res_p, res_a) << label;
      EXPECT_EQ(it_p, it_a) << label;
      EXPECT_TRUE(plain == adaptive) << label;
      if (res_p == res_a && it_p == it_a && plain == adaptive) ++agreed;
    } else {
      // The adaptive decoder ran out of iterations (or stalled in its last one): the plain
      // decoder shares those 50 iterations, so it ends no earlier.
      ++beyond;
      EXPECT_GE(it_p, ADAPTIVE_MAX_ITERATIONS) << label;
      if (it_p == ADAPTIVE_MAX_ITERATIONS) {
        EXPECT_TRUE(plain == adaptive) << label;
      }
      if (it_p > ADAPTIVE_MAX_ITERATIONS) ++plain_went_on;
      if (res_p == 1) ++plain_rescued;
    }
    return adaptive;
  }

  int blocks = 0, agreed = 0, beyond = 0, plain_went_on = 0, plain_rescued = 0;

 private:
  const ParityCheckMatrix& rows_;
  const ColumnMatrix& cols_;
  std::vector<std::int8_t> bytes_a_, bytes_p_;
  std::vector<double> numbers_a_, numbers_p_;
};

// Draws `count` blocks with the experiment's generator and compares the decoders on each,
// x_hat carried from block to block as the experiment carries it.
void compare_series(Comparison& cmp, const ColumnMatrix& cols, int count, double p_cross,
                    Bits& x_hat, const std::string& label) {
  Bits x(cols.n), y(cols.n), s(cols.m);
  for (int b = 0; b < count; ++b) {
    draw_block(x.data(), y.data(), cols.n, 0.5, p_cross);
    compute_syndrome_columns(cols.row_index.data(), cols.col_ptr.data(), cols.n, cols.m, x.data(),
                             s.data());
    x_hat = cmp.compare(y, s, x_hat, 0.5, p_cross, label + " block " + std::to_string(b));
  }
}

TEST(PlainAgreement, HandBuiltCodesOfSeveralShapes) {
  struct Shape {
    int n, m;
    unsigned seed;
    double p_cross;
  };
  int blocks = 0, agreed = 0, beyond = 0;
  for (const Shape& shape : {Shape{50, 31, 1, 0.03}, Shape{120, 84, 12345, 0.08},
                             Shape{200, 111, 77, 0.06}, Shape{97, 97, 5, 0.1}}) {
    const ColumnMatrix cols = random_code(shape.n, shape.m, shape.seed);
    const ParityCheckMatrix rows = rows_of(cols);
    Comparison cmp(rows, cols);
    Bits x_hat(cols.n, 0);
    crt_rand_reset();
    compare_series(cmp, cols, 60, shape.p_cross, x_hat, "n " + std::to_string(shape.n));
    blocks += cmp.blocks;
    agreed += cmp.agreed;
    beyond += cmp.beyond;
  }
  EXPECT_GT(agreed, 0);
  EXPECT_GT(beyond, 0);  // the limits are exercised too
  EXPECT_EQ(agreed + beyond, blocks);
}

// The oscillating code of the plain decoder's tests: the adaptive decoder gives up at 50,
// the plain one at 100.
TEST(PlainAgreement, IterationLimitsDiffer) {
  ColumnMatrix cols;
  cols.n = 4;
  cols.m = 2;
  cols.col_ptr = {0, 2, 3, 5, 5};
  cols.row_index = {0, 1, 0, 0, 1};
  const ParityCheckMatrix rows = rows_of(cols);
  Comparison cmp(rows, cols);
  cmp.compare({0, 1, 0, 0}, {1, 1}, {0, 0, 0, 0}, 0.5, 0.08, "oscillating");
  EXPECT_EQ(cmp.beyond, 1);
  EXPECT_EQ(cmp.plain_went_on, 1);
}

std::FILE* open_data(const char* name) {
  return std::fopen((std::string(LDPCSW_DATA_DIR) + "/" + name).c_str(), "r");
}

// The shipped matrix from its two files: the experiment's 200 blocks, the next 800, and
// 400 blocks each through noisier channels, where more of them run long or fail.
TEST(PlainAgreement, ShippedMatrixOnTheExperimentsBlocks) {
  ParityCheckMatrix rows;
  ColumnMatrix cols;
  std::string error;
  std::FILE* f = open_data("Reg504252.dat");
  ASSERT_NE(f, nullptr) << "data/Reg504252.dat is missing";
  ASSERT_TRUE(read_code_rows(f, rows, error)) << error;
  std::fclose(f);
  f = open_data("Reg504252.alist");
  ASSERT_NE(f, nullptr) << "data/Reg504252.alist is missing";
  ASSERT_TRUE(read_code_alist(f, cols, error)) << error;
  std::fclose(f);

  ASSERT_EQ(cols.n, rows.n);
  ASSERT_EQ(cols.m, rows.m);
  ASSERT_TRUE(ascending(rows.ir, rows.jc)) << "rows of the row-list file are not ascending";
  ASSERT_TRUE(ascending(cols.col_ptr, cols.row_index)) << "columns of the alist are not ascending";
  const ParityCheckMatrix transposed = rows_of(cols);
  ASSERT_EQ(transposed.ir, rows.ir) << "the two files hold different matrices";
  ASSERT_EQ(transposed.jc, rows.jc) << "the two files hold different matrices";

  Comparison cmp(rows, cols);
  Bits x_hat(cols.n, 0);
  crt_rand_reset();
  compare_series(cmp, cols, 200, 0.08, x_hat, "experiment");
  const int experiment_agreed = cmp.agreed, experiment_beyond = cmp.beyond;
  compare_series(cmp, cols, 800, 0.08, x_hat, "0.08");
  compare_series(cmp, cols, 400, 0.09, x_hat, "0.09");
  compare_series(cmp, cols, 400, 0.10, x_hat, "0.10");

  std::cout << "experiment's 200 blocks: " << experiment_agreed << " agreed, " << experiment_beyond
            << " ran the adaptive decoder's 50 iterations\n"
            << "all " << cmp.blocks << " blocks: " << cmp.agreed << " agreed, " << cmp.beyond
            << " ran 50 adaptive iterations (the plain decoder went on in " << cmp.plain_went_on
            << " and converged in " << cmp.plain_rescued << ")" << std::endl;
  RecordProperty("experiment_agreed", experiment_agreed);
  RecordProperty("agreed", cmp.agreed);
  RecordProperty("blocks", cmp.blocks);
  EXPECT_EQ(cmp.agreed + cmp.beyond, cmp.blocks);
  EXPECT_GT(experiment_agreed, 100);
}

}  // namespace
}  // namespace ldpcsw
