// The alist reader: what it builds from good files, how it refuses bad ones, and that both
// shipped files of the experiment's matrix describe the same H.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "code/alist.h"
#include "code/convert.h"
#include "code/matrix.h"

using namespace ldpcsw;

namespace {

struct AlistResult {
  bool ok;
  ColumnMatrix h;
  std::string error;
};

AlistResult read_alist_text(const std::string& text) {
  AlistResult r;
  std::FILE* f =
      text.empty() ? std::tmpfile() : fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  r.ok = read_code_alist(f, r.h, r.error);
  std::fclose(f);
  return r;
}

// 4 columns, 3 rows; column 3 is empty; slots out of order and zeros anywhere.
const char* SMALL =
    "4 3\n2 9\n"
    "2 1 0 2\n"
    "1 3 2\n"
    "3 1\n"
    "0 2\n"
    "0 0\n"
    "1 2\n";

}  // namespace

TEST(ReadCodeAlist, EmptyColumnsZerosAnywhereAndFileOrder) {
  const AlistResult r = read_alist_text(SMALL);
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.h.n, 4);
  EXPECT_EQ(r.h.m, 3);
  EXPECT_EQ(r.h.col_ptr, (std::vector<int>{0, 2, 3, 3, 5}));
  EXPECT_EQ(r.h.row_index, (std::vector<int>{2, 0, 1, 0, 1}));
}

TEST(ReadCodeAlist, MaxCdegRowWeightsAndTrailingRowListsHaveNoEffect) {
  const AlistResult base = read_alist_text(SMALL);
  // Different maxCdeg and row weights, and per-row lists (even malformed ones) after the
  // column groups: nothing of that is used.
  const AlistResult other =
      read_alist_text("4 3\n2 0\n2 1 0 2\n7 0 100\n3 1\n0 2\n0 0\n1 2\n1 2 3\nnot read at all\n");
  ASSERT_TRUE(base.ok && other.ok) << other.error;
  EXPECT_EQ(base.h.col_ptr, other.h.col_ptr);
  EXPECT_EQ(base.h.row_index, other.h.row_index);
}

TEST(ReadCodeAlist, RegularMatrixColumnPointers) {
  // 6 columns of weight 2 over 3 rows; one line of everything.
  const AlistResult r = read_alist_text("6 3 2 4 2 2 2 2 2 2 4 4 4 1 2 2 3 1 3 1 2 2 3 1 3");
  ASSERT_TRUE(r.ok) << r.error;
  for (int c = 0; c <= 6; ++c) EXPECT_EQ(r.h.col_ptr[c], 2 * c);
  EXPECT_EQ(r.h.edges(), 12);
}

TEST(ReadCodeAlist, SmallBlocksAreNotRefused) {
  // Unlike the row-list reader, nothing asks for n >= 21 here.
  const AlistResult r = read_alist_text("2 1\n1 2\n1 1\n2\n1\n1\n");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.h.row_index, (std::vector<int>{0, 0}));
}

TEST(ReadCodeAlist, RejectsBadFilesWithOneLineNamingItemAndValue) {
  struct Case {
    const char* text;
    const char* message;
  };
  const Case cases[] = {
      {"", "header, n: the file ends early"},
      {"0 3 2 2", "n is 0, not positive"},
      {"4 -1 2 2", "m is -1, not positive"},
      {"4 3 0 2", "maxVdeg is 0, not positive"},
      {"4 3 2 x", "header, maxCdeg: a value is not an integer"},
      {"4 5 2 2", "m = 5 exceeds n = 4"},
      {"4 3 2 2  2 -1", "weight -1 of column 2 is outside 0..2"},
      {"4 3 2 2  2 3", "weight 3 of column 2 is outside 0..2"},
      {"4 3 2 2  2 1 0 2  1 -3", "weight -3 of row 2 is negative"},
      {"4 3 2 2  2 1 0 2  1 2 2  1 4", "row 4 is outside 1..3 in column 1"},
      {"4 3 2 2  2 1 0 2  1 2 2  -1 1", "row -1 is outside 1..3 in column 1"},
      {"4 3 2 2  2 1 0 2  1 2 2  1 2  1 2", "column 2 lists more ones than its weight 1"},
      {"4 3 2 2  2 1 0 2  1 2 2  1 0", "column 1 lists 1 ones but its weight is 2"},
      {"4 3 2 2  2 1 0 2  1 2 2  1 2  3 0  0 0", "column 4, slot 1: the file ends early"},
      {"4 3 2 2  2 1 0 2  1 2 2  1 99999999999", "a value is outside the int range"},
      {"3 1 2147483647 1  2147483647 2147483647",
       "column 2 sum to 4294967294, beyond the int range"},
  };
  for (const Case& c : cases) {
    const AlistResult r = read_alist_text(c.text);
    EXPECT_FALSE(r.ok) << c.text;
    EXPECT_NE(r.error.find(c.message), std::string::npos) << c.text << " -> " << r.error;
    EXPECT_EQ(r.error.find('\n'), std::string::npos) << r.error;
  }
}

TEST(ReadCodeAlist, HugeCountsInAShortFileFailQuickly) {
  const auto start = std::chrono::steady_clock::now();
  AlistResult r = read_alist_text("2000000000 1000000000 1000 1\n3 3 3\n");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("weight of column 4: the file ends early"), std::string::npos) << r.error;
  // Column weights declared, column groups missing: the row indices are never sized from
  // the declared sum.
  r = read_alist_text("3 1 1000000000 1\n1000000000 1000000000 0\n5\n1\n");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("column 1, slot 2: the file ends early"), std::string::npos) << r.error;
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(ShippedMatrix, BothFilesReadToTheSameRegularGirth8Matrix) {
  ParityCheckMatrix rows;
  ColumnMatrix columns;
  std::string error;
  std::FILE* f = std::fopen(LDPCSW_DATA_DIR "/Reg504252.dat", "r");
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(read_code_rows(f, rows, error)) << error;
  std::fclose(f);
  f = std::fopen(LDPCSW_DATA_DIR "/Reg504252.alist", "r");
  ASSERT_NE(f, nullptr);
  ASSERT_TRUE(read_code_alist(f, columns, error)) << error;
  std::fclose(f);

  const ColumnMatrix from_rows = code_columns_of(rows);
  EXPECT_EQ(columns.n, 504);
  EXPECT_EQ(columns.m, 252);
  EXPECT_EQ(columns.col_ptr, from_rows.col_ptr);
  EXPECT_EQ(columns.row_index, from_rows.row_index);
  for (int r = 0; r <= 252; ++r) ASSERT_EQ(rows.ir[r], 6 * r);
  for (int c = 0; c <= 504; ++c) ASSERT_EQ(columns.col_ptr[c], 3 * c);
  int row = 0, column = 0;
  EXPECT_FALSE(code_find_repeat(rows, row, column));
  EXPECT_EQ(code_girth(rows, 0), 8);
}

TEST(ReadCodeAlist, RefusesARowListedTwiceInAColumn) {
  // Column 2 lists row 3 twice; its weight and every value are otherwise in order.
  AlistResult r = read_alist_text("4 3 2 2  2 2 1 1  2 2 2  1 2  3 3  1 0  2 0");
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, "the one at row 3, column 2 is listed twice");
  // The same row in different columns is fine.
  r = read_alist_text("4 3 2 2  2 2 1 1  2 2 2  1 2  1 2  1 0  2 0");
  EXPECT_TRUE(r.ok) << r.error;
}

TEST(ReadCodeAlist, ARowListFileIsRefused) {
  std::FILE* f = std::fopen(LDPCSW_DATA_DIR "/Reg504252.dat", "r");
  ASSERT_NE(f, nullptr);
  ColumnMatrix h;
  std::string error;
  EXPECT_FALSE(read_code_alist(f, h, error));
  std::fclose(f);
  EXPECT_FALSE(error.empty());
}
