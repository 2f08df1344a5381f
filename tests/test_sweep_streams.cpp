// The sweep's block streams and counts, pinned: a CSV made today must be reproduced, count for
// count, by every later version of ldpcsw-sweep. The values below were computed once by the
// engine and are written here as literals; any change to how a block's source bits or noise
// are drawn (key, counters, threshold, bit order) breaks them. Only the engine's public
// functions and the program's command line are used, never how blocks are handed to workers,
// and CSV columns are found by their names, so that neither new columns nor a new schedule
// disturbs the check.
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support.h"
#include "sweep/engine.h"

using namespace ldpcsw::sweep;
using ldpcsw::test::bin;
using ldpcsw::test::read_file;
using ldpcsw::test::run_process;
using ldpcsw::test::TempDir;

namespace {

// Bits first .. first + 63 of a block as one word, bit first in the lowest place.
std::uint64_t word_of(const std::vector<std::int8_t>& bits, int first) {
  std::uint64_t w = 0;
  for (int j = 0; j < 64; ++j) w |= static_cast<std::uint64_t>(bits[first + j] & 1) << j;
  return w;
}

struct BlockAnswer {
  std::uint64_t block;
  std::uint64_t x_first, noise_first;  // bits 0..63 of x and of x XOR y
  std::uint64_t x_last, noise_last;    // bits 440..503
  int ones, flips;                     // over all 504 bits
};

struct PointAnswer {
  std::uint64_t seed;
  double p;
  PhiloxKey key;
  std::uint64_t threshold;
  std::vector<BlockAnswer> blocks;
};

const std::vector<PointAnswer>& answers() {
  static const std::vector<PointAnswer> a = {
      {1, 0.08, {0x9c504ccdu, 0x836676d7u}, 343597384,
       {{0, 0xf5e1d3691b051a38ull, 0x0002002000202010ull, 0x63e7d65bc2cb29b7ull, 0x0000004008120000ull, 269, 35},
        {1, 0xd7a261d1e413b1e3ull, 0x000000000002800aull, 0x74e3614c6300f220ull, 0x0400012800000480ull, 251, 50},
        {99999, 0xdd38f61e08a8c876ull, 0x6403000010c00000ull, 0x3434ee20ed09695full, 0x0004108000000000ull, 247, 48},
        {(1ull << 32) + 5, 0xd48f8104b987689dull, 0x8002000011800300ull, 0xf190de90cfc06fe3ull, 0x0000000000000001ull, 255, 36}}},
      {7, 0.03, {0x53e2eaccu, 0x4fefae94u}, 128849019,
       {{0, 0x62f74abba6e6dd55ull, 0x0000080040000000ull, 0xce10b72ba1a637eaull, 0x2000040000002000ull, 262, 12},
        {1, 0xeeed1cbb2bf03520ull, 0x0000001010000000ull, 0x8b085513c5c170b5ull, 0x2000000200020000ull, 255, 19},
        {99999, 0xb2144003cb5e7cd9ull, 0x0000000000000000ull, 0x3f52a63d82df2e34ull, 0x0000000040200020ull, 243, 13},
        {(1ull << 32) + 5, 0x6627d5f0f00290e7ull, 0x0401000000000000ull, 0xfab30d2f1626b876ull, 0x4200000000000008ull, 263, 18}}},
      {123456789, 0.5, {0x311fdc5cu, 0x5b57bb50u}, 2147483648ull,
       {{0, 0x6498580243e5b4c2ull, 0x55929d219669ab4eull, 0x78119b9cec664123ull, 0xa3ac8ade4ceb5167ull, 255, 255},
        {1, 0xb2331e2a84de88dcull, 0x8b9913149639e00cull, 0x097c659ed939899cull, 0xef3ee13a3292f3caull, 243, 250},
        {99999, 0xb7d30a47d0ca7412ull, 0x065091d0e891a786ull, 0x89b865a67fd9f21cull, 0x65550e027167a66eull, 257, 239},
        {(1ull << 32) + 5, 0xb5aa7d65bea0007aull, 0xbfa49dcc471e9a7bull, 0x78967b8f805cfb73ull, 0x3ea25a531cbafee2ull, 247, 262}}},
      {~0ull, 1e-3, {0xb058af42u, 0xaf463c40u}, 4294967,
       {{0, 0x4e9e7d3d7d7f2ef7ull, 0, 0x6592cc05acfc71a1ull, 0, 283, 0},
        {99999, 0xc410c1b135ed017cull, 0, 0xc1041f197320fa9full, 0, 256, 0}}},
  };
  return a;
}

// One CSV file as rows of named fields.
std::vector<std::map<std::string, std::string>> csv_rows(const std::string& text) {
  std::vector<std::map<std::string, std::string>> rows;
  std::istringstream lines(text);
  std::string line;
  std::vector<std::string> names;
  auto split = [](const std::string& l) {
    std::vector<std::string> fields;
    std::string field;
    std::istringstream in(l);
    while (std::getline(in, field, ',')) fields.push_back(field);
    return fields;
  };
  while (std::getline(lines, line)) {
    if (line.empty()) continue;
    if (names.empty()) {
      names = split(line);
      continue;
    }
    const std::vector<std::string> fields = split(line);
    std::map<std::string, std::string> row;
    for (std::size_t k = 0; k < fields.size() && k < names.size(); ++k) row[names[k]] = fields[k];
    rows.push_back(row);
  }
  return rows;
}

// The counts of one row, by column name; avg_iterations read as a number (its text may be
// written differently, its value may not).
std::string counts_of(const std::map<std::string, std::string>& row) {
  std::ostringstream s;
  for (const char* name : {"p", "blocks", "frame_errors", "bit_errors"}) {
    const auto it = row.find(name);
    s << name << "=" << (it == row.end() ? "<missing>" : it->second) << " ";
  }
  const auto it = row.find("avg_iterations");
  s.precision(17);
  s << "avg_iterations=" << (it == row.end() ? -1.0 : std::stod(it->second));
  return s.str();
}

}  // namespace

TEST(SweepStreamsPinned, KeysThresholdsAndBlocksKeepTheirBits) {
  const int n = 504;
  std::vector<std::int8_t> x(n), y(n), noise(n);
  for (const PointAnswer& point : answers()) {
    SCOPED_TRACE("seed " + std::to_string(point.seed) + " p " + std::to_string(point.p));
    EXPECT_EQ(point_key(point.seed, point.p), point.key);
    EXPECT_EQ(noise_threshold(point.p), point.threshold);
    for (const BlockAnswer& b : point.blocks) {
      SCOPED_TRACE("block " + std::to_string(b.block));
      draw_sweep_block(point.key, b.block, point.threshold, x.data(), y.data(), n);
      int ones = 0, flips = 0;
      for (int j = 0; j < n; ++j) {
        noise[j] = static_cast<std::int8_t>(x[j] ^ y[j]);
        ones += x[j];
        flips += noise[j];
      }
      EXPECT_EQ(word_of(x, 0), b.x_first);
      EXPECT_EQ(word_of(noise, 0), b.noise_first);
      EXPECT_EQ(word_of(x, n - 64), b.x_last);
      EXPECT_EQ(word_of(noise, n - 64), b.noise_last);
      EXPECT_EQ(ones, b.ones);
      EXPECT_EQ(flips, b.flips);
    }
  }
  // The ends of the probability range.
  EXPECT_EQ(noise_threshold(0.0), 0u);
  EXPECT_EQ(noise_threshold(1.0), 1ull << 32);
}

TEST(SweepStreamsPinned, ShorterBlocksArePrefixesAndSourceDoesNotDependOnP) {
  // A block of n bits is the first n bits of a longer one, whatever n's remainder modulo the
  // 128 source bits and four noise words of one counter; and the source bits do not depend
  // on the threshold, only on the key and the block.
  const PointAnswer& point = answers()[0];
  std::vector<std::int8_t> x(504), y(504), xs(504), ys(504);
  draw_sweep_block(point.key, 3, point.threshold, x.data(), y.data(), 504);
  for (int n : {21, 127, 129, 130, 503}) {
    draw_sweep_block(point.key, 3, point.threshold, xs.data(), ys.data(), n);
    for (int j = 0; j < n; ++j) {
      ASSERT_EQ(xs[j], x[j]) << "n " << n << " bit " << j;
      ASSERT_EQ(ys[j], y[j]) << "n " << n << " bit " << j;
    }
  }
  draw_sweep_block(point.key, 3, 0, xs.data(), ys.data(), 504);
  EXPECT_EQ(xs, x);
  EXPECT_EQ(ys, xs);  // no noise at threshold 0
  draw_sweep_block(point.key, 3, 1ull << 32, xs.data(), ys.data(), 504);
  EXPECT_EQ(xs, x);
  for (int j = 0; j < 504; ++j) EXPECT_EQ(ys[j], 1 - xs[j]);  // every bit flipped
}

// The shipped curve's last points (those that reach 100 frame errors within a few hundred
// blocks), recomputed by the program, must equal the shipped CSV's counts.
TEST(SweepStreamsPinned, ShippedCurveCountsAreReproduced) {
  TempDir dir;
  const std::string csv = dir.file("again.csv");
  const auto r = run_process(bin("ldpcsw-sweep"),
                             {"--matrix", std::string(LDPCSW_DATA_DIR) + "/Reg504252.dat", "--p",
                              "0.07:0.1:0.01", "--blocks", "100000", "--max-frame-errors", "100",
                              "--seed", "1", "--threads", "2", "--csv", csv, "-q"},
                             dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto shipped = csv_rows(read_file(std::string(LDPCSW_DATA_DIR) + "/../docs/sweep-Reg504252.csv"));
  const auto again = csv_rows(read_file(csv));
  ASSERT_EQ(again.size(), 4u) << read_file(csv);
  int matched = 0;
  for (const auto& row : again) {
    for (const auto& s : shipped) {
      if (s.at("p") != row.at("p")) continue;
      EXPECT_EQ(counts_of(row), counts_of(s));
      ++matched;
    }
  }
  EXPECT_EQ(matched, 4);
}

// The plain decoder, another seed, fixed block counts without an early stop: counts computed
// once by today's program. At p = 0.005 some blocks carry no flip at all; they decode in one
// iteration only because decoding starts from the complement of y, which the average pins.
TEST(SweepStreamsPinned, PlainDecoderCountsForAnotherSeed) {
  TempDir dir;
  const std::string csv = dir.file("plain.csv");
  const auto r = run_process(bin("ldpcsw-sweep"),
                             {"--matrix", std::string(LDPCSW_DATA_DIR) + "/Reg504252.alist",
                              "--decoder", "plain", "--p", "0.005,0.05,0.07", "--blocks", "500",
                              "--max-frame-errors", "0", "--seed", "42", "--threads", "2", "--csv",
                              csv, "-q"},
                             dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto rows = csv_rows(read_file(csv));
  ASSERT_EQ(rows.size(), 3u) << read_file(csv);
  EXPECT_EQ(counts_of(rows[0]), counts_of({{"p", "0.005"},
                                           {"blocks", "500"},
                                           {"frame_errors", "0"},
                                           {"bit_errors", "0"},
                                           {"avg_iterations", "1.098"}}));
  EXPECT_EQ(counts_of(rows[1]), counts_of({{"p", "0.05"},
                                           {"blocks", "500"},
                                           {"frame_errors", "3"},
                                           {"bit_errors", "67"},
                                           {"avg_iterations", "5.892"}}));
  EXPECT_EQ(counts_of(rows[2]), counts_of({{"p", "0.07"},
                                           {"blocks", "500"},
                                           {"frame_errors", "92"},
                                           {"bit_errors", "2962"},
                                           {"avg_iterations", "22.396"}}));
}

// The adaptive decoder at low noise, where many blocks hold no flip: iterations pinned.
TEST(SweepStreamsPinned, AdaptiveDecoderAtLowNoise) {
  TempDir dir;
  const std::string csv = dir.file("low.csv");
  const auto r = run_process(bin("ldpcsw-sweep"),
                             {"--matrix", std::string(LDPCSW_DATA_DIR) + "/Reg504252.dat", "--p",
                              "0.002,0.01", "--blocks", "300", "--max-frame-errors", "0", "--seed",
                              "5", "--threads", "2", "--csv", csv, "-q"},
                             dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const auto rows = csv_rows(read_file(csv));
  ASSERT_EQ(rows.size(), 2u) << read_file(csv);
  EXPECT_EQ(counts_of(rows[0]), counts_of({{"p", "0.002"},
                                           {"blocks", "300"},
                                           {"frame_errors", "0"},
                                           {"bit_errors", "0"},
                                           {"avg_iterations", "1.02"}}));
  EXPECT_EQ(counts_of(rows[1]), counts_of({{"p", "0.01"},
                                           {"blocks", "300"},
                                           {"frame_errors", "0"},
                                           {"bit_errors", "0"},
                                           {"avg_iterations", "1.3233333333333333"}}));
}
