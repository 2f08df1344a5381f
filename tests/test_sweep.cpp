// The sweep's library: block streams, interval arithmetic, the round fold and the process
// split, counts that do not depend on threads, processes or interruptions, the options and
// the CSV read back for --resume.
#include <gtest/gtest.h>

#include <barrier>
#include <cmath>
#include <cstdio>
#include <sstream>
#include <system_error>
#include <thread>
#include <tuple>

#include "sweep/engine.h"
#include "tests/local_collective.h"
#include "sweep/input.h"
#include "sweep/report.h"
#include "sweep/stats.h"
#include "tests/support.h"
#include "tools/sweep/options.h"
#include "tools/sweep/sweep.h"

using namespace ldpcsw::sweep;

namespace {

const std::string SHIPPED_ROWS = std::string(LDPCSW_DATA_DIR) + "/Reg504252.dat";
const std::string SHIPPED_ALIST = std::string(LDPCSW_DATA_DIR) + "/Reg504252.alist";

const SweepCode& shipped() {
  static const SweepCode code = [] {
    SweepCode c;
    std::string error;
    if (!load_sweep_code(SHIPPED_ROWS, MatrixFormat::detect, c, error)) ADD_FAILURE() << error;
    return c;
  }();
  return code;
}

using ldpcsw::test::LocalGroup;
using ldpcsw::test::LocalRank;

PointResult run(const PointTask& task, int threads, const PointCounts& start = {},
                const std::atomic<bool>* stop = nullptr, const ProgressFn& progress = {}) {
  SoloCollective solo;
  WorkerPool pool(threads);
  std::vector<BlockWorkspace> ws(static_cast<std::size_t>(threads), BlockWorkspace(shipped()));
  return run_point(shipped(), DecoderKind::adaptive, task, start, pool, ws, solo, threads, stop,
                   progress);
}

// The definition the engine must meet: blocks 0, 1, 2, ... one by one until K failures.
PointCounts serial_reference(const PointTask& task, DecoderKind decoder) {
  BlockWorkspace ws(shipped());
  const PhiloxKey key = point_key(task.seed, task.p);
  PointCounts c;
  while (!point_finished(c, task.blocks, task.max_frame_errors)) {
    const auto [bit_errors, iterations, undetected] =
        decode_block(shipped(), decoder, ws, key, noise_threshold(task.p), task.p,
                     static_cast<std::uint64_t>(c.blocks));
    c.undetected_errors += undetected ? 1 : 0;
    c.blocks += 1;
    c.bit_errors += bit_errors;
    c.bit_errors_sq += static_cast<std::int64_t>(bit_errors) * bit_errors;
    c.frame_errors += bit_errors > 0;
    c.iterations += iterations;
  }
  return c;
}

}  // namespace

TEST(SweepStreams, PhiloxMatchesPublishedAnswers) {
  EXPECT_EQ(philox4x32_10({0, 0, 0, 0}, {0, 0}),
            (PhiloxCounter{0x6627e8d5u, 0xe169c58du, 0xbc57ac4cu, 0x9b00dbd8u}));
  EXPECT_EQ(philox4x32_10({~0u, ~0u, ~0u, ~0u}, {~0u, ~0u}),
            (PhiloxCounter{0x408f276du, 0x41c83b0eu, 0xa20bc7c6u, 0x6d5451fdu}));
  EXPECT_EQ(philox4x32_10({0x243f6a88u, 0x85a308d3u, 0x13198a2eu, 0x03707344u},
                          {0xa4093822u, 0x299f31d0u}),
            (PhiloxCounter{0xd16cfe09u, 0x94fdccebu, 0x5001e420u, 0x24126ea1u}));
}

TEST(SweepStreams, BlocksDependOnSeedPAndIndexOnlyAndHaveTheRightNoise) {
  const int n = 504;
  std::vector<std::int8_t> x(n), y(n), x2(n), y2(n);
  const PhiloxKey key = point_key(7, 0.1);
  draw_sweep_block(key, 12345, noise_threshold(0.1), x.data(), y.data(), n);
  draw_sweep_block(key, 12345, noise_threshold(0.1), x2.data(), y2.data(), n);
  EXPECT_EQ(x, x2);
  EXPECT_EQ(y, y2);
  for (auto [seed, p, block] : {std::tuple{8ull, 0.1, 12345ull}, std::tuple{7ull, 0.1000001, 12345ull},
                                std::tuple{7ull, 0.1, 12346ull}}) {
    draw_sweep_block(point_key(seed, p), block, noise_threshold(p), x2.data(), y2.data(), n);
    EXPECT_NE(x, x2) << seed << " " << p << " " << block;
  }
  // Over 400 blocks: source ones near 1/2, flips near p (within five standard deviations).
  long ones = 0, flips = 0;
  const long bits = 400L * n;
  for (std::uint64_t b = 0; b < 400; ++b) {
    draw_sweep_block(key, b, noise_threshold(0.1), x.data(), y.data(), n);
    for (int j = 0; j < n; ++j) {
      ones += x[j];
      flips += x[j] ^ y[j];
    }
  }
  EXPECT_NEAR(static_cast<double>(ones) / bits, 0.5, 5 * std::sqrt(0.25 / bits));
  EXPECT_NEAR(static_cast<double>(flips) / bits, 0.1, 5 * std::sqrt(0.09 / bits));
  EXPECT_EQ(noise_threshold(0.5), 1ull << 31);
}

TEST(SweepStats, WilsonIntervalAndEntropy) {
  const double z2 = Z95 * Z95;
  Interval none = wilson_interval(0, 10);
  EXPECT_EQ(none.estimate, 0.0);
  EXPECT_EQ(none.lo, 0.0);
  EXPECT_NEAR(none.hi, z2 / (10 + z2), 1e-12);
  Interval all = wilson_interval(10, 10);
  EXPECT_NEAR(all.lo, 10 / (10 + z2), 1e-12);
  EXPECT_EQ(all.hi, 1.0);
  Interval half = wilson_interval(5, 10);
  EXPECT_NEAR(half.lo, 0.236593, 1e-6);
  EXPECT_NEAR(half.hi, 0.763407, 1e-6);
  // Mirror symmetry, and the interval holds the estimate for a large skewed count.
  Interval a = wilson_interval(3, 1000000), b = wilson_interval(999997, 1000000);
  EXPECT_NEAR(a.lo, 1 - b.hi, 1e-12);
  EXPECT_NEAR(a.hi, 1 - b.lo, 1e-12);
  EXPECT_LT(a.lo, 3e-6);
  EXPECT_GT(a.hi, 3e-6);
  Interval empty = wilson_interval(0, 0);
  EXPECT_TRUE(std::isnan(empty.estimate));
  EXPECT_EQ(empty.lo, 0.0);
  EXPECT_EQ(empty.hi, 1.0);

  EXPECT_EQ(binary_entropy(0.5), 1.0);
  EXPECT_EQ(binary_entropy(0.0), 0.0);
  EXPECT_NEAR(binary_entropy(0.08), 0.402179190202272, 1e-12);
  const double limit = slepian_wolf_limit(0.5);
  EXPECT_NEAR(limit, 0.110028, 1e-6);
  EXPECT_NEAR(binary_entropy(limit), 0.5, 1e-12);
}

// Equal error counts in every block have no spread between blocks: the design effect is 1 and
// the bit interval is exactly the Wilson interval over all bits, never wider and never the
// uninformative [0, 1] (or a point) that a design effect of 0 would give.
TEST(SweepStats, ClusterIntervalWithoutSpreadIsTheWilsonIntervalOverAllBits) {
  for (const auto& [blocks, errors, n] :
       {std::tuple{1000, 3, 504}, std::tuple{40, 1, 1000}, std::tuple{2, 250, 504}}) {
    const std::int64_t sum = std::int64_t{blocks} * errors, sq = sum * errors;
    const Interval got = cluster_interval(sum, sq, blocks, n);
    const Interval want = wilson_interval(sum, std::int64_t{blocks} * n);
    EXPECT_DOUBLE_EQ(got.estimate, want.estimate);
    EXPECT_DOUBLE_EQ(got.lo, want.lo) << blocks << " x " << errors;
    EXPECT_DOUBLE_EQ(got.hi, want.hi) << blocks << " x " << errors;
    EXPECT_GT(got.lo, 0.0);
    EXPECT_LT(got.hi, 1.0);
    EXPECT_LT(got.lo, got.hi);
  }
}

// splitmix64: a small, fixed generator for the synthetic data below.
struct Mix {
  std::uint64_t state;
  std::uint64_t next() {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
};

// Bit errors come in bursts: a block fails with probability f and then has 1..60 wrong bits
// out of 504. Over many repeated sweeps of 2,000 blocks (about 40 failed blocks each), the
// nominal 95% interval must hold the true bit error rate in at least 93% of them; the
// interval that takes every bit as an independent trial covers far less.
TEST(SweepStats, ClusterIntervalKeepsItsCoverageOnBurstyErrors) {
  constexpr int n = 504, blocks = 2000, reps = 1500, burst = 60;
  for (const double f : {0.02, 0.006}) {
    const double truth = f * (1 + burst) / 2.0 / n;
    Mix rng{static_cast<std::uint64_t>(f * 1e6)};
    int cluster_covers = 0, naive_covers = 0;
    for (int rep = 0; rep < reps; ++rep) {
      std::int64_t sum = 0, sum_sq = 0;
      for (int b = 0; b < blocks; ++b) {
        if (rng.uniform() >= f) continue;
        const std::int64_t e = 1 + static_cast<std::int64_t>(rng.next() % burst);
        sum += e;
        sum_sq += e * e;
      }
      const Interval c = cluster_interval(sum, sum_sq, blocks, n);
      const Interval w = wilson_interval(sum, std::int64_t{blocks} * n);
      cluster_covers += c.lo <= truth && truth <= c.hi;
      naive_covers += w.lo <= truth && truth <= w.hi;
    }
    std::printf("f = %g: the cluster interval covers %.1f%%, the per-bit one %.1f%%\n", f,
                100.0 * cluster_covers / reps, 100.0 * naive_covers / reps);
    EXPECT_GE(cluster_covers, 0.93 * reps) << "f = " << f;
    EXPECT_LE(naive_covers, 0.6 * reps) << "f = " << f;
  }
}

// When every failed block carries the same burst of k bits, the bit interval is the frame
// interval scaled by k / n: the errors are as uncertain as the few frames that carry them.
// Without errors, or with a single block, the spread cannot be estimated and the bound is the
// frame bound.
TEST(SweepStats, ClusterIntervalFollowsTheFailedFrames) {
  const Interval frames = wilson_interval(2, 100000);
  const Interval bits = cluster_interval(2 * 26, 2 * 26 * 26, 100000, 504);
  EXPECT_DOUBLE_EQ(bits.estimate, 52.0 / (100000.0 * 504));
  EXPECT_NEAR(bits.lo / (frames.lo * 26 / 504), 1.0, 1e-3);
  EXPECT_NEAR(bits.hi / (frames.hi * 26 / 504), 1.0, 1e-3);
  EXPECT_GT(bits.hi / bits.lo, 10.0);  // the old interval: about 1.7

  const Interval none = cluster_interval(0, 0, 3000, 504);
  EXPECT_EQ(none.lo, 0.0);
  EXPECT_DOUBLE_EQ(none.hi, wilson_interval(0, 3000).hi);
  const Interval one = cluster_interval(7, 49, 1, 504);
  EXPECT_DOUBLE_EQ(one.hi, wilson_interval_real(7.0 / 504, 1).hi);
  // Independent errors (every failed block one bit) keep the binomial interval.
  const Interval single = cluster_interval(40, 40, 100000, 504);
  const Interval binomial = wilson_interval(40, std::int64_t{100000} * 504);
  EXPECT_NEAR(single.lo, binomial.lo, 1e-3 * binomial.lo);
  EXPECT_NEAR(single.hi, binomial.hi, 1e-3 * binomial.hi);
  const Interval empty = cluster_interval(0, 0, 0, 504);
  EXPECT_TRUE(std::isnan(empty.estimate));
}

TEST(SweepRounds, FoldStopsAtTheKthFailureOrAtAGap) {
  // Blocks: ok, fail(3), ok, fail(1, undetected), fail(2), ok
  const std::vector<std::int64_t> o = {1, 0, 4, 0, 1, 3, 50, 0, 1, 0, 5, 0,
                                       1, 1, 9, 1, 1, 2, 50, 0, 1, 0, 3, 0};
  PointCounts c;
  EXPECT_EQ(absorb_round(c, o.data(), 6, 2), 4);
  EXPECT_EQ(c, (PointCounts{4, 2, 4, 68, 10, 1}));
  c = {};
  EXPECT_EQ(absorb_round(c, o.data(), 6, 0), 6);
  EXPECT_EQ(c, (PointCounts{6, 3, 6, 121, 14, 1}));
  std::vector<std::int64_t> gap = o;
  gap[2 * OUTCOME_SLOTS] = 0;  // block 2 never taken: blocks 3.. are not counted
  c = {};
  EXPECT_EQ(absorb_round(c, gap.data(), 6, 0), 2);
  EXPECT_EQ(c, (PointCounts{2, 1, 3, 54, 9, 0}));
}

TEST(SweepRounds, RankSharesTileTheRound) {
  for (int size = 1; size <= 7; ++size) {
    for (std::int64_t length = 0; length <= 20; ++length) {
      std::int64_t expect = 100;
      for (int rank = 0; rank < size; ++rank) {
        const auto [first, last] = rank_share(100, length, rank, size);
        EXPECT_EQ(first, expect);
        EXPECT_GE(last - first, length / size);
        EXPECT_LE(last - first, length / size + 1);
        expect = last;
      }
      EXPECT_EQ(expect, 100 + length);
    }
  }
  PointCounts c{990, 0, 0, 0};
  EXPECT_EQ(next_round_length(c, 1000, 10, 4, 0), 8);
  EXPECT_EQ(next_round_length(c, 1000, 10, 4, 9), 10);  // never past `blocks`
  c = {100, 5, 0, 0};                                     // about 100 more blocks to 10 failures
  EXPECT_EQ(next_round_length(c, 100000, 10, 3, 9), 102);
  c = {100, 0, 0, 0};
  EXPECT_EQ(next_round_length(c, 100000, 10, 3, 9), 3 * 64);
  EXPECT_EQ(next_round_length(c, 100000, 10, 3, 9, 2), 3 * 256);
}

TEST(SweepCounts, SameForAnyThreadsAndProcessesAndEqualToTheSerialDefinition) {
  // p = 0.07 fails about one block in five: 30 failures end the point inside a round.
  const PointTask task{0.07, 400, 30, 11};
  const PointCounts reference = serial_reference(task, DecoderKind::adaptive);
  ASSERT_EQ(reference.frame_errors, 30);
  ASSERT_LT(reference.blocks, 400);
  for (int threads : {1, 2, 5}) {
    const PointResult r = run(task, threads);
    EXPECT_TRUE(r.finished);
    EXPECT_EQ(r.counts, reference) << threads << " threads";
  }

  // Three simulated processes with 1, 2 and 3 threads.
  LocalGroup group(3);
  std::vector<PointResult> results(3);
  std::vector<std::thread> ranks;
  for (int rank = 0; rank < 3; ++rank) {
    ranks.emplace_back([&, rank] {
      LocalRank me(group, rank);
      WorkerPool pool(rank + 1);
      std::vector<BlockWorkspace> ws(static_cast<std::size_t>(rank + 1), BlockWorkspace(shipped()));
      results[rank] = run_point(shipped(), DecoderKind::adaptive, task, {}, pool, ws, me, 6,
                                nullptr, {});
    });
  }
  for (auto& t : ranks) t.join();
  for (const PointResult& r : results) EXPECT_EQ(r.counts, reference);

  // Without an early stop every block is counted; the plain decoder too.
  const PointTask all{0.07, 60, 0, 11};
  SoloCollective solo;
  WorkerPool pool(2);
  std::vector<BlockWorkspace> ws(2, BlockWorkspace(shipped()));
  const PointResult plain =
      run_point(shipped(), DecoderKind::plain, all, {}, pool, ws, solo, 2, nullptr, {});
  EXPECT_EQ(plain.counts, serial_reference(all, DecoderKind::plain));
  EXPECT_EQ(plain.counts.blocks, 60);
}

TEST(SweepCounts, InterruptedMidRoundAndResumedEqualsUninterrupted) {
  const PointTask task{0.06, 300, 12, 5};
  const PointCounts whole = run(task, 3).counts;
  for (std::int64_t after : {1, 7, 40}) {
    std::atomic<bool> stop{false};
    // Worker 0 raises the flag after its `after`-th block of a round; the other workers are
    // then in the middle of blocks that must still be counted.
    const PointResult cut = run(task, 3, {}, &stop, [&](const PointCounts&, std::int64_t done) {
      if (done >= after) stop = true;
    });
    ASSERT_TRUE(cut.interrupted);
    ASSERT_FALSE(cut.finished);
    ASSERT_GT(cut.counts.blocks, 0);
    const PointResult resumed = run(task, 2, cut.counts);
    EXPECT_TRUE(resumed.finished);
    EXPECT_EQ(resumed.counts, whole) << "stopped after " << after;
  }
}

TEST(SweepThreads, APoolWhoseThreadsCannotStartRunsWithThoseThatDid) {
  // The system refuses the fourth thread: the pool keeps workers 0..3, says why, and a point
  // decoded on it has the counts of any other thread count.
  int starts = 0;
  const ThreadStarter refuse_fourth = [&](std::function<void()> body) {
    if (++starts == 4)
      throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
    return std::thread(std::move(body));
  };
  {
    WorkerPool pool(9, refuse_fourth);
    EXPECT_EQ(pool.size(), 4);
    EXPECT_NE(pool.start_error().find("unavailable"), std::string::npos) << pool.start_error();
    const PointTask task{0.07, 40, 0, 3};
    SoloCollective solo;
    std::vector<BlockWorkspace> ws(4, BlockWorkspace(shipped()));
    const PointResult r = run_point(shipped(), DecoderKind::adaptive, task, {}, pool, ws, solo,
                                    pool.size(), nullptr, {});
    EXPECT_EQ(r.counts, run(task, 1).counts);
  }
  // No thread at all, and a refusal for lack of memory: the caller's thread is the pool.
  WorkerPool alone(5, [](std::function<void()>) -> std::thread { throw std::bad_alloc(); });
  EXPECT_EQ(alone.size(), 1);
  EXPECT_EQ(alone.start_error(), "not enough memory");
  int calls = 0;
  alone.run([&](int worker) { calls += worker + 1; });
  EXPECT_EQ(calls, 1);
  WorkerPool full(3);
  EXPECT_EQ(full.size(), 3);
  EXPECT_TRUE(full.start_error().empty());

  // At most four per core and one per block, never below one.
  EXPECT_EQ(useful_workers(5000, 300, 16), 64);
  EXPECT_EQ(useful_workers(5000, 0, 16), 64);
  EXPECT_EQ(useful_workers(50, 20, 16), 20);
  EXPECT_EQ(useful_workers(3, 1000, 16), 3);
  EXPECT_EQ(useful_workers(0, 10, 2), 1);
  EXPECT_GE(available_cores(), 1);
}

TEST(SweepOptions, PointListsAndCommandLineErrors) {
  std::vector<double> ps;
  std::string error;
  ASSERT_TRUE(parse_p_list({"0.02:0.10:0.005"}, ps, error)) << error;
  ASSERT_EQ(ps.size(), 17u);
  EXPECT_EQ(ps[3], 0.035);
  EXPECT_EQ(ps.back(), 0.1);
  ASSERT_TRUE(parse_p_list({"0.04,0.05", "0.5"}, ps, error));
  EXPECT_EQ(ps, (std::vector<double>{0.04, 0.05, 0.5}));
  for (const char* bad : {"0", "0.6", "abc", "0.1:0.05:0.01", "0.1:0.2", "0.1:0.2:0", "0.05,0.05",
                          "0.1,", "nan"}) {
    EXPECT_FALSE(parse_p_list({bad}, ps, error)) << bad;
    EXPECT_NE(error.find("--p"), std::string::npos) << error;
  }

  auto parse = [](std::vector<const char*> args, std::string& message) {
    args.insert(args.begin(), "ldpcsw-sweep");
    SweepOptions o;
    return parse_sweep_options(static_cast<int>(args.size()), args.data(), o, message);
  };
  std::string message;
  EXPECT_EQ(parse({"--matrix", "H", "--p", "0.1", "--blocks", "1e6"}, message), -1) << message;
  EXPECT_EQ(parse({"--matrix", "H", "--p", "0.1", "--blocks", "9.007199254740992e15"}, message),
            -1)
      << message;

  // p is drawn at a resolution of 2^-32: points that draw the same noise, or none, are refused.
  EXPECT_FALSE(parse_p_list({"0.06 0.06000000000000001"}, ps, error));
  EXPECT_EQ(error, "--p: 0.06000000000000001 and 0.06 draw the same noise (p is resolved to "
                   "2^-32); give one of them");
  EXPECT_FALSE(parse_p_list({"4.9e-324"}, ps, error));
  EXPECT_EQ(error, "--p: 5e-324 is below 2^-33, the smallest crossover probability the noise "
                   "drawing resolves");
  EXPECT_TRUE(parse_p_list({"1e-9,0.0600001,0.0600002"}, ps, error)) << error;
  EXPECT_EQ(parse({"--help"}, message), 0);
  EXPECT_NE(message.find("--max-frame-errors"), std::string::npos);
  const std::vector<std::pair<std::vector<const char*>, const char*>> errors = {
      {{"--p", "0.1"}, "--matrix"},
      {{"--matrix", "H"}, "--p"},
      {{"--matrix", "H", "--p", "0.1", "--decoder", "fast"}, "--decoder: 'fast'"},
      {{"--matrix", "H", "--p", "0.1", "--format", "csv"}, "--format: 'csv'"},
      {{"--matrix", "H", "--p", "0.1", "--blocks", "0"}, "--blocks: '0'"},
      {{"--matrix", "H", "--p", "0.1", "--blocks", "2.5"}, "--blocks: '2.5'"},
      {{"--matrix", "H", "--p", "0.1", "--max-frame-errors", "-1"}, "--max-frame-errors"},
      {{"--matrix", "H", "--p", "0.1", "--seed", "-1"}, "--seed: '-1'"},
      {{"--matrix", "H", "--p", "0.1", "--threads", "0"}, "--threads: 0"},
      {{"--matrix", "H", "--p", "0.1", "--threads", "two"}, "--threads"},
      {{"--matrix", "H", "--p", "0.1", "--resume"}, "--resume needs --csv"},
      {{"--matrix", "H", "--p", "0.1", "--bogus"}, "--bogus"},
      // Counts are compared with 2^53 before they are rounded to a double.
      {{"--matrix", "H", "--p", "0.1", "--blocks", "9.007199254740993e15"}, "is above 2^53"},
      {{"--matrix", "H", "--p", "0.1", "--blocks", "90071992547409.93e2"}, "is above 2^53"},
      {{"--matrix", "H", "--p", "0.1", "--max-frame-errors", "1e400"}, "is above 2^53"},
      {{"--matrix", "H", "--p", "0.1", "--threshold", ""}, "--threshold: ''"},
      {{"--matrix", "H", "--p", "0.1", "--decoder", "minsum-layered", "--simd-target", ""},
       "--simd-target: the name is empty"},
  };
  for (const auto& [args, expect] : errors) {
    EXPECT_EQ(parse(args, message), 2) << expect;
    EXPECT_NE(message.find(expect), std::string::npos) << message;
    EXPECT_EQ(message.rfind("ldpcsw-sweep: ", 0), 0u) << message;
  }
}

namespace {

const CsvRules RULES{504, 100000, 100, "blocks=100000\nseed=1\n"};

// A file of the given rows, each with its check chained as the sweep writes them.
std::string csv_of(const std::vector<PointRow>& rows, const std::string& settings = RULES.settings) {
  std::string text = std::string(CSV_HEADER) + "\n", chain;
  for (const PointRow& row : rows) {
    std::string link = chain;
    text += format_csv_row(row, 504, settings, link) + "\n";
    if (!row.partial) chain = link;
  }
  return text;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

std::string text_of(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) text += line + "\n";
  return text;
}

}  // namespace

TEST(SweepCsv, RowsReadBackForResume) {
  const PointRow done{0.035, {100000, 7, 123, 412345, 2500}, 12.5, false};
  const PointRow fast{0.05, {4000, 100, 2900, 31000, 120000}, 2.0, false};
  const PointRow cut{0.06, {3333, 2, 77, 12345, 3000}, 1.25, true};
  const std::string rows = csv_of({done, fast});
  const std::string text = csv_of({done, fast, cut});
  ResumeState state;
  std::string error;
  ASSERT_TRUE(parse_sweep_csv(text, "s.csv", RULES, state, error)) << error;
  ASSERT_EQ(state.finished.size(), 2u);
  EXPECT_EQ(state.finished[0].p, 0.035);
  EXPECT_EQ(state.finished[0].counts, done.counts);
  EXPECT_EQ(state.finished[0].seconds, 12.5);
  EXPECT_EQ(state.finished[1].counts, fast.counts);
  ASSERT_TRUE(state.has_partial);
  EXPECT_EQ(state.partial.counts, cut.counts);
  EXPECT_EQ(state.keep_bytes, rows.size());  // truncation keeps the finished rows only
  EXPECT_EQ(state.chain, lines_of(rows)[2].substr(lines_of(rows)[2].rfind(',') + 1));
  EXPECT_FALSE(state.torn_tail);

  // A row cut off by a crash is dropped; the rows before it stay. Blank lines at the end are
  // harmless and are cut with the unfinished tail.
  ASSERT_TRUE(parse_sweep_csv(rows + "0.06,0.24,33", "s.csv", RULES, state, error));
  EXPECT_TRUE(state.torn_tail);
  EXPECT_EQ(state.finished.size(), 2u);
  EXPECT_EQ(state.keep_bytes, rows.size());
  for (const std::string tail : {"\n", "\n\n", "\r\n", "  \n\n"}) {
    ASSERT_TRUE(parse_sweep_csv(rows + tail, "s.csv", RULES, state, error)) << error;
    EXPECT_FALSE(state.torn_tail);
    EXPECT_EQ(state.finished.size(), 2u);
    EXPECT_EQ(state.keep_bytes, rows.size());
  }
  ASSERT_TRUE(parse_sweep_csv(rows + "\n ", "s.csv", RULES, state, error)) << error;
  EXPECT_FALSE(state.torn_tail);
}

// The CSV keeps the average iterations, not their total: the total read back must be the one
// written, for every blocks / iterations pair (61 over 7 averages to 8.714285714285714, whose
// product with 7 is 60.99999999999999), or a resumed point would count other iterations.
TEST(SweepCsv, IterationTotalsSurviveTheAverage) {
  const CsvRules rules{504, 1000, 0, "blocks=1000\nseed=1\n"};
  for (std::int64_t blocks = 1; blocks <= 1000; blocks += blocks < 40 ? 1 : 37) {
    for (std::int64_t iterations : {blocks, blocks * 7 - 1, blocks * 8 + 5, blocks * 50 - 3,
                                    std::int64_t{61}}) {
      if (iterations < blocks) continue;
      PointRow row{0.05, {blocks, 0, 0, iterations, 0}, 1.0, blocks < 1000};
      std::string chain;
      const std::string text =
          std::string(CSV_HEADER) + "\n" + format_csv_row(row, 504, rules.settings, chain) + "\n";
      ResumeState state;
      std::string error;
      ASSERT_TRUE(parse_sweep_csv(text, "s.csv", rules, state, error)) << error;
      const PointCounts& got = state.has_partial ? state.partial.counts
                                                 : state.finished.at(0).counts;
      EXPECT_EQ(got.iterations, iterations) << iterations << " over " << blocks;
    }
  }
}

// A CSV with CR LF line ends is read, and remembered as such so that rows appended to it end
// the same way; a settings file with a key twice or a line without '=' is refused by line.
TEST(SweepCsv, LineEndsAndSettingsFileRefusals) {
  const PointRow a{0.035, {100000, 7, 123, 412345, 2500}, 12.5, false};
  std::string crlf;
  for (const std::string& line : lines_of(csv_of({a}))) crlf += line + "\r\n";
  ResumeState state;
  std::string error;
  ASSERT_TRUE(parse_sweep_csv(crlf, "s.csv", RULES, state, error)) << error;
  EXPECT_TRUE(state.crlf);
  EXPECT_EQ(state.finished.size(), 1u);
  ASSERT_TRUE(parse_sweep_csv(csv_of({a}), "s.csv", RULES, state, error)) << error;
  EXPECT_FALSE(state.crlf);

  SweepSettings settings;
  ASSERT_TRUE(parse_settings("blocks=10\nseed=1\n", settings, error)) << error;
  EXPECT_EQ(settings.size(), 2u);
  EXPECT_FALSE(parse_settings("blocks=10\nseed=1\nblocks=20\n", settings, error));
  EXPECT_EQ(error, "line 3: the key 'blocks' is given twice");
  EXPECT_FALSE(parse_settings("blocks=10\nseed\n", settings, error));
  EXPECT_EQ(error, "line 2: 'seed' is not key=value; not a settings file of the sweep");
  EXPECT_FALSE(parse_settings("=10\n", settings, error));
}

// The table's p column: six digits where they tell p exactly, more where they do not, and
// wide enough for the longest p of the run so that the columns stay aligned.
TEST(SweepTable, EveryPointShowsItsOwnP) {
  const PointRow a{0.0600001, {100, 1, 1, 500, 1}, 1.0, false};
  const PointRow b{0.06000012, {100, 1, 1, 500, 1}, 1.0, false};
  const int width = table_p_width({a.p, b.p, 0.05});
  EXPECT_EQ(width, 10);
  EXPECT_EQ(format_table_row(a, 504, 0.5, width).substr(0, 11), "0.0600001  ");
  EXPECT_EQ(format_table_row(b, 504, 0.5, width).substr(0, 11), "0.06000012 ");
  EXPECT_EQ(format_table_header(width).find("H(p)"), 11u);
  EXPECT_EQ(table_p_width({0.05, 0.1}), 8);
  EXPECT_EQ(format_table_row(a, 504, 0.5).find("0.0600001 "), 0u);
}

// Whatever a hand, a tool or a second writer did to the rows, a resume refuses the file with
// the line that is wrong, rather than continuing from counts the sweep never produced.
TEST(SweepCsv, ChangedReorderedOrInconsistentRowsAreRefusedWithTheirLine) {
  const PointRow a{0.035, {100000, 7, 123, 412345, 2500}, 12.5, false};
  const PointRow b{0.05, {4000, 100, 2900, 31000, 120000}, 2.0, false};
  const PointRow c{0.06, {3333, 2, 77, 12345, 3000}, 1.25, true};
  const std::vector<std::string> good = lines_of(csv_of({a, b, c}));
  ResumeState state;
  std::string error;
  auto refused = [&](const std::vector<std::string>& lines, const std::string& expect) {
    error.clear();
    EXPECT_FALSE(parse_sweep_csv(text_of(lines), "s.csv", RULES, state, error)) << expect;
    EXPECT_NE(error.find(expect), std::string::npos) << expect << " | " << error;
  };
  auto edit = [&](int line, const std::string& from, const std::string& to) {
    std::vector<std::string> lines = good;
    const auto at = lines[line].find(from);
    EXPECT_NE(at, std::string::npos) << from;
    lines[line].replace(at, from.size(), to);
    return lines;
  };

  // A frame-error count lowered (the point then looks unfinished) or raised beyond the limit.
  refused(edit(2, ",100,2900,", ",99,2900,"), "s.csv: line 3: the point is not finished");
  refused(edit(2, ",100,2900,", ",101,2900,"), "line 3: frame_errors 101 exceeds the run's limit");
  // Blocks above the run's limit, and counts that cannot all hold together.
  refused(edit(1, ",100000,7,", ",100001,7,"),
          "line 2: blocks 100001 exceeds the run's limit of 100000");
  refused(edit(1, ",7,123,", ",7,3,"), "line 2: the counts cannot all hold");
  refused(edit(1, ",2500,", ",2100,"), "line 2: the counts cannot all hold");  // < 123^2 / 7
  // A rate that does not follow from the counts, and one field changed consistently with the
  // others (only the check shows it).
  {
    std::vector<std::string> lines = good;
    const std::string fer = format_number(7.0 / 100000);
    lines[1].replace(lines[1].find("," + fer + ","), fer.size() + 2, ",8e-05,");
    refused(lines, "line 2: fer 8e-05 does not follow from the counts");
  }
  {
    PointRow faster = b;
    faster.seconds = 1.0;
    std::string chain = lines_of(csv_of({a}))[1];
    chain = chain.substr(chain.rfind(',') + 1);
    std::vector<std::string> lines = good;
    std::string forged = format_csv_row(faster, 504, RULES.settings, chain);
    forged = forged.substr(0, forged.rfind(',') + 1) + good[2].substr(good[2].rfind(',') + 1);
    lines[2] = forged;
    refused(lines, "line 3: the row does not match its check");
  }
  // Rows reordered, a row dropped from the middle, rows of another run's settings.
  refused({good[0], good[2], good[1], good[3]}, "line 2: the row does not match its check");
  refused({good[0], good[2], good[3]}, "line 2: the row does not match its check");
  {
    const std::vector<std::string> other = lines_of(csv_of({a, b}, "blocks=100000\nseed=2\n"));
    refused(other, "line 2: the row does not match its check");
  }
  // Structure: the partial row must be last and unfinished, no blank line between rows, whole
  // rows only.
  refused({good[0], good[1], good[2], good[3], good[3]}, "line 5: a row follows the partial row");
  refused({good[0], good[1], "", good[2]}, "line 3: a blank line between rows");
  refused({good[0], good[1], "0.04,1,2"}, "line 3: 3 fields instead of 17");
  {
    const PointRow full{0.06, {100000, 2, 77, 12345, 3000}, 1.25, true};
    refused(lines_of(csv_of({full})), "line 2: a partial row whose counts already finish");
  }
  refused({"p,fer"}, "s.csv: line 1: not the sweep's CSV header");
  // Files of earlier versions carry no checks: refused with the way out.
  refused({CSV_HEADER_UNCHECKED, "0.02,0.14,100000,0,0,0,0,3.8e-05,0,0,7.6e-08,2,30,3286"},
          "written by an earlier version of ldpcsw-sweep");
  EXPECT_NE(error.find("--overwrite"), std::string::npos);
}

TEST(SweepInput, LayoutIsRecognisedAndBothFilesGiveTheSameMatrix) {
  SweepCode rows, alist;
  std::string error;
  ASSERT_TRUE(load_sweep_code(SHIPPED_ALIST, MatrixFormat::detect, alist, error)) << error;
  ASSERT_TRUE(load_sweep_code(SHIPPED_ROWS, MatrixFormat::detect, rows, error)) << error;
  EXPECT_EQ(rows.col_ptr, alist.col_ptr);
  EXPECT_EQ(rows.row_index, alist.row_index);
  EXPECT_EQ(detect_matrix_format("3 2 2\n1 2\n2 3\n"), MatrixFormat::rows);
  EXPECT_EQ(detect_matrix_format("3 2 2\n1 2\n2 3 1\n"), MatrixFormat::detect);
  EXPECT_FALSE(load_sweep_code(SHIPPED_ROWS, MatrixFormat::alist, rows, error));
  EXPECT_NE(error.find("(alist)"), std::string::npos) << error;
}

// A sweep of several points over simulated processes writes the same CSV counts as one process.
TEST(SweepRun, SimulatedProcessesWriteTheSameCsvAsOne) {
  ldpcsw::test::TempDir dir;
  SweepOptions o;
  o.matrix = SHIPPED_ROWS;
  o.ps = {0.06, 0.07};
  o.blocks = 120;
  o.max_frame_errors = 15;
  o.threads = 2;
  std::FILE* sink = std::fopen("/dev/null", "w");
  SweepIo io{sink, sink, false};
  auto counts_of = [](const std::string& csv) {
    std::string out, line;
    std::istringstream in(ldpcsw::test::read_file(csv));
    while (std::getline(in, line)) {
      int comma = 0;
      std::string kept;
      for (char ch : line) {
        if (ch == ',' && ++comma == 5) break;
        kept += ch;
      }
      out += kept + "\n";
    }
    return out;
  };
  o.csv = dir.file("one.csv");
  SoloCollective solo;
  ASSERT_EQ(run_sweep(o, solo, nullptr, io), 0);

  LocalGroup group(2);
  std::vector<int> status(2);
  std::vector<std::thread> ranks;
  for (int rank = 0; rank < 2; ++rank) {
    ranks.emplace_back([&, rank] {
      SweepOptions mine = o;
      mine.csv = dir.file("two.csv");
      mine.threads = rank + 1;
      LocalRank me(group, rank);
      status[rank] = run_sweep(mine, me, nullptr, io);
    });
  }
  for (auto& t : ranks) t.join();
  std::fclose(sink);
  EXPECT_EQ(status, (std::vector<int>{0, 0}));
  EXPECT_EQ(counts_of(dir.file("two.csv")), counts_of(dir.file("one.csv")));
  EXPECT_EQ(counts_of(dir.file("one.csv")).substr(0, 37), "p,h_p,blocks,frame_errors,bit_errors\n");
  // The settings file records the matrix's rank for the Slepian-Wolf limit.
  EXPECT_NE(ldpcsw::test::read_file(dir.file("one.csv.run")).find("\nrank=252\n"),
            std::string::npos);
}

// A partial row is continued from its next block; a resumed run stopped before decoding
// anything writes the same partial counts back rather than losing them.
TEST(SweepRun, PartialRowIsContinuedAndSurvivesAnImmediateStop) {
  ldpcsw::test::TempDir dir;
  SweepOptions o;
  o.matrix = SHIPPED_ROWS;
  o.ps = {0.06};
  o.blocks = 200;
  o.max_frame_errors = 12;
  o.seed = 5;
  o.threads = 2;
  o.csv = dir.file("s.csv");
  std::FILE* sink = std::fopen("/dev/null", "w");
  SweepIo io{sink, sink, false};
  SoloCollective solo;
  ASSERT_EQ(run_sweep(o, solo, nullptr, io), 0);
  const std::string complete = ldpcsw::test::read_file(o.csv);
  ResumeState whole;
  std::string error;
  const CsvRules rules{504, o.blocks, o.max_frame_errors,
                       format_settings(run_settings(o, shipped()))};
  ASSERT_TRUE(parse_sweep_csv(complete, o.csv, rules, whole, error)) << error;
  ASSERT_EQ(whole.finished.size(), 1u);

  std::atomic<bool> cut_stop{false};
  const PointResult cut = run({0.06, 200, 12, 5}, 3, {}, &cut_stop,
                              [&](const PointCounts&, std::int64_t done) {
                                if (done >= 4) cut_stop = true;
                              });
  ASSERT_FALSE(cut.finished);
  std::string chain;
  ldpcsw::test::write_file(o.csv, std::string(CSV_HEADER) + "\n" +
                                      format_csv_row({0.06, cut.counts, 1.0, true}, 504,
                                                     rules.settings, chain) +
                                      "\n");

  o.resume = true;
  std::atomic<bool> stop_now{true};
  EXPECT_EQ(run_sweep(o, solo, &stop_now, io), EXIT_INTERRUPTED);
  ResumeState again;
  ASSERT_TRUE(parse_sweep_csv(ldpcsw::test::read_file(o.csv), o.csv, rules, again, error)) << error;
  ASSERT_TRUE(again.has_partial);
  EXPECT_EQ(again.partial.counts, cut.counts);
  EXPECT_GE(again.partial.seconds, 1.0);

  EXPECT_EQ(run_sweep(o, solo, nullptr, io), 0);
  std::fclose(sink);
  ResumeState resumed;
  ASSERT_TRUE(parse_sweep_csv(ldpcsw::test::read_file(o.csv), o.csv, rules, resumed, error)) << error;
  EXPECT_FALSE(resumed.has_partial);
  ASSERT_EQ(resumed.finished.size(), 1u);
  EXPECT_EQ(resumed.finished[0].counts, whole.finished[0].counts);
}
