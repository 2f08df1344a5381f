// The two matrix writers (exact bytes, round trips through the readers, write failures) and
// the ldpcsw-code tool run as a process: regenerating the shipped files, converting, refusing.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "code/alist.h"
#include "code/convert.h"
#include "code/matrix.h"
#include "code/peg.h"
#include "code/writers.h"
#include "tests/support.h"

using namespace ldpcsw;
using namespace ldpcsw::test;

namespace {

std::string written(bool (*writer)(std::FILE*, const ParityCheckMatrix&),
                    const ParityCheckMatrix& h) {
  std::FILE* f = std::tmpfile();
  EXPECT_TRUE(writer(f, h));
  std::rewind(f);
  std::string text;
  for (int c; (c = std::fgetc(f)) != EOF;) text += static_cast<char>(c);
  std::fclose(f);
  return text;
}

// 5 columns, 4 rows; row 2 empty, row 1 out of order, column 2 (0-based 1) in one row.
ParityCheckMatrix small() {
  ParityCheckMatrix h;
  h.n = 5;
  h.m = 4;
  h.ir = {0, 3, 3, 5, 6};
  h.jc = {4, 0, 2, 1, 4, 3};
  return h;
}

const std::string CODE = bin("ldpcsw-code");

}  // namespace

TEST(WriteCode, RowListBytes) {
  EXPECT_EQ(written(&write_code_rows, small()),
            "5 4 3\n"
            "1 3 5\n"
            "0 0 0\n"
            "2 5 0\n"
            "4 0 0\n");
}

TEST(WriteCode, AlistBytes) {
  EXPECT_EQ(written(&write_code_alist, small()),
            "5 4\n"
            "2 3\n"
            "1 1 1 1 2\n"
            "3 0 2 1\n"
            "1 0\n"
            "3 0\n"
            "1 0\n"
            "4 0\n"
            "1 3\n"
            "1 3 5\n"
            "0 0 0\n"
            "2 5 0\n"
            "4 0 0\n");
}

TEST(WriteCode, BothFormsReadBackToTheSameMatrix) {
  ParityCheckMatrix h;
  std::string error;
  ASSERT_TRUE(build_random_code(60, 25, 3, 5, h, error)) << error;
  std::FILE* f = std::tmpfile();
  ASSERT_TRUE(write_code_rows(f, h));
  std::rewind(f);
  ParityCheckMatrix rows;
  ASSERT_TRUE(read_code_rows(f, rows, error)) << error;
  std::fclose(f);
  EXPECT_EQ(rows.ir, h.ir);
  EXPECT_EQ(rows.jc, h.jc);

  f = std::tmpfile();
  ASSERT_TRUE(write_code_alist(f, h));
  std::rewind(f);
  ColumnMatrix columns;
  ASSERT_TRUE(read_code_alist(f, columns, error)) << error;
  std::fclose(f);
  const ParityCheckMatrix back = code_rows_of(columns);
  EXPECT_EQ(back.ir, h.ir);
  EXPECT_EQ(back.jc, h.jc);
}

TEST(WriteCode, ReportsAFullDevice) {
  std::FILE* f = std::fopen("/dev/full", "w");
  if (f == nullptr) GTEST_SKIP() << "no /dev/full";
  ParityCheckMatrix h;
  std::string error;
  ASSERT_TRUE(build_random_code(60, 25, 3, 5, h, error)) << error;
  EXPECT_FALSE(write_code_rows(f, h));
  std::fclose(f);
}

TEST(CodeTool, RegeneratesTheShippedFilesByteForByte) {
  TempDir dir;
  const ProcessResult r =
      run_process(CODE,
                  {"build", "--n", "504", "--m", "252", "--column-weight", "3", "--seed", "8",
                   "--method", "peg", "--dat", "Reg504252.dat", "--alist", "Reg504252.alist"},
                  dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.out.find("girth 8\n"), std::string::npos) << r.out;
  EXPECT_EQ(read_file(dir.file("Reg504252.dat")), read_file(LDPCSW_DATA_DIR "/Reg504252.dat"));
  EXPECT_EQ(read_file(dir.file("Reg504252.alist")), read_file(LDPCSW_DATA_DIR "/Reg504252.alist"));
}

TEST(CodeTool, ConvertsBothWaysByteForByte) {
  TempDir dir;
  ProcessResult r =
      run_process(CODE, {"convert", LDPCSW_DATA_DIR "/Reg504252.dat", "a.alist"}, dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(dir.file("a.alist")), read_file(LDPCSW_DATA_DIR "/Reg504252.alist"));
  r = run_process(CODE, {"convert", "a.alist", "b.dat"}, dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(read_file(dir.file("b.dat")), read_file(LDPCSW_DATA_DIR "/Reg504252.dat"));

  r = run_process(CODE, {"info", "b.dat"}, dir.path);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out,
            "n 504, m 252, edges 1512, column weights 3..3, row weights 6..6\ngirth 8\n"
            "rank 252 over GF(2) (0 of the 252 rows depend on the others)\n");
}

TEST(CodeTool, RefusesBadInputWithOneLineAndExitStatus) {
  TempDir dir;
  write_file(dir.file("short.dat"), "30 10 3\n1 2 3\n");
  write_file(dir.file("bad.alist"), "4 3 2 2  2 1 0 2  1 2 2  1 4 0 0 0 0 0 0\n");
  // Row 1 lists column 2 twice.
  write_file(dir.file("twice.dat"), "21 2 2\n2 2\n1 3\n");
  struct Case {
    std::vector<std::string> args;
    int exit_code;
    std::string message;
  };
  const std::vector<Case> cases = {
      {{"convert", "missing.dat", "x.alist"}, 1, "ldpcsw-code: missing.dat: cannot open: "},
      {{"convert", "short.dat", "x.alist"},
       1,
       "ldpcsw-code: short.dat: row 2, slot 1: the file ends early"},
      {{"info", "bad.alist"}, 1, "ldpcsw-code: bad.alist: row 4 is outside 1..3 in column 1"},
      {{"convert", "twice.dat", "x.alist"},
       1,
       "ldpcsw-code: twice.dat: the one at row 1, column 2 is listed twice"},
      {{"convert", "short.dat", "x.txt"}, 1, "ldpcsw-code: x.txt: unknown form"},
      {{"convert", "short.dat", "no/such/dir/x.alist"}, 1, "ldpcsw-code: short.dat: row 2"},
      {{"build", "--n", "30", "--m", "5", "--column-weight", "6"},
       1,
       "ldpcsw-code: peg construction failed: column weight 6 is outside 1..5"},
      {{"build", "--n", "10"}, 2, "ldpcsw-code: build needs --n and --m"},
      {{"build", "--n", "10x", "--m", "5"}, 2, "ldpcsw-code: bad value '10x' for --n"},
      {{"build", "--n", "30", "--m", "5", "--dat", "out.alist"},
       2,
       "ldpcsw-code: the --dat file's name must end in .dat"},
      {{"frobnicate"}, 2, "ldpcsw-code: unknown command frobnicate"},
  };
  for (const Case& c : cases) {
    const ProcessResult r = run_process(CODE, c.args, dir.path);
    EXPECT_EQ(r.exit_code, c.exit_code) << c.args[0] << " " << c.args[1];
    EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
  }
  const ProcessResult r = run_process(
      CODE, {"convert", LDPCSW_DATA_DIR "/Reg504252.dat", "no/such/dir/x.alist"}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("ldpcsw-code: no/such/dir/x.alist: cannot open for writing: ", 0), 0u)
      << r.err;
}
