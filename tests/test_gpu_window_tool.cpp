// ldpcsw-window run as a process: its lines for a profile, and its one-line errors.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"

namespace ldpcsw {
namespace {

using test::bin;
using test::run_process;
using test::TempDir;
using test::write_file;

std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> out;
  std::istringstream in(s);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

std::string g9(float v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
  return buf;
}

TEST(WindowTool, SmallProfileGivesEveryOddWidthUpToNAndNoSearch) {
  TempDir dir;
  write_file(dir.file("p.txt"), "0.25\n0.75\r\n  0\n1\n0.125\n\n");
  const auto r = run_process(bin("ldpcsw-window"), {dir.file("p.txt")}, dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  // Width 3: bit 0 predicted by bit 1 (unclamped), the others by their clamped neighbour means.
  float s3 = (0.25f - 0.75f) * (0.25f - 0.75f);
  s3 = s3 + (0.75f - 0.125f) * (0.75f - 0.125f);
  s3 = s3 + (0.0f - 0.5f) * (0.0f - 0.5f);
  s3 = s3 + (1.0f - 0.0625f) * (1.0f - 0.0625f);
  s3 = s3 + (0.125f - 0.5f) * (0.125f - 0.5f);
  const auto lines = lines_of(r.out);
  ASSERT_EQ(lines.size(), 5u) << r.out;
  EXPECT_EQ(lines[0], "w 1 nan nan");
  EXPECT_EQ(lines[1], "w 3 " + g9(s3) + " " + g9(s3));
  EXPECT_EQ(lines[2].substr(0, 4), "w 5 ");
  EXPECT_EQ(lines[3], "bestw none");
  // Candidates 1 and 2 (widths 3 and 5) fit in the block; the smaller error wins.
  const float s5 = std::stof(lines[2].substr(lines[2].rfind(' ') + 1));
  EXPECT_EQ(lines[4], s5 < s3 ? "argmin 2" : "argmin 1");
}

TEST(WindowTool, KernelColumnEqualsCpuColumnAndStopsAt1249) {
  TempDir dir;
  for (int n : {21, 504, 1300}) {
    std::string text;
    for (int i = 0; i < n; ++i) text += std::to_string((i * 7919 % 1000) / 1000.0) + "\n";
    write_file(dir.file("p.txt"), text);
    const auto r = run_process(bin("ldpcsw-window"), {dir.file("p.txt")}, dir.path);
    ASSERT_EQ(r.exit_code, 0) << r.err;
    const auto lines = lines_of(r.out);
    const int widths = ((n < 1249 ? n : 1249) + 1) / 2;
    ASSERT_EQ(static_cast<int>(lines.size()), widths + 2);
    for (int k = 0; k < widths; ++k) {
      std::istringstream in(lines[k]);
      std::string tag, cpu, kernel;
      int w = 0;
      in >> tag >> w >> cpu >> kernel;
      EXPECT_EQ(tag, "w");
      EXPECT_EQ(w, 2 * k + 1);
      EXPECT_EQ(cpu, kernel) << "n=" << n << " width " << w;
    }
    EXPECT_EQ(lines[widths].rfind("bestw ", 0), 0u);
    EXPECT_NE(lines[widths], "bestw none");
    if (n == 21) {
      EXPECT_EQ(lines[widths], "bestw 21");
    }
    EXPECT_EQ(lines[widths + 1].rfind("argmin ", 0), 0u);
    EXPECT_NE(lines[widths + 1], "argmin 0");
  }
}

TEST(WindowTool, BadFilesGetOneLineNamingTheFileAndExitOne) {
  TempDir dir;
  struct Case {
    const char* content;  // nullptr: no such file
    const char* needle;
  } cases[] = {
      {nullptr, "cannot open"},
      {"", "holds no probabilities"},
      {"\n\n", "holds no probabilities"},
      {"0.5\nzero\n", "line 2: 'zero' is not a number"},
      {"0.5 0.25\n", "line 1: '0.5 0.25' is not a number"},
      {"0.5\n\n0.25\n", "line 2 is empty"},
  };
  for (const Case& c : cases) {
    const std::string path = dir.file("profile.txt");
    std::remove(path.c_str());
    if (c.content != nullptr) write_file(path, c.content);
    const auto r = run_process(bin("ldpcsw-window"), {path}, dir.path);
    EXPECT_EQ(r.exit_code, 1) << c.needle;
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find(path), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.needle), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << "one line: " << r.err;
  }
  const auto usage = run_process(bin("ldpcsw-window"), {}, dir.path);
  EXPECT_EQ(usage.exit_code, 1);
  EXPECT_NE(usage.err.find("usage"), std::string::npos);
}

}  // namespace
}  // namespace ldpcsw

namespace ldpcsw {
namespace {

TEST(WindowTool, ValuesThatAreNoProbabilityAreRefused) {
  TempDir dir;
  for (const char* value : {"nan", "inf", "-inf", "-0.25", "1.5", "1e50"}) {
    const std::string path = dir.file("p.txt");
    write_file(path, std::string("0.5\n") + value + "\n0.25\n");
    const auto r = run_process(bin("ldpcsw-window"), {path}, dir.path);
    EXPECT_EQ(r.exit_code, 1) << value;
    EXPECT_EQ(r.out, "") << value;
    EXPECT_EQ(r.err, "ldpcsw-window: " + path + ": line 2: '" + value +
                         "' is not a probability in [0, 1]\n");
  }
  // The ends of the range are probabilities.
  write_file(dir.file("p.txt"), "0\n1\n-0\n1.0\n");
  EXPECT_EQ(run_process(bin("ldpcsw-window"), {dir.file("p.txt")}, dir.path).exit_code, 0);
}

}  // namespace
}  // namespace ldpcsw
