// Matrix construction and the graph properties the tool reports: weights, repeats, girth.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <string>
#include <vector>

#include "code/convert.h"
#include "code/peg.h"

using namespace ldpcsw;

namespace {

// Builds the row-major form from a list of rows (0-based columns).
ParityCheckMatrix from_rows(int n, const std::vector<std::vector<int>>& rows) {
  ParityCheckMatrix h;
  h.n = n;
  h.m = static_cast<int>(rows.size());
  h.ir.push_back(0);
  for (const auto& row : rows) {
    h.jc.insert(h.jc.end(), row.begin(), row.end());
    h.ir.push_back(static_cast<int>(h.jc.size()));
  }
  return h;
}

// Every column has exactly `weight` distinct rows, rows hold floor or ceil of the average,
// and each row lists its columns in ascending order.
void expect_balanced(const ParityCheckMatrix& h, int weight) {
  const ColumnMatrix columns = code_columns_of(h);
  for (int c = 0; c < h.n; ++c) ASSERT_EQ(columns.col_ptr[c + 1] - columns.col_ptr[c], weight);
  int row = 0, column = 0;
  EXPECT_FALSE(code_find_repeat(h, row, column)) << "row " << row << " column " << column;
  const CodeWeights w = code_weights(h);
  EXPECT_EQ(w.max_row, code_row_weight_cap(h.n, h.m, weight));
  EXPECT_LE(w.max_row - w.min_row, 1);
  for (int r = 0; r < h.m; ++r)
    for (int e = h.ir[r] + 1; e < h.ir[r + 1]; ++e) ASSERT_LT(h.jc[e - 1], h.jc[e]);
}

bool same(const ParityCheckMatrix& a, const ParityCheckMatrix& b) {
  return a.n == b.n && a.m == b.m && a.ir == b.ir && a.jc == b.jc;
}

}  // namespace

TEST(CodeGirth, HandBuiltGraphs) {
  // Two columns sharing two rows: a 4-cycle.
  EXPECT_EQ(code_girth(from_rows(3, {{0, 1}, {0, 1, 2}}), 0), 4);
  // Three columns, three rows, each column in two rows around a ring: one 6-cycle.
  const ParityCheckMatrix ring = from_rows(3, {{0, 1}, {1, 2}, {2, 0}});
  EXPECT_EQ(code_girth(ring, 0), 6);
  EXPECT_EQ(code_girth(ring, 4), 0);  // beyond the bound: not searched
  EXPECT_EQ(code_girth(ring, 6), 6);
  // A tree (a path through three rows) has no cycle; a repeated entry does not make one.
  EXPECT_EQ(code_girth(from_rows(4, {{0, 1}, {1, 2}, {2, 3, 3}}), 0), 0);
  // A ring of four columns and four rows is an 8-cycle; a fifth column sharing two of its
  // rows with column 3 closes a 4-cycle.
  EXPECT_EQ(code_girth(from_rows(5, {{0, 1}, {1, 2}, {2, 3, 4}, {3, 0, 4}}), 0), 4);
  EXPECT_EQ(code_girth(from_rows(4, {{0, 1}, {1, 2}, {2, 3}, {3, 0}}), 0), 8);
  // A graph with more nodes than an int numbers is not searched (its node numbers would
  // overflow): -1, at once and without allocating for its columns.
  ParityCheckMatrix huge = from_rows(4, {{0, 1}, {1, 2}});
  huge.n = 2147483647;
  EXPECT_EQ(code_girth(huge, 0), -1);
}

TEST(CodeConvert, RowsAndColumnsRoundTripWithSortedLists) {
  const ParityCheckMatrix h = from_rows(5, {{4, 0, 2}, {}, {1, 4}, {3}});
  const ColumnMatrix columns = code_columns_of(h);
  EXPECT_EQ(columns.col_ptr, (std::vector<int>{0, 1, 2, 3, 4, 6}));
  EXPECT_EQ(columns.row_index, (std::vector<int>{0, 2, 0, 3, 0, 2}));
  const ParityCheckMatrix back = code_rows_of(columns);
  EXPECT_EQ(back.ir, h.ir);
  EXPECT_EQ(back.jc, (std::vector<int>{0, 2, 4, 1, 4, 3}));
}

TEST(BuildPegCode, RegularWithoutFourCyclesAndDeterministic) {
  ParityCheckMatrix a, b, c;
  std::string error;
  ASSERT_TRUE(build_peg_code(504, 252, 3, 8, a, error)) << error;
  ASSERT_TRUE(build_peg_code(504, 252, 3, 8, b, error)) << error;
  ASSERT_TRUE(build_peg_code(504, 252, 3, 9, c, error)) << error;
  expect_balanced(a, 3);
  for (int r = 0; r < 252; ++r) ASSERT_EQ(a.ir[r + 1] - a.ir[r], 6);
  EXPECT_EQ(code_girth(a, 0), 8);
  EXPECT_TRUE(same(a, b));
  EXPECT_FALSE(same(a, c));
}

TEST(BuildPegCode, LastColumnsCloseNoFourCycles) {
  // Seeds whose last columns, with few rows left open, used to close 4-cycles.
  ParityCheckMatrix h;
  std::string error;
  for (std::uint64_t seed : {2, 5, 16, 30}) {
    ASSERT_TRUE(build_peg_code(504, 252, 3, seed, h, error)) << error;
    expect_balanced(h, 3);
    EXPECT_EQ(code_girth(h, 0), 8) << "seed " << seed;
  }
  for (std::uint64_t seed = 1; seed <= 10; ++seed) {
    ASSERT_TRUE(build_peg_code(96, 48, 3, seed, h, error)) << error;
    expect_balanced(h, 3);
    EXPECT_GE(code_girth(h, 0), 6) << "seed " << seed;
  }
}

TEST(BuildPegCode, UnevenTotalsAndOtherWeights) {
  ParityCheckMatrix h;
  std::string error;
  // 101 * 3 = 303 ones over 40 rows: weights 7 and 8.
  ASSERT_TRUE(build_peg_code(101, 40, 3, 1, h, error)) << error;
  expect_balanced(h, 3);
  EXPECT_GE(code_girth(h, 0), 6);
  ASSERT_TRUE(build_peg_code(200, 50, 4, 1, h, error)) << error;
  expect_balanced(h, 4);
  // A column weight equal to m joins every column to every row.
  ASSERT_TRUE(build_peg_code(5, 3, 3, 1, h, error)) << error;
  expect_balanced(h, 3);
}

TEST(BuildRandomCode, BalancedWithoutRepeatsDeterministicAndFast) {
  ParityCheckMatrix a, b;
  std::string error;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_TRUE(build_random_code(1000000, 500000, 3, 1, a, error)) << error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  expect_balanced(a, 3);
  ASSERT_TRUE(build_random_code(1000000, 500000, 3, 1, b, error)) << error;
  EXPECT_TRUE(same(a, b));
  // Few rows: repeats in the dealt sockets are common and must all be swapped away.
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    ASSERT_TRUE(build_random_code(30, 5, 3, seed, a, error)) << error;
    expect_balanced(a, 3);
  }
}

TEST(BuildCode, RejectsImpossibleParameters) {
  ParityCheckMatrix h;
  std::string error;
  for (auto build : {&build_peg_code, &build_random_code}) {
    EXPECT_FALSE(build(0, 5, 3, 1, h, error));
    EXPECT_FALSE(build(10, -1, 3, 1, h, error));
    EXPECT_FALSE(build(10, 5, 0, 1, h, error));
    EXPECT_FALSE(build(10, 5, 6, 1, h, error));
    EXPECT_NE(error.find("column weight 6 is outside 1..5"), std::string::npos) << error;
    EXPECT_FALSE(build(INT_MAX / 2, 5, 3, 1, h, error));
    EXPECT_NE(error.find("beyond the int range"), std::string::npos) << error;
  }
}
