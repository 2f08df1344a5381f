// Degree distributions: reading them, their two perspectives, whole node counts, and the
// degrees the tool realises from them.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <string>
#include <vector>

#include "code/alist.h"
#include "code/convert.h"
#include "code/degrees.h"
#include "code/matrix.h"
#include "tests/support.h"

using namespace ldpcsw;
using namespace ldpcsw::test;

TEST(ParseDegrees, NodeAndEdgePerspectives) {
  DegreeDistribution d;
  std::string error;
  ASSERT_TRUE(code_parse_degrees("8:0.2, 2:0.5,3:0.3", DegreePerspective::node, d, error)) << error;
  EXPECT_EQ(d.degrees, (std::vector<int>{2, 3, 8}));
  EXPECT_NEAR(d.fractions[0], 0.5, 1e-15);
  EXPECT_NEAR(d.fractions[2], 0.2, 1e-15);
  EXPECT_NEAR(code_mean_degree(d), 3.5, 1e-12);
  const std::vector<double> edge = code_edge_fractions(d);
  EXPECT_NEAR(edge[0], 1.0 / 3.5, 1e-12);  // 0.5 * 2 / 3.5
  EXPECT_NEAR(edge[2], 1.6 / 3.5, 1e-12);

  // λ(x) = 0.5x + 0.5x^2: half the edges on degree-2 columns, half on degree 3, so the node
  // shares are 0.25 : 0.1667, i.e. 0.6 and 0.4; back to the edge perspective unchanged.
  ASSERT_TRUE(code_parse_degrees("2:0.5,3:0.5", DegreePerspective::edge, d, error)) << error;
  EXPECT_NEAR(d.fractions[0], 0.6, 1e-12);
  EXPECT_NEAR(d.fractions[1], 0.4, 1e-12);
  EXPECT_NEAR(code_edge_fractions(d)[0], 0.5, 1e-12);
}

TEST(ParseDegrees, RefusesBadTextWithTheItemNamed) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"2:0.5,3:0.4", "the values sum to 0.9, not 1"},
      {"2:0.5,3:0.6", "the values sum to 1.1, not 1"},
      {"0:0.5,3:0.5", "degree 0 is outside 1..2147483647"},
      {"-2:0.5,3:0.5", "degree -2 is outside 1..2147483647"},
      {"2.5:1", "degree '2.5' is not a whole number"},
      {"3:0.5,3:0.5", "degree 3 is listed twice"},
      {"3:1.5,2:-0.5", "value 1.5 of degree 3 is outside (0, 1]"},
      {"3:0,2:1", "value 0 of degree 3 is outside (0, 1]"},
      {"3:x", "value 'x' of degree 3 is not a number"},
      {"3:nan", "value 'nan' of degree 3 is not a number"},
      {"3", "'3' is not degree:value"},
      {"3:1,", "'' is not degree:value"},
      {"", "the degree distribution is empty"},
  };
  for (const Case& c : cases) {
    DegreeDistribution d;
    std::string error;
    EXPECT_FALSE(code_parse_degrees(c.text, DegreePerspective::node, d, error)) << c.text;
    EXPECT_EQ(error, c.message) << c.text;
  }
}

TEST(NodeCounts, LargestRemainderSumsToTheNodes) {
  // 10 * (1/3, 1/3, 1/3) = 3.33 each: the one left over goes to the lowest degree.
  const DegreeDistribution thirds{{2, 3, 4}, {1.0 / 3, 1.0 / 3, 1.0 / 3}};
  EXPECT_EQ(code_node_counts(thirds, 10), (std::vector<int>{4, 3, 3}));
  // 7 * (0.5, 0.3, 0.2) = 3.5, 2.1, 1.4: floors 3, 2, 1, the spare to the largest part.
  const DegreeDistribution d{{2, 3, 8}, {0.5, 0.3, 0.2}};
  EXPECT_EQ(code_node_counts(d, 7), (std::vector<int>{4, 2, 1}));
  for (int nodes : {1, 2, 99, 100000}) {
    const std::vector<int> counts = code_node_counts(d, nodes);
    EXPECT_EQ(std::accumulate(counts.begin(), counts.end(), 0), nodes);
  }
}

TEST(RealiseDegrees, ColumnsAscendingRowsMatchingTheOnes) {
  const DegreeDistribution columns{{2, 3, 8}, {0.5, 0.3, 0.2}};
  std::vector<int> cd, rd;
  std::string error;
  // Even rows: 1000 columns hold 500*2 + 300*3 + 200*8 = 3500 ones; 500 rows capped at 7.
  ASSERT_TRUE(code_realise_degrees(1000, 500, columns, nullptr, cd, rd, error)) << error;
  ASSERT_EQ(cd.size(), 1000u);
  EXPECT_TRUE(std::is_sorted(cd.begin(), cd.end()));
  EXPECT_EQ(std::accumulate(cd.begin(), cd.end(), 0), 3500);
  EXPECT_EQ(rd, std::vector<int>(500, 7));

  // Rows 6:0.5,8:0.5 give 3500 sockets over 500 rows: exact. 6:0.5,7:0.5 gives 3250: the
  // 250 lowest rows get one more.
  const DegreeDistribution exact{{6, 8}, {0.5, 0.5}}, short_rows{{6, 7}, {0.5, 0.5}};
  ASSERT_TRUE(code_realise_degrees(1000, 500, columns, &exact, cd, rd, error)) << error;
  EXPECT_EQ(std::count(rd.begin(), rd.end(), 6), 250);
  EXPECT_EQ(std::count(rd.begin(), rd.end(), 8), 250);
  ASSERT_TRUE(code_realise_degrees(1000, 500, columns, &short_rows, cd, rd, error)) << error;
  EXPECT_EQ(std::accumulate(rd.begin(), rd.end(), 0), 3500);
  EXPECT_EQ(std::count(rd.begin(), rd.end(), 7), 500);
}

TEST(RealiseDegrees, RefusesUnrealisableCounts) {
  std::vector<int> cd, rd;
  std::string error;
  const DegreeDistribution columns{{2, 3, 8}, {0.5, 0.3, 0.2}};
  EXPECT_FALSE(code_realise_degrees(100, 6, columns, nullptr, cd, rd, error));
  EXPECT_EQ(error, "column degree 8 is outside 1..6");
  // Rows of degree 3 give 1500 sockets against 3500 ones: more than one per row apart.
  const DegreeDistribution rows3 = code_regular_degrees(3);
  EXPECT_FALSE(code_realise_degrees(1000, 500, columns, &rows3, cd, rd, error));
  EXPECT_EQ(error,
            "the rows' degrees give 1500 ones but the columns' give 3500; the mean row degree "
            "must be within 1 of 7");
  // 6 columns of degree 2 hold 12 ones; rows 1:0.5,2:0.5 over 20 rows give 30 sockets, so 18
  // rows lose one: the ten of degree 2 and eight of degree 1, which would be empty.
  const DegreeDistribution ones{{1, 2}, {0.5, 0.5}};
  EXPECT_FALSE(code_realise_degrees(6, 20, code_regular_degrees(2), &ones, cd, rd, error));
  EXPECT_EQ(error, "matching the columns' 12 ones leaves a row with none");
  const DegreeDistribution wide{{1, 39}, {0.5, 0.5}};
  EXPECT_FALSE(code_realise_degrees(20, 20, code_regular_degrees(20), &wide, cd, rd, error));
  EXPECT_EQ(error, "row degree 39 is outside 1..20");
  EXPECT_FALSE(code_realise_degrees(2000000000, 1000000000, code_regular_degrees(3), nullptr, cd,
                                    rd, error));
  EXPECT_EQ(error, "the columns hold more than 2147483647 ones");
}

// What the rounding to whole nodes and the matching of rows to the columns' ones cost is
// named: a degree that vanished or appeared, a count a whole node or more off.
TEST(RealiseDegrees, DeparturesFromTheAskedDistributionAreNamed) {
  const DegreeDistribution rows67{{6, 7}, {0.5, 0.5}};
  EXPECT_EQ(code_degree_departures(rows67, std::vector<int>(500, 6), "rows"),
            "degree 6: 500 rows instead of 250, degree 7: 0 rows instead of 250");
  std::vector<int> mixed(250, 6);
  mixed.insert(mixed.end(), 250, 7);
  EXPECT_EQ(code_degree_departures(rows67, mixed, "rows"), "");
  // Largest-remainder rounding alone is no departure.
  const DegreeDistribution thirds{{2, 3, 4}, {1.0 / 3, 1.0 / 3, 1.0 / 3}};
  std::vector<int> cd, rd;
  std::string error;
  ASSERT_TRUE(code_realise_degrees(1000, 500, thirds, nullptr, cd, rd, error)) << error;
  EXPECT_EQ(code_degree_departures(thirds, cd, "columns"), "");
  // A degree too rare for a single column, and one that appears unasked.
  DegreeDistribution rare;
  ASSERT_TRUE(code_parse_degrees("2:0.999999,100:0.000001", DegreePerspective::edge, rare, error));
  ASSERT_TRUE(code_realise_degrees(1000, 500, rare, nullptr, cd, rd, error)) << error;
  EXPECT_EQ(code_degree_departures(rare, cd, "columns"),
            "degree 100: 0 columns instead of 2e-05");
  std::vector<int> extra(499, 6);
  extra.push_back(7);
  EXPECT_EQ(code_degree_departures(code_regular_degrees(6), extra, "rows"),
            "degree 6: 499 rows instead of 500, degree 7: 1 row instead of 0");
}

TEST(CodeTool, BuildsFromDistributionsAndRefusesBadOnes) {
  const std::string code = bin("ldpcsw-code");
  TempDir dir;
  ProcessResult r =
      run_process(code,
                  {"build", "--n", "1000", "--m", "500", "--column-degrees", "2:0.5,3:0.3,8:0.2",
                   "--row-degrees", "6:0.5,8:0.5", "--seed", "3", "--dat", "a.dat"},
                  dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("columns 2:0.5,3:0.3,8:0.2 (500 x 2, 300 x 3, 200 x 8), lambda "
                       "2:0.285714,3:0.257143,8:0.457143, mean 3.5\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("rows 6:0.5,8:0.5 (250 x 6, 250 x 8), rho 6:0.428571,8:0.571429, mean 7\n"),
            std::string::npos)
      << r.out;
  // The same in the edge perspective, same seed: the same file.
  r = run_process(code,
                  {"build", "--n", "1000", "--m", "500", "--lambda",
                   "2:0.2857142857142857,3:0.2571428571428571,8:0.4571428571428572", "--rho",
                   "6:0.42857142857142855,8:0.5714285714285714", "--seed", "3", "--dat", "b.dat"},
                  dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");  // realised as asked: no warning
  EXPECT_EQ(read_file(dir.file("a.dat")), read_file(dir.file("b.dat")));

  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"--column-degrees", "2:0.5,3:0.4"},
       2,
       "ldpcsw-code: --column-degrees 2:0.5,3:0.4: the values sum to 0.9, not 1"},
      {{"--rho", "0:1"}, 2, "ldpcsw-code: --rho 0:1: degree 0 is outside"},
      {{"--column-degrees", "3:1", "--column-weight", "3"},
       2,
       "ldpcsw-code: --column-weight and --column-degrees exclude each other"},
      {{"--lambda", "3:1", "--column-degrees", "3:1"},
       2,
       "ldpcsw-code: --column-degrees and --lambda exclude each other"},
      {{"--column-degrees", "3:1", "--method", "random"},
       2,
       "ldpcsw-code: --method random takes only --column-weight"},
      {{"--column-degrees", "2:0.5,600:0.5"},
       1,
       "ldpcsw-code: peg construction failed: column degree 600 is outside 1..500"},
      {{"--row-degrees", "3:1"},
       1,
       "ldpcsw-code: peg construction failed: the rows' degrees give 1500 ones but the columns' "
       "give 3000"},
  };
  // Asked-for degrees the build cannot realise: built all the same, with a warning that says
  // what changed.
  r = run_process(code,
                  {"build", "--n", "1000", "--m", "500", "--row-degrees", "6:0.5,7:0.5"},
                  dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err,
            "ldpcsw-code: warning: --row-degrees 6:0.5,7:0.5 cannot be realised with n 1000, "
            "m 500; built the nearest (500 x 6): degree 6: 500 rows instead of 250, degree 7: "
            "0 rows instead of 250\n");
  r = run_process(code,
                  {"build", "--n", "1000", "--m", "500", "--lambda", "2:0.999999,100:0.000001"},
                  dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("warning: --lambda 2:0.999999,100:0.000001 cannot be realised with n "
                       "1000, m 500; built the nearest (1000 x 2): degree 100: 0 columns "
                       "instead of 2e-05\n"),
            std::string::npos)
      << r.err;

  for (const Case& c : cases) {
    std::vector<std::string> args = {"build", "--n", "1000", "--m", "500"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    r = run_process(code, args, dir.path);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0];
    EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
  }
}

TEST(ShippedIrregularCode, DegreesAndBothFormsAgree) {
  // data/Irr10000x5000: the realised degrees its README command prints, no repeated one, and
  // the alist twin holding the same matrix.
  std::FILE* f = std::fopen(LDPCSW_DATA_DIR "/Irr10000x5000.dat", "r");
  ASSERT_NE(f, nullptr);
  ParityCheckMatrix h;
  std::string error;
  ASSERT_TRUE(read_code_rows(f, h, error)) << error;
  std::fclose(f);
  f = std::fopen(LDPCSW_DATA_DIR "/Irr10000x5000.alist", "r");
  ASSERT_NE(f, nullptr);
  ColumnMatrix columns;
  ASSERT_TRUE(read_code_alist(f, columns, error)) << error;
  std::fclose(f);
  const ParityCheckMatrix from_alist = code_rows_of(columns);
  EXPECT_EQ(from_alist.ir, h.ir);
  EXPECT_EQ(from_alist.jc, h.jc);
  int row = 0, column = 0;
  EXPECT_FALSE(code_find_repeat(h, row, column));
  std::vector<int> column_degrees(h.n), row_degrees(h.m);
  for (int c = 0; c < h.n; ++c) column_degrees[c] = columns.col_ptr[c + 1] - columns.col_ptr[c];
  for (int r = 0; r < h.m; ++r) row_degrees[r] = h.ir[r + 1] - h.ir[r];
  EXPECT_EQ(code_describe_degrees(column_degrees),
            "4343 x 2, 2838 x 3, 439 x 4, 615 x 5, 702 x 8, 462 x 12, 228 x 20, 373 x 30");
  EXPECT_EQ(code_describe_degrees(row_degrees), "1059 x 9, 3941 x 10");
}
