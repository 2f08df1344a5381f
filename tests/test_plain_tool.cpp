// ldpcsw-plain run as a process in a fresh folder: its report, its default file, and how it
// refuses a missing or bad matrix file.
#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "tests/support.h"

namespace ldpcsw {
namespace {

using test::run_process;
using test::TempDir;

// Hamming (7,4): rows 1010101, 0110011, 0001111.
const std::string HAMMING_ALIST =
    "7 3\n3 4\n1 1 2 1 2 2 3\n4 4 4\n"
    "1 0 0\n2 0 0\n1 2 0\n3 0 0\n1 3 0\n2 3 0\n1 2 3\n"
    "1 3 5 7\n2 3 6 7\n4 5 6 7\n";

const std::regex REPORT("Running time: [0-9.e+-]+s\nFER = [0-9.e+-]+, BER = [0-9.e+-]+\n");

TEST(PlainTool, ReportsOnTheDefaultFile) {
  TempDir dir;
  std::filesystem::copy_file(LDPCSW_DATA_DIR "/Reg504252.alist", dir.file("Reg504252.alist"));
  const auto r = run_process(test::bin("ldpcsw-plain"), {}, dir.path);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(std::regex_match(r.out, REPORT)) << r.out;
  // The experiment's draws through the plain decoder on the shipped matrix, x_hat zero before
  // the first block and carried between blocks.
  EXPECT_NE(r.out.find("\nFER = 0.44, BER = 0.033125\n"), std::string::npos) << r.out;
}

TEST(PlainTool, ReportsOnANamedFile) {
  TempDir dir;
  std::filesystem::create_directory(dir.file("codes"));
  test::write_file(dir.file("codes/hamming.alist"), HAMMING_ALIST);
  const auto r = run_process(test::bin("ldpcsw-plain"), {"codes/hamming.alist"}, dir.path);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(std::regex_match(r.out, REPORT)) << r.out;
}

TEST(PlainTool, RefusesMissingAndBadFiles) {
  TempDir dir;
  // Missing file: the experiment's line, then which file and why.
  auto r = run_process(test::bin("ldpcsw-plain"), {}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "LDPC code file doesn't exist!\n");
  EXPECT_EQ(r.err.rfind("Reg504252.alist: cannot open: ", 0), 0u) << r.err;
  r = run_process(test::bin("ldpcsw-plain"), {"absent.alist"}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("absent.alist: cannot open: ", 0), 0u) << r.err;

  // Bad files: one line on standard error naming the file, nothing on standard output.
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"short.alist", HAMMING_ALIST.substr(0, HAMMING_ALIST.find("1 2 3\n"))},
      {"row.alist", "3 2\n1 1\n1 1 1\n1 2\n1\n3\n2\n"},  // row 3 of 2
      {"empty.alist", ""},
  };
  for (const auto& [name, content] : bad) {
    test::write_file(dir.file(name), content);
    r = run_process(test::bin("ldpcsw-plain"), {name}, dir.path);
    EXPECT_EQ(r.exit_code, 1) << name;
    EXPECT_EQ(r.out, "") << name;
    EXPECT_EQ(r.err.rfind(name + ": ", 0), 0u) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
  }

  r = run_process(test::bin("ldpcsw-plain"), {"a.alist", "b.alist"}, dir.path);
  EXPECT_EQ(r.exit_code, 2);
}

TEST(PlainTool, ARowListFileOrAFolderIsNamedAsSuch) {
  TempDir dir;
  std::filesystem::copy_file(LDPCSW_DATA_DIR "/Reg504252.dat", dir.file("h.alist"));
  auto r = run_process(test::bin("ldpcsw-plain"), {"h.alist"}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "h.alist: this looks like a row-list file, not an alist file; convert it with "
            "ldpcsw-code convert FILE.dat FILE.alist\n");
  std::filesystem::create_directory(dir.file("Reg504252.alist"));
  r = run_process(test::bin("ldpcsw-plain"), {}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "Reg504252.alist: is a folder, not a matrix file\n");
}

}  // namespace
}  // namespace ldpcsw
