// Critical-rate runs: the search along a chain against a scan of every step, counts identical
// for every thread count, process count, SIMD target and resume, and the CSV read back with
// the strictness of the sweep's.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "code/rank.h"
#include "code/rate_adapt.h"
#include "minsum/minsum.h"
#include "sweep/critical.h"
#include "sweep/input.h"
#include "tests/local_collective.h"
#include "tests/support.h"
#include "tools/sweep/options.h"
#include "tools/sweep/sweep.h"

namespace ldpcsw::sweep {
namespace {

const std::string SHIPPED = std::string(LDPCSW_DATA_DIR) + "/Reg504252.dat";

struct Chain {
  SweepCode code;
  ParityCheckMatrix mother;
  RateAdaptChain chain;
  std::vector<long long> ranks;
};

// The shipped matrix and a chain of `steps` merges (seed 1).
const Chain& shipped_chain(int steps = 150) {
  static Chain c = [steps] {
    Chain made;
    std::string error;
    EXPECT_TRUE(load_sweep_code(SHIPPED, MatrixFormat::detect, made.code, error)) << error;
    EXPECT_TRUE(prepare_minsum_code(made.code, error)) << error;
    made.mother = ParityCheckMatrix{made.code.n, made.code.m, made.code.ir, made.code.jc};
    RateAdaptOptions options;
    options.steps = steps;
    EXPECT_TRUE(rate_adapt_build(made.mother, options, made.chain, error)) << error;
    EXPECT_TRUE(rate_adapt_ranks(made.mother, made.chain, made.ranks, DENSE_RANK_MAX_BITS));
    return made;
  }();
  return c;
}

TEST(CriticalSearch, FindsTheBoundaryOfAnyMonotoneOutcomeFromAnyGuess) {
  std::mt19937 rng(5);
  for (int trial = 0; trial < 3000; ++trial) {
    const int steps = static_cast<int>(rng() % 300);
    const int boundary = static_cast<int>(rng() % (steps + 2)) - 1;  // -1..steps
    const int guess = static_cast<int>(rng() % (steps + 1));
    const int stride = 1 + static_cast<int>(rng() % 40);
    CriticalSearch s;
    s.start(steps, guess, stride);
    std::vector<bool> seen(static_cast<std::size_t>(steps + 1), false);
    while (!s.done) {
      ASSERT_GE(s.probe, 0);
      ASSERT_LE(s.probe, steps);
      ASSERT_FALSE(seen[static_cast<std::size_t>(s.probe)]) << "a step probed twice";
      seen[static_cast<std::size_t>(s.probe)] = true;
      s.record(s.probe <= boundary, false, 1);
    }
    EXPECT_EQ(s.critical(), boundary) << steps << " " << guess << " " << stride;
    // Gallop and bisection: about two logarithms of the distance, never a scan.
    const int distance = std::abs(boundary - guess) + 1;
    EXPECT_LE(s.decodes, 2 * static_cast<int>(std::log2(distance + stride)) + 4);
  }
  // Not monotone: the step found decodes and the one above it does not.
  const std::vector<bool> outcome{true, true, false, true, true, false, false, true, false};
  for (int guess = 0; guess <= 8; ++guess) {
    CriticalSearch s;
    s.start(8, guess, 2);
    while (!s.done) s.record(outcome[static_cast<std::size_t>(s.probe)], false, 1);
    const int k = s.critical();
    if (k >= 0) {
      EXPECT_TRUE(outcome[static_cast<std::size_t>(k)]);
    }
    if (k < 8) {
      EXPECT_FALSE(outcome[static_cast<std::size_t>(k + 1)]);
    }
  }
  // An undetected error counts as a failed probe and marks the block.
  CriticalSearch s;
  s.start(4, 2, 1);
  s.record(false, true, 7);
  while (!s.done) s.record(true, false, 3);
  EXPECT_TRUE(s.undetected);
  EXPECT_EQ(s.critical(), 1);
}

TEST(CriticalRate, ScanFindsTheLargestStepThatDecodesAndBisectionABoundary) {
  const Chain& c = shipped_chain();
  for (DecoderKind decoder : {DecoderKind::minsum_layered, DecoderKind::adaptive}) {
    ChainCodes codes(c.mother, c.chain, c.ranks, is_minsum(decoder));
    BlockWorkspace ws(c.code);
    const int blocks = decoder == DecoderKind::adaptive ? 3 : 20;
    int differ = 0;
    for (double p : {0.03, 0.06}) {
      CriticalTask task{p, 0, 9, {}};
      for (int b = 0; b < blocks; ++b) {
        // Every step, one decode each, from the most syndrome bits down.
        std::vector<bool> decodes(static_cast<std::size_t>(codes.steps() + 1));
        draw_sweep_block(point_key(task.seed, p), b, noise_threshold(p), ws.x.data(), ws.y.data(),
                         c.code.n);
        const std::vector<std::int8_t> x = ws.x, y = ws.y;
        int largest = -1;
        for (int k = 0; k <= codes.steps(); ++k) {
          ws.x = x;
          ws.y = y;
          decodes[static_cast<std::size_t>(k)] =
              decode_given(*codes.code(k), decoder, point_params({}, p), ws, p).bit_errors == 0;
          if (decodes[static_cast<std::size_t>(k)]) largest = k;
        }
        task.scan = true;
        EXPECT_EQ(critical_search_block(codes, decoder, task, ws, b), largest);
        task.scan = false;
        const int k = critical_search_block(codes, decoder, task, ws, b);
        if (k >= 0) {
          EXPECT_TRUE(decodes[static_cast<std::size_t>(k)]);
        }
        if (k < codes.steps()) {
          EXPECT_FALSE(decodes[static_cast<std::size_t>(k + 1)]);
        }
        differ += k != largest;
      }
    }
    // Decoding is not strictly monotone along the chain, but nearly: bisection misses a
    // step that decodes above a failing one in a minority of blocks.
    EXPECT_LE(differ, blocks / 2) << decoder_name(decoder);
  }
}

// One process's run of the point on `threads` threads, with an optional stop and progress.
CriticalResult run_result(ChainCodes& codes, DecoderKind decoder, const CriticalTask& task,
                          int threads, const CriticalCounts& start = {},
                          const std::atomic<bool>* stop = nullptr,
                          const CriticalProgressFn& progress = {}) {
  const Chain& c = shipped_chain();
  WorkerPool pool(threads);
  std::vector<BlockWorkspace> ws;
  for (int w = 0; w < threads; ++w) ws.emplace_back(c.code);
  SoloCollective solo;
  return run_critical_point(codes, decoder, task, start, pool, ws, solo, threads, stop, progress);
}

CriticalCounts run(ChainCodes& codes, DecoderKind decoder, const CriticalTask& task, int threads,
                   const CriticalCounts& start = {}) {
  return run_result(codes, decoder, task, threads, start).counts;
}

TEST(CriticalRate, CountsAreTheSameForThreadsProcessesTargetsAndResume) {
  const Chain& c = shipped_chain();
  const CriticalTask task{0.05, 300, 4, {}};
  ChainCodes codes(c.mother, c.chain, c.ranks, true);
  const CriticalCounts one = run(codes, DecoderKind::minsum_layered, task, 1);
  EXPECT_EQ(one.blocks, 300);
  EXPECT_EQ(run(codes, DecoderKind::minsum_layered, task, 3), one);
  // Every target, and the one-block reference (a chain held to one code at a time by a tiny
  // budget changes nothing either).
  ChainCodes tight(c.mother, c.chain, c.ranks, true, 1);
  for (std::int64_t target : minsum::minsum_available_targets()) {
    minsum::minsum_force_target(target);
    EXPECT_EQ(run(tight, DecoderKind::minsum_layered, task, 2), one)
        << minsum::minsum_target_name(target);
  }
  minsum::minsum_force_target(0);
  // Three processes.
  test::LocalGroup group(3);
  std::vector<CriticalCounts> got(3);
  std::vector<std::thread> ranks;
  for (int r = 0; r < 3; ++r)
    ranks.emplace_back([&, r] {
      test::LocalRank rank(group, r);
      WorkerPool pool(1);
      std::vector<BlockWorkspace> ws;
      ws.emplace_back(c.code);
      got[static_cast<std::size_t>(r)] =
          run_critical_point(codes, DecoderKind::minsum_layered, task, {}, pool, ws, rank, 3,
                             nullptr, {})
              .counts;
    });
  for (auto& t : ranks) t.join();
  EXPECT_EQ(got[0], one);
  // Resumed from the first 70 blocks.
  CriticalTask head = task;
  head.blocks = 70;
  const CriticalCounts first = run(codes, DecoderKind::minsum_layered, head, 2);
  EXPECT_EQ(run(codes, DecoderKind::minsum_layered, task, 1, first), one);
  // Each block searched on its own, with nothing to share its lanes, finds the step it finds
  // in the shared pool.
  {
    CriticalCounts alone;
    BlockWorkspace ws(c.code);
    for (std::uint64_t b = 0; b < 70; ++b) {
      ++alone.blocks;
      ++alone.histogram[critical_search_block(codes, DecoderKind::minsum_layered, task, ws, b)];
    }
    EXPECT_EQ(alone.histogram, first.histogram);
  }
  // Stopped in the middle of a pool by two threads, then resumed.
  {
    std::atomic<bool> stop{false};
    const CriticalResult cut = run_result(
        codes, DecoderKind::minsum_layered, task, 2, {}, &stop,
        [&](const CriticalCounts&, std::int64_t in_round) {
          if (in_round >= 100) stop.store(true);
        });
    EXPECT_TRUE(cut.interrupted);
    EXPECT_LT(cut.counts.blocks, 300);
    EXPECT_EQ(run(codes, DecoderKind::minsum_layered, task, 2, cut.counts), one);
    // The progress is told before any search ends (where a caller checks for Ctrl-C), and a
    // stop there ends the point with nothing settled.
    stop.store(false);
    std::int64_t first_call = -1;
    const CriticalResult early = run_result(
        codes, DecoderKind::minsum_layered, task, 2, {}, &stop,
        [&](const CriticalCounts&, std::int64_t in_round) {
          if (first_call < 0) first_call = in_round;
          stop.store(true);
        });
    EXPECT_EQ(first_call, 0);
    EXPECT_TRUE(early.interrupted);
    EXPECT_EQ(early.counts.blocks, 0);
  }
  // The device kernels (the host backend's emulation where there is no GPU), for both search
  // orders and the sum-product rule.
  {
    ChainDevice device(codes);
    CriticalTask on_device = task;
    on_device.device = &device;
    EXPECT_EQ(run(codes, DecoderKind::minsum_layered, on_device, 1), one);
    CriticalTask scan = task;
    scan.blocks = 40;
    scan.scan = true;
    CriticalTask scan_device = scan;
    scan_device.device = &device;
    EXPECT_EQ(run(codes, DecoderKind::spa_layered, scan_device, 1),
              run(codes, DecoderKind::spa_layered, scan, 2));
  }
  // The exact decoder, with one and two threads.
  ChainCodes exact(c.mother, c.chain, c.ranks, false);
  const CriticalTask few{0.05, 12, 4, {}};
  EXPECT_EQ(run(exact, DecoderKind::adaptive, few, 1), run(exact, DecoderKind::adaptive, few, 2));
}

TEST(CriticalRate, SummaryAndRowsReadBack) {
  const std::vector<long long> ranks{10, 9, 8, 7, 6};
  CriticalCounts c;
  c.blocks = 10;
  c.histogram = {{-1, 1}, {1, 2}, {3, 7}};
  c.decodes = 40;
  c.iterations = 400;
  const CriticalSummary s = summarize_critical(c, ranks, 20);
  EXPECT_DOUBLE_EQ(s.rate, (20.0 + 2 * 9 + 7 * 7) / 10 / 20);
  EXPECT_EQ(s.undecoded, 1);
  EXPECT_DOUBLE_EQ(s.q05, 7.0 / 20);
  EXPECT_DOUBLE_EQ(s.q50, 7.0 / 20);
  EXPECT_DOUBLE_EQ(s.q95, 1.0);
  EXPECT_LT(s.rate_lo, s.rate);
  EXPECT_GT(s.rate_hi, s.rate);

  std::string chain;
  const std::string settings = "matrix=x\n";
  const CriticalRow row{0.05, c, 1.5, false};
  CriticalRow partial_row{0.06, c, 0.5, true};
  partial_row.counts.blocks = 4;
  partial_row.counts.histogram = {{3, 4}};
  partial_row.counts.decodes = 12;
  std::string text = std::string(CRITICAL_CSV_HEADER) + "\n";
  text += format_critical_csv_row(row, ranks, 20, settings, chain) + "\n";
  text += format_critical_csv_row(partial_row, ranks, 20, settings, chain) + "\n";
  const CriticalCsvRules rules{20, 10, &ranks, settings};
  ResumeState state;
  std::vector<CriticalRow> finished;
  CriticalRow partial;
  std::string error;
  ASSERT_TRUE(parse_critical_csv(text, "c.csv", rules, state, finished, partial, error)) << error;
  ASSERT_EQ(finished.size(), 1u);
  EXPECT_EQ(finished[0].counts, c);
  EXPECT_TRUE(state.has_partial);
  EXPECT_EQ(partial.counts, partial_row.counts);

  // Edits, impossible counts and foreign rows are refused with the line and the reason.
  const std::vector<std::pair<std::pair<std::string, std::string>, std::string>> edits{
      {{"-1:1 1:2 3:7", "-1:1 1:2 3:6"}, "line 2: the counts cannot all hold"},
      {{"-1:1 1:2 3:7", "-1:1 3:7 1:2"}, "line 2: histogram item '1:2': steps must rise"},
      {{"-1:1 1:2 3:7", "-1:1 1:2 9:7"}, "line 2: histogram item '9:7': steps must rise"},
      {{"-1:1 1:2 3:7", "-1:1 1:2 3"}, "line 2: histogram item '3' is not STEP:BLOCKS"},
      {{",40,400,", ",41,400,"}, "line 2: the row does not match its check"},
      {{",40,400,", ",5,400,"}, "line 2: the counts cannot all hold"}};
  for (const auto& [edit, want] : edits) {
    std::string bad = text;
    const std::size_t at = bad.find(edit.first);
    ASSERT_NE(at, std::string::npos) << edit.first;
    bad.replace(at, edit.first.size(), edit.second);
    EXPECT_FALSE(parse_critical_csv(bad, "c.csv", rules, state, finished, partial, error));
    EXPECT_NE(error.find("c.csv: " + want), std::string::npos) << error;
  }
  CriticalCsvRules other = rules;
  other.settings = "matrix=y\n";
  EXPECT_FALSE(parse_critical_csv(text, "c.csv", other, state, finished, partial, error));
  EXPECT_NE(error.find("does not match its check"), std::string::npos) << error;
}

// The whole run through ldpcsw-sweep's options: an interrupted run continued with --resume
// writes the rows of an uninterrupted one; a wrong chain is refused.
TEST(CriticalRate, SweepWithRateAdaptiveResumesToTheSameRows) {
  const Chain& c = shipped_chain();
  test::TempDir dir;
  const std::string chain_file = dir.file("h.chain");
  std::FILE* f = std::fopen(chain_file.c_str(), "w");
  ASSERT_TRUE(write_rate_adapt(f, c.chain));
  std::fclose(f);
  auto options = [&](const std::string& csv) {
    SweepOptions o;
    std::string message;
    const std::vector<std::string> args{"ldpcsw-sweep", "--matrix", SHIPPED, "--rate-adaptive",
                                        chain_file, "--p", "0.04,0.07", "--blocks", "400",
                                        "--decoder", "minsum-layered", "--threads", "2",
                                        "--csv", csv};
    std::vector<const char*> argv;
    for (const auto& a : args) argv.push_back(a.c_str());
    EXPECT_EQ(parse_sweep_options(static_cast<int>(argv.size()), argv.data(), o, message), -1)
        << message;
    return o;
  };
  std::FILE* sink = std::fopen("/dev/null", "w");
  const SweepIo io{sink, sink, false};
  SoloCollective solo;
  ASSERT_EQ(run_sweep(options(dir.file("whole.csv")), solo, nullptr, io), 0);
  const std::string whole = test::read_file(dir.file("whole.csv"));

  SweepOptions cut = options(dir.file("cut.csv"));
  std::atomic<bool> stop{false};
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    stop = true;
  });
  const int status = run_sweep(cut, solo, &stop, io);
  stopper.join();
  EXPECT_TRUE(status == 0 || status == EXIT_INTERRUPTED) << status;
  cut.resume = true;
  ASSERT_EQ(run_sweep(cut, solo, nullptr, io), 0);
  auto counts_only = [](const std::string& text) {
    // Everything but seconds, blocks per second and the checks, which cover them.
    std::string out;
    std::size_t pos = 0;
    while (pos < text.size()) {
      const std::size_t eol = text.find('\n', pos);
      std::string line = text.substr(pos, eol - pos);
      std::vector<std::string> fields;
      std::size_t s = 0;
      for (std::size_t comma; (comma = line.find(',', s)) != std::string::npos; s = comma + 1)
        fields.push_back(line.substr(s, comma - s));
      fields.push_back(line.substr(s));
      for (std::size_t i = 0; i < fields.size(); ++i)
        if (i != 16 && i != 17 && i != 19) out += fields[i] + ",";
      out += "\n";
      pos = eol + 1;
    }
    return out;
  };
  EXPECT_EQ(counts_only(test::read_file(dir.file("cut.csv"))), counts_only(whole));

  // A chain of another matrix, and a critical-rate CSV continued as an error-rate sweep.
  RateAdaptChain foreign = c.chain;
  foreign.fingerprint ^= 1;
  f = std::fopen(chain_file.c_str(), "w");
  ASSERT_TRUE(write_rate_adapt(f, foreign));
  std::fclose(f);
  std::FILE* err = std::tmpfile();
  EXPECT_EQ(run_sweep(options(dir.file("x.csv")), solo, nullptr, SweepIo{sink, err, false}), 1);
  std::rewind(err);
  char line[512] = "";
  ASSERT_NE(std::fgets(line, sizeof line, err), nullptr);
  EXPECT_NE(std::string(line).find("h.chain: "), std::string::npos) << line;
  std::fclose(err);
  std::fclose(sink);
}

}  // namespace
}  // namespace ldpcsw::sweep
