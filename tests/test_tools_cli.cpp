// Every program's command line: -h/--help and --version answered with exit 0, one version for
// the project, the experiment unmoved by arguments, and ldpcsw-code build refusing what the
// decoders would refuse before it does any work.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tests/support.h"

namespace ldpcsw {
namespace {

using test::bin;
using test::run_process;
using test::TempDir;

const char* const TOOLS[] = {"ldpcsw-code", "ldpcsw-plain", "ldpcsw-window", "ldpcsw-scale",
                             "ldpcsw-sweep"};

TEST(ToolsCommandLine, EveryToolAnswersHelpAndVersion) {
  TempDir dir;
  std::string version;
  for (const std::string tool : TOOLS) {
    for (const char* help : {"-h", "--help"}) {
      const auto r = run_process(bin(tool), {help}, dir.path);
      EXPECT_EQ(r.exit_code, 0) << tool << " " << help;
      EXPECT_EQ(r.err, "") << tool << " " << help;
      const std::string head = r.out.substr(0, 6);
      EXPECT_TRUE(head == "usage:" || head == "Usage:" || r.out.find("Usage: ") != std::string::npos)
          << tool << ": " << r.out;
      EXPECT_NE(r.out.find(tool), std::string::npos) << r.out;
      // The help lists every option the program takes, these two among them.
      EXPECT_NE(r.out.find("--help"), std::string::npos) << tool << ": " << r.out;
      EXPECT_NE(r.out.find("--version"), std::string::npos) << tool << ": " << r.out;
      EXPECT_NE(r.out.find("xit status"), std::string::npos) << tool << ": " << r.out;
    }
    const auto r = run_process(bin(tool), {"--version"}, dir.path);
    EXPECT_EQ(r.exit_code, 0) << tool;
    ASSERT_EQ(r.out.rfind(tool + " ", 0), 0u) << r.out;
    const std::string mine = r.out.substr(tool.size() + 1);
    if (version.empty()) version = mine;
    EXPECT_EQ(mine, version) << tool << " prints another version";
  }
  EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(version[0]))) << version;
  EXPECT_EQ(version.back(), '\n');
}

TEST(ToolsCommandLine, HelpIsNotTakenForAFileName) {
  // --help after other words still answers, and reads no file named --help.
  TempDir dir;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"x.alist", "--help"}, std::vector<std::string>{"--help"}}) {
    const auto r = run_process(bin("ldpcsw-plain"), args, dir.path);
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.out.rfind("usage: ldpcsw-plain", 0), 0u) << r.out;
  }
  const auto code = run_process(bin("ldpcsw-code"), {"build", "--help"}, dir.path);
  EXPECT_EQ(code.exit_code, 0) << code.err;
  const auto scale = run_process(bin("ldpcsw-scale"), {"big.dat", "--version"}, dir.path);
  EXPECT_EQ(scale.exit_code, 0) << scale.err;
}

TEST(ToolsCommandLine, AWrongArgumentCountIsNamed) {
  TempDir dir;
  auto r = run_process(bin("ldpcsw-plain"), {"a.alist", "b.alist"}, dir.path);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err.rfind("ldpcsw-plain: 2 arguments given, at most one (FILE) expected\n", 0), 0u)
      << r.err;
  r = run_process(bin("ldpcsw-window"), {}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("ldpcsw-window: no FILE given\n", 0), 0u) << r.err;
  r = run_process(bin("ldpcsw-window"), {"a.txt", "b.txt"}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err.rfind("ldpcsw-window: 2 arguments given, one (FILE) expected\n", 0), 0u) << r.err;
  r = run_process(bin("ldpcsw-scale"), {}, dir.path);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.err.rfind("ldpcsw-scale: no FILE given\n", 0), 0u) << r.err;
}

TEST(ToolsCommandLine, TheExperimentIgnoresItsArguments) {
  // A small matrix stands in for the shipped one: the report's counts must not move.
  TempDir dir;
  std::string rows = "24 12 6\n";
  for (int r = 0; r < 12; ++r)
    for (int k = 0; k < 6; ++k) rows += std::to_string(1 + (r + 4 * k) % 24) + (k < 5 ? " " : "\n");
  test::write_file(dir.file("Reg504252.dat"), rows);
  auto counts = [](const std::string& out) {
    const std::size_t at = out.find("FER = ");
    return at == std::string::npos ? out : out.substr(at, out.find('\n', at) - at);
  };
  const auto plain = run_process(bin("ldpcsw"), {}, dir.path);
  ASSERT_EQ(plain.exit_code, 0) << plain.err;
  for (const char* arg : {"--help", "--version", "whatever"}) {
    const auto r = run_process(bin("ldpcsw"), {arg}, dir.path);
    EXPECT_EQ(r.exit_code, 0) << arg;
    EXPECT_EQ(counts(r.out), counts(plain.out)) << arg;
  }
}

TEST(ToolsCommandLine, CodeBuildRefusesWhatTheDecodersRefuseBeforeAnyWork) {
  TempDir dir;
  struct Case {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"build", "--n", "20", "--m", "10", "--dat", "x.dat"},
       "ldpcsw-code: --n 20 is below 21, the smallest block the decoders serve\n"},
      {{"build", "--n", "30", "--m", "31", "--dat", "x.dat"},
       "ldpcsw-code: --m 31 exceeds --n 30; the decoders need m <= n\n"},
  };
  for (const Case& c : cases) {
    const auto r = run_process(bin("ldpcsw-code"), c.args, dir.path);
    EXPECT_EQ(r.exit_code, 2);
    EXPECT_EQ(r.out, "") << "refused before any construction";
    EXPECT_EQ(r.err.rfind(c.message, 0), 0u) << r.err;
    EXPECT_FALSE(std::filesystem::exists(dir.file("x.dat")));
  }
  // The smallest block the decoders take is built, and the experiment's reader takes it.
  const auto r = run_process(bin("ldpcsw-code"),
                             {"build", "--n", "21", "--m", "21", "--column-weight", "2", "--dat",
                              "Reg504252.dat"},
                             dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(run_process(bin("ldpcsw"), {}, dir.path).exit_code, 0);
}

}  // namespace
}  // namespace ldpcsw
