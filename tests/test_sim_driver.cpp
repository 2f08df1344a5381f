// The fixed experiment run as a process in a temporary folder, as a user runs it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "code/blocks.h"
#include "decode/adaptive.h"
#include "decode/scratch.h"
#include "platform/crt.h"
#include "tests/support.h"

using namespace ldpcsw;

namespace {

const std::string kCpuLine =
    "\xD4\xDA" "CPU\xC9\xCF\xB4\xAE\xD0\xD0\xD6\xB4\xD0\xD0\xCA\xB1\xBC\xE4\xCE\xAA" "time=";
const std::string kGpuLine = "\xD4\xDA" "GPU\xC9\xCF\xB2\xA2\xD0\xD0" "kernel time=";

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.compare(0, prefix.size(), prefix) == 0;
}

}  // namespace

TEST(Experiment, ShippedMatrixReport) {
  test::TempDir dir;
  test::write_file(dir.file("Reg504252.dat"),
                   test::read_file(std::string(LDPCSW_DATA_DIR) + "/Reg504252.dat"));
  // Arguments are ignored.
  const test::ProcessResult r = test::run_process(test::bin("ldpcsw"), {"--ignored"}, dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.err, "");
  ASSERT_EQ(r.out.back(), '\n');
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_GE(lines.size(), 3u);

  // One CPU time line per estimation step, each followed by the device stage's line.
  const std::regex time_value(R"(\d+\.\d{6}\(ms\))");
  std::size_t cpu_lines = 0, gpu_lines = 0;
  for (std::size_t i = 0; i + 3 < lines.size(); ++i) {
    if (starts_with(lines[i], kCpuLine)) {
      ++cpu_lines;
      EXPECT_TRUE(std::regex_match(lines[i].substr(kCpuLine.size()), time_value)) << lines[i];
#ifndef LDPCSW_DEVICE_CUDA
      // The host backend always completes its search: the device line follows at once.
      EXPECT_TRUE(i + 4 < lines.size() && starts_with(lines[i + 1], kGpuLine)) << "line " << i;
#endif
    } else if (starts_with(lines[i], kGpuLine)) {
      ++gpu_lines;
      EXPECT_TRUE(std::regex_match(lines[i].substr(kGpuLine.size()), time_value)) << lines[i];
    } else {
      ADD_FAILURE() << "unexpected line " << i << ": " << lines[i];
    }
  }
  // The blocks, the decoder and the matrix fix how many estimation steps run.
  EXPECT_EQ(cpu_lines, 392u);
#ifndef LDPCSW_DEVICE_CUDA
  EXPECT_EQ(gpu_lines, 392u);
#endif

  const std::size_t last = lines.size();
  EXPECT_TRUE(std::regex_match(lines[last - 3], std::regex(R"(Running time: \d+(\.\d+)?s)")))
      << lines[last - 3];
  EXPECT_EQ(lines[last - 2], "FER = 0.45, BER = 0.0331052");
  EXPECT_TRUE(std::regex_match(
      lines[last - 1],
      std::regex("average CPU time = \\S+, average GPU thrust time = \\S+, average GPU cublas "
                 "time = \\S+, average GPU kernel time = \\S+")))
      << lines[last - 1];
#ifndef LDPCSW_DEVICE_CUDA
  // Every search completed: finite averages, and the two never-added times print as 0.
  double cpu = 0, thrust = -1, cublas = -1, kernel = 0;
  ASSERT_EQ(std::sscanf(lines[last - 1].c_str(),
                        "average CPU time = %lf, average GPU thrust time = %lf, average GPU "
                        "cublas time = %lf, average GPU kernel time = %lf",
                        &cpu, &thrust, &cublas, &kernel),
            4);
  EXPECT_TRUE(std::isfinite(cpu) && cpu > 0);
  EXPECT_TRUE(std::isfinite(kernel) && kernel > 0);
  EXPECT_EQ(thrust, 0.0);
  EXPECT_EQ(cublas, 0.0);
#endif
}

// The report's rates recounted from the decoder's own decisions on the experiment's blocks,
// for a matrix under which many failed blocks hold a single bit error: one check over bits
// 2..21 and bit 1 in no check, so a flip of bit 1, or one flip among the others, is left as it
// is. A frame error is any block with at least one bit error.
TEST(Experiment, ReportCountsEveryFailedBlockAndBitError) {
  const int n = 21, m = 1, blocks = EXPERIMENT_BLOCKS;
  std::string file = "21 1 20\n";
  ParityCheckMatrix h{n, m, {0, 20}, {}};
  for (int c = 2; c <= n; ++c) {
    file += std::to_string(c) + (c < n ? " " : "\n");
    h.jc.push_back(c - 1);
  }
  test::TempDir dir;
  test::write_file(dir.file("Reg504252.dat"), file);
  const test::ProcessResult r = test::run_process(test::bin("ldpcsw"), {}, dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;

  std::vector<std::int8_t> x(n), y(n), s(m), x_hat(n, 0), bytes(byte_scratch_size(20, m));
  std::vector<double> numbers(number_scratch_size(20, n));
  double frames = 0.0, bits = 0.0;
  int single = 0;
  crt_rand_reset();
  for (int b = 0; b < blocks; ++b) {
    draw_block(x.data(), y.data(), n, EXPERIMENT_P_SOURCE, EXPERIMENT_P_CROSS);
    compute_syndrome(h.ir.data(), h.jc.data(), m, x.data(), s.data());
    decode_syndrome_adaptive_with(h.ir.data(), h.jc.data(), m, n, y.data(), s.data(),
                                  x_hat.data(), bytes.data(), numbers.data(),
                                  EXPERIMENT_P_SOURCE, EXPERIMENT_P_CROSS, nullptr, nullptr,
                                  nullptr);
    const int errors = count_bit_errors(x_hat.data(), x.data(), n);
    frames += errors > 0;
    bits += errors;
    single += errors == 1;
  }
  ASSERT_GT(single, 20);
  std::ostringstream expected;
  expected << "FER = " << frames / blocks << ", BER = " << bits / (blocks * static_cast<double>(n));
  const std::vector<std::string> lines = lines_of(r.out);
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 2], expected.str());
}

TEST(Experiment, MissingMatrixFile) {
  test::TempDir dir;
  const test::ProcessResult r = test::run_process(test::bin("ldpcsw"), {}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "LDPC code file doesn't exist!\n");
  EXPECT_EQ(r.err, "");
}

TEST(Experiment, BadMatrixFileIsRefusedWithOneLine) {
  struct Case {
    const char* content;
    const char* message;
  } cases[] = {
      {"504 252 6\n1 2 3 4 5 505\n", "Reg504252.dat: column 505 is outside 1..504 in row 1\n"},
      {"504 252 6\n1 2 3\n", "Reg504252.dat: row 1, slot 4: the file ends early\n"},
      {"", "Reg504252.dat: the file is empty\n"},
      {"300 400 6\n", "Reg504252.dat: header: m = 400 exceeds n = 300; the decoder needs m <= n\n"},
  };
  for (const auto& c : cases) {
    test::TempDir dir;
    test::write_file(dir.file("Reg504252.dat"), c.content);
    const test::ProcessResult r = test::run_process(test::bin("ldpcsw"), {}, dir.path);
    EXPECT_EQ(r.exit_code, 1) << c.content;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, c.message);
  }
}

// A complete file of a few bytes can describe a matrix whose arrays need far more memory than
// there is (here 34 GB for two billion columns): refused with a line, not an abort. The limit
// on the address space makes the allocation fail on any machine; sanitizer runtimes reserve
// terabytes of address space up front and cannot run under such a limit.
#if defined(__SANITIZE_ADDRESS__)
#define LDPCSW_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LDPCSW_UNDER_ASAN 1
#endif
#endif
TEST(Experiment, MatrixTooLargeForMemoryIsRefusedWithOneLine) {
#ifdef LDPCSW_UNDER_ASAN
  GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#endif
  test::TempDir dir;
  test::write_file(dir.file("Reg504252.dat"), "2147483647 1 1\n5\n");
  const test::ProcessResult r = test::run_process(
      "/bin/sh", {"-c", "ulimit -v 1000000 && exec '" + test::bin("ldpcsw") + "'"}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.err,
            "Reg504252.dat: n = 2147483647, m = 1, 1 ones: not enough memory for the decoder's "
            "arrays\n");
}
