// Matrix construction and the graph properties the tool reports: weights, repeats, girth.
#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdint>
#include <tuple>
#include <utility>
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

namespace {

// Degrees of every column and row of h.
void degrees_of(const ParityCheckMatrix& h, std::vector<int>& columns, std::vector<int>& rows) {
  const ColumnMatrix by_column = code_columns_of(h);
  columns.resize(h.n);
  rows.resize(h.m);
  for (int c = 0; c < h.n; ++c) columns[c] = by_column.col_ptr[c + 1] - by_column.col_ptr[c];
  for (int r = 0; r < h.m; ++r) rows[r] = h.ir[r + 1] - h.ir[r];
}

// A column degree list: `count` columns of each degree, low degrees first.
std::vector<int> columns_of(const std::vector<std::pair<int, int>>& groups) {
  std::vector<int> degrees;
  for (auto [count, degree] : groups) degrees.insert(degrees.end(), count, degree);
  return degrees;
}

}  // namespace

TEST(BuildPegIrregular, RealisesEveryDegreeWithoutRepeatsAndReproducibly) {
  // 500 x 2, 300 x 3, 200 x 8 = 3500 ones; rows 250 x 6 and 250 x 8 exactly.
  const std::vector<int> columns = columns_of({{500, 2}, {300, 3}, {200, 8}});
  std::vector<int> rows(250, 6);
  rows.resize(500, 8);
  for (int depth : {0, 3}) {
    PegOptions options;
    options.depth_limit = depth;
    ParityCheckMatrix a, b, c;
    std::string error;
    ASSERT_TRUE(build_peg_irregular(columns, rows, 7, options, a, error)) << error;
    ASSERT_TRUE(build_peg_irregular(columns, rows, 7, options, b, error)) << error;
    ASSERT_TRUE(build_peg_irregular(columns, rows, 8, options, c, error)) << error;
    std::vector<int> got_columns, got_rows;
    degrees_of(a, got_columns, got_rows);
    EXPECT_EQ(got_columns, columns) << "depth " << depth;
    EXPECT_EQ(got_rows, rows) << "depth " << depth;
    int row = 0, column = 0;
    EXPECT_FALSE(code_find_repeat(a, row, column)) << "row " << row << " column " << column;
    EXPECT_GE(code_girth(a, 0), 6) << "depth " << depth;
    EXPECT_TRUE(same(a, b));
    EXPECT_FALSE(same(a, c));
  }
}

TEST(BuildPegIrregular, EqualDegreesGiveTheRegularBuilder) {
  ParityCheckMatrix a, b;
  std::string error;
  for (auto [n, m, w] : {std::tuple{504, 252, 3}, {101, 40, 3}, {200, 50, 4}}) {
    ASSERT_TRUE(build_peg_code(n, m, w, 2, a, error)) << error;
    PegOptions every_partner;
    every_partner.lift_tries = INT64_MAX;
    ASSERT_TRUE(build_peg_irregular(std::vector<int>(n, w),
                                    std::vector<int>(m, code_row_weight_cap(n, m, w)), 2,
                                    every_partner, b, error))
        << error;
    EXPECT_TRUE(same(a, b)) << n;
  }
}

TEST(BuildPegIrregular, BoundedSearchKeepsItsGirthAndReportsProgress) {
  // A depth-4 search sees every cycle up to 10, and a (3,6) code of 20,000 columns has room
  // for girth 10; the weights stay exactly regular.
  struct Progress {
    int calls = 0, last = -1, n = 0;
  } progress;
  PegOptions options;
  options.depth_limit = 4;
  options.progress_context = &progress;
  options.progress = [](int done, int n, void* context) {
    Progress& p = *static_cast<Progress*>(context);
    EXPECT_GT(done, p.last);
    p.last = done;
    p.n = n;
    ++p.calls;
  };
  ParityCheckMatrix h;
  std::string error;
  ASSERT_TRUE(build_peg_irregular(std::vector<int>(20000, 3), std::vector<int>(10000, 6), 1,
                                  options, h, error))
      << error;
  expect_balanced(h, 3);
  EXPECT_EQ(code_girth(h, 10), 10);
  EXPECT_EQ(progress.last, 20000);
  EXPECT_EQ(progress.calls, 21);  // every 1024 columns from 0, and the end
  EXPECT_EQ(code_peg_default_depth(std::vector<int>(10, 3), std::vector<int>(5, 6)), 4);
  EXPECT_EQ(code_peg_default_depth(columns_of({{5, 2}, {3, 3}, {2, 8}}), std::vector<int>(5, 7)),
            3);
}

// The bounded search's depth is part of what a build makes: a small bounded build of each
// depth is pinned by a digest of its rows, so a search one level deeper or shallower than asked
// shows.
TEST(BuildPegIrregular, BoundedBuildsArePinned) {
  auto digest = [](const ParityCheckMatrix& h) {
    std::uint64_t d = 0xcbf29ce484222325ull;  // FNV-1a over the row pointers and columns
    for (const std::vector<int>* v : {&h.ir, &h.jc})
      for (int x : *v) d = (d ^ static_cast<std::uint32_t>(x)) * 0x100000001b3ull;
    return d;
  };
  const std::vector<int> columns = columns_of({{200, 2}, {150, 3}, {50, 6}});
  std::vector<std::uint64_t> got;
  for (int depth : {1, 2, 3}) {
    PegOptions options;
    options.depth_limit = depth;
    ParityCheckMatrix h;
    std::string error;
    ASSERT_TRUE(build_peg_irregular(columns, std::vector<int>(200, 6), 7, options, h, error))
        << error;
    got.push_back(digest(h));
  }
  EXPECT_EQ(got, (std::vector<std::uint64_t>{17342412944111997278ull, 2415508516890143931ull,
                                             10513356405688902561ull}));
}

TEST(BuildPegIrregular, RefusesImpossibleDegrees) {
  ParityCheckMatrix h;
  std::string error;
  EXPECT_FALSE(build_peg_irregular({2, 6}, {3, 3, 3, 3, 3}, 1, PegOptions{}, h, error));
  EXPECT_EQ(error, "column degree 6 is outside 1..5");
  EXPECT_FALSE(build_peg_irregular({2, 0}, {3, 3}, 1, PegOptions{}, h, error));
  EXPECT_FALSE(build_peg_irregular({2, 2}, {1, 3}, 1, PegOptions{}, h, error));
  EXPECT_EQ(error, "row cap 3 is outside 0..2");
  EXPECT_FALSE(build_peg_irregular({2, 2, 2}, {1, 1, 1}, 1, PegOptions{}, h, error));
  EXPECT_EQ(error, "the rows have room for 3 ones, fewer than the columns' 6");
  EXPECT_FALSE(build_peg_irregular({}, {1}, 1, PegOptions{}, h, error));
}
