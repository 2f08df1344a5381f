// The row-list reader: what it builds from good files and how it refuses bad ones.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "code/matrix.h"
#include "tests/support.h"

using namespace ldpcsw;

namespace {

struct ReadResult {
  bool ok;
  ParityCheckMatrix h;
  std::string error;
};

ReadResult read_text(const std::string& text) {
  ReadResult r;
  std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  if (text.empty()) f = std::tmpfile();
  r.ok = read_code_rows(f, r.h, r.error);
  std::fclose(f);
  return r;
}

// A header for n = 21 (the smallest accepted) and m rows of `slots` slots each.
std::string header(int m, int slots) {
  return "21 " + std::to_string(m) + " " + std::to_string(slots) + "\n";
}

}  // namespace

TEST(ReadCodeRows, ZerosAnywhereInAGroupAndEmptyRows) {
  const ReadResult r = read_text(header(3, 4) + "0 5 0 2\n0 0 0 0\n21 1 3 0\n");
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.h.n, 21);
  EXPECT_EQ(r.h.m, 3);
  EXPECT_EQ(r.h.ir, (std::vector<int>{0, 2, 2, 5}));
  // File order kept within each row, 1-based columns become 0-based.
  EXPECT_EQ(r.h.jc, (std::vector<int>{4, 1, 20, 0, 2}));
}

TEST(ReadCodeRows, LineStructureIsIrrelevant) {
  const ReadResult one_line = read_text("21 2 3 1 2 3 4 5 6");
  const ReadResult one_per_line = read_text("21\n2\n3\n1\n2\n3\n4\n\n5\n\t6\n");
  ASSERT_TRUE(one_line.ok && one_per_line.ok);
  EXPECT_EQ(one_line.h.ir, one_per_line.h.ir);
  EXPECT_EQ(one_line.h.jc, one_per_line.h.jc);
}

TEST(ReadCodeRows, RegularMatrixWithoutEmptySlots) {
  const ParityCheckMatrix made = test::random_matrix(504, 252, 7);
  const ReadResult r = read_text(test::to_row_list(made));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.h.ir, made.ir);
  EXPECT_EQ(r.h.jc, made.jc);

  const ReadResult regular = read_text("24 2 3  1 2 3  4 5 6");
  ASSERT_TRUE(regular.ok);
  EXPECT_EQ(regular.h.edges(), 6);
  EXPECT_EQ(regular.h.ir, (std::vector<int>{0, 3, 6}));
}

TEST(ReadCodeRows, RejectsBadHeaders) {
  struct Case {
    const char* text;
    const char* expect;
  } cases[] = {
      {"", "ends early"},
      {"21", "ends early"},
      {"x 2 3", "not an integer"},
      {"0 1 1 1", "n is 0"},
      {"21 -2 1", "m is -2"},
      {"21 1 0", "maxCdeg is 0"},
      {"99999999999 1 1 1", "outside the int range"},
      {"21 22 1", "exceeds n"},
      {"20 10 1", "below 21"},
      {"2000000000 1000000000 3", "beyond the int range"},
  };
  for (const auto& c : cases) {
    const ReadResult r = read_text(c.text);
    EXPECT_FALSE(r.ok) << c.text;
    EXPECT_NE(r.error.find(c.expect), std::string::npos) << c.text << " -> " << r.error;
    EXPECT_EQ(r.error.find('\n'), std::string::npos);
  }
}

TEST(ReadCodeRows, RejectsBadBodies) {
  struct Case {
    std::string text;
    const char* expect;
  } cases[] = {
      {header(2, 3) + "1 2 3 4 5", "row 2, slot 3: the file ends early"},
      {header(2, 3) + "1 2 3 4 five 6", "row 2, slot 2: a value is not an integer"},
      {header(2, 3) + "1 2 22 4 5 6", "column 22 is outside 1..21 in row 1"},
      {header(2, 3) + "1 2 3 4 -5 6", "column -5 is outside 1..21 in row 2"},
      {header(1, 3) + "1 2 3000000000", "outside the int range"},
  };
  for (const auto& c : cases) {
    const ReadResult r = read_text(c.text);
    EXPECT_FALSE(r.ok) << c.text;
    EXPECT_NE(r.error.find(c.expect), std::string::npos) << c.text << " -> " << r.error;
  }
}

TEST(ReadCodeRows, HugeCountsWithAShortFileFailWithoutAllocatingThem) {
  // 2e9 slots declared; the file holds two values. Must fail on the missing values.
  const ReadResult r = read_text("2000000000 1000000 2000 1 2");
  EXPECT_FALSE(r.ok);
  EXPECT_NE(r.error.find("ends early"), std::string::npos) << r.error;
}

TEST(ReadCodeRows, AFolderInPlaceOfTheFileIsAReadErrorNotAnEmptyFile) {
  test::TempDir dir;
  std::FILE* f = std::fopen(dir.path.c_str(), "r");  // a folder opens for reading on Linux
  ASSERT_NE(f, nullptr);
  ParityCheckMatrix h;
  std::string error;
  EXPECT_FALSE(read_code_rows(f, h, error));
  std::fclose(f);
  EXPECT_EQ(error, "header: the file cannot be read (Is a directory)");
}

TEST(ReadCodeRows, RefusesAColumnListedTwiceNamingTheFirstRepeatInFileOrder) {
  struct Case {
    std::string text;
    const char* expect;
  } cases[] = {
      {header(2, 3) + "1 2 3\n4 5 4\n", "the one at row 2, column 4 is listed twice"},
      // Zeros between the two do not hide the repeat; the first value repeated in file order
      // (5, at slot 3) is named, not the smaller 3.
      {header(1, 5) + "5 3 5 0 3\n", "the one at row 1, column 5 is listed twice"},
      {header(1, 4) + "7 0 0 7\n", "the one at row 1, column 7 is listed twice"},
  };
  for (const auto& c : cases) {
    const ReadResult r = read_text(c.text);
    EXPECT_FALSE(r.ok) << c.text;
    EXPECT_EQ(r.error, c.expect) << c.text;
  }
  // The same column in two different rows is what every code has.
  EXPECT_TRUE(read_text(header(2, 2) + "1 2\n1 2\n").ok);
}

TEST(ReadCodeRows, OnlyWhiteSpaceMayFollowTheLastRow) {
  EXPECT_TRUE(read_text(header(2, 2) + "1 2\n3 4\n\n \t\r\n").ok);
  for (const char* tail : {"5\n", "x\n", "0\n", "\n\n-1"}) {
    const ReadResult r = read_text(header(2, 2) + "1 2\n3 4\n" + std::string(tail));
    EXPECT_FALSE(r.ok) << tail;
    EXPECT_EQ(r.error, "the file goes on after its 2 rows of 2 slots, where it should end") << tail;
  }
}

TEST(ReadCodeRows, AnAlistFileIsRefused) {
  // The shipped alist twin: its header reads as a valid row-list header (n 504, m 252,
  // maxCdeg 3), so only what a row-list file promises can refuse it.
  std::FILE* f = std::fopen(LDPCSW_DATA_DIR "/Reg504252.alist", "r");
  ASSERT_NE(f, nullptr);
  ParityCheckMatrix h;
  std::string error;
  EXPECT_FALSE(read_code_rows(f, h, error));
  std::fclose(f);
  EXPECT_FALSE(error.empty());
}
