// The min-sum decoders in the sweep: counts equal to decoding blocks 0, 1, 2, ... one by one
// with the scalar reference, for any threads, simulated processes, SIMD target and
// interruption with resume; their options, and the settings file that guards a resume.
#include <gtest/gtest.h>

#include <array>
#include <barrier>
#include <map>
#include <cstdio>
#include <thread>

#include "code/blocks.h"
#include "tests/local_collective.h"
#include "sweep/engine.h"
#include "sweep/input.h"
#include "tests/support.h"
#include "tools/sweep/options.h"
#include "tools/sweep/sweep.h"

using namespace ldpcsw;
using namespace ldpcsw::sweep;

namespace {

const std::string SHIPPED_ROWS = std::string(LDPCSW_DATA_DIR) + "/Reg504252.dat";

const SweepCode& shipped() {
  static const SweepCode code = [] {
    SweepCode c;
    std::string error;
    if (!load_sweep_code(SHIPPED_ROWS, MatrixFormat::detect, c, error) ||
        !prepare_minsum_code(c, error))
      ADD_FAILURE() << error;
    return c;
  }();
  return code;
}

using ldpcsw::test::LocalGroup;
using ldpcsw::test::LocalRank;

PointResult run(DecoderKind decoder, const PointTask& task, int threads,
                const PointCounts& start = {}, const std::atomic<bool>* stop = nullptr,
                const ProgressFn& progress = {}) {
  SoloCollective solo;
  WorkerPool pool(threads);
  std::vector<BlockWorkspace> ws;
  for (int i = 0; i < threads; ++i) ws.emplace_back(shipped());
  return run_point(shipped(), decoder, task, start, pool, ws, solo, threads, stop, progress);
}

// The definition: blocks 0, 1, 2, ... through the scalar reference until K failures.
PointCounts serial_reference(const PointTask& task, DecoderKind decoder) {
  const SweepCode& code = shipped();
  const auto schedule = schedule_of(decoder);
  const minsum::MinsumParams params = point_params(task.minsum, task.p);
  std::vector<std::int8_t> x(code.n), y(code.n), x_hat(code.n), s(code.m);
  const PhiloxKey key = point_key(task.seed, task.p);
  PointCounts c;
  while (!point_finished(c, task.blocks, task.max_frame_errors)) {
    draw_sweep_block(key, static_cast<std::uint64_t>(c.blocks), noise_threshold(task.p),
                     x.data(), y.data(), code.n);
    compute_syndrome(code.ir.data(), code.jc.data(), code.m, x.data(), s.data());
    int iterations = 0;
    const bool success = minsum::minsum_decode_reference(code.minsum, params, schedule, y.data(),
                                                         s.data(), x_hat.data(), &iterations);
    const int bit_errors = count_bit_errors(x_hat.data(), x.data(), code.n);
    c.undetected_errors += success && bit_errors > 0 ? 1 : 0;
    c.blocks += 1;
    c.bit_errors += bit_errors;
    c.bit_errors_sq += static_cast<std::int64_t>(bit_errors) * bit_errors;
    c.frame_errors += bit_errors > 0;
    c.iterations += iterations;
  }
  return c;
}

constexpr DecoderKind MINSUM[] = {DecoderKind::minsum_flooding, DecoderKind::minsum_layered,
                                  DecoderKind::spa_layered};

// The task's parameters as the options give them to `decoder`: the sum-product rule takes Q
// from p.
PointTask for_decoder(PointTask task, DecoderKind decoder) {
  if (decoder == DecoderKind::spa_layered) {
    task.minsum.check = minsum::CheckRule::sum_product;
    task.minsum.q = 0;
  }
  return task;
}

}  // namespace

TEST(MinsumSweep, SimdDrawingGivesTheScalarBlocksOnEveryTarget) {
  // Lengths around the 4-word counters and the vector widths, blocks past 2^32, p from almost
  // never to one half.
  for (std::int64_t target : minsum::minsum_available_targets()) {
    minsum::minsum_force_target(target);
    SCOPED_TRACE(minsum::minsum_target_name(target));
    for (int n : {1, 3, 4, 5, 21, 31, 33, 127, 128, 129, 504, 1001}) {
      std::vector<std::int8_t> x(n), y(n), xs(n), ys(n);
      for (double p : {1e-9, 0.01, 0.06, 0.3, 0.5}) {
        const PhiloxKey key = point_key(9, p);
        for (std::uint64_t block : {0ull, 1ull, 77ull, 4294967295ull, 4294967296ull, ~0ull}) {
          draw_sweep_block(key, block, noise_threshold(p), x.data(), y.data(), n);
          draw_sweep_block_simd(key, block, noise_threshold(p), xs.data(), ys.data(), n);
          ASSERT_EQ(xs, x) << "n " << n << " p " << p << " block " << block;
          ASSERT_EQ(ys, y) << "n " << n << " p " << p << " block " << block;
        }
      }
    }
  }
  minsum::minsum_force_target(0);
}

TEST(MinsumSweep, VectorDrawingGivesTheScalarBlocksInEveryLaneOnEveryTarget) {
  // A whole vector of blocks at once, each in its own lane: lengths around the counters'
  // 4 and 128 bits, partial vectors, blocks past 2^32, p from never to always.
  for (std::int64_t target : minsum::minsum_available_targets()) {
    minsum::minsum_force_target(target);
    SCOPED_TRACE(minsum::minsum_target_name(target));
    const int lanes = minsum::minsum_lanes();
    for (int n : {1, 3, 5, 31, 33, 127, 129, 504}) {
      std::vector<std::int8_t> x(n), y(n);
      std::vector<std::int8_t> xr(static_cast<std::size_t>(n) * lanes), yr(xr.size());
      for (double p : {0.0, 0.06, 0.5, 1.0}) {
        const PhiloxKey key = point_key(9, p);
        for (int count : {1, lanes / 2 + 1, lanes}) {
          std::vector<std::uint64_t> blocks;
          for (int i = 0; i < count; ++i)
            blocks.push_back(i % 3 == 1 ? 4294967290ull + static_cast<std::uint64_t>(i)
                                        : static_cast<std::uint64_t>(7 * i));
          minsum::minsum_draw_block_lanes(key, blocks.data(), count, noise_threshold(p), n,
                                          xr.data(), yr.data());
          for (int i = 0; i < count; ++i) {
            draw_sweep_block(key, blocks[i], noise_threshold(p), x.data(), y.data(), n);
            for (int j = 0; j < n; ++j) {
              ASSERT_EQ(xr[static_cast<std::size_t>(j) * lanes + i], -x[j])
                  << "n " << n << " p " << p << " lane " << i << " bit " << j;
              ASSERT_EQ(yr[static_cast<std::size_t>(j) * lanes + i], -y[j])
                  << "n " << n << " p " << p << " lane " << i << " bit " << j;
            }
          }
        }
      }
    }
  }
  minsum::minsum_force_target(0);
}

TEST(MinsumSweep, BlocksDrawnInLanesLeaveOneAfterAnotherWithTheirSyndromes) {
  // Counts around whole vectors, the first block just below 2^32, on every target.
  const SweepCode& code = shipped();
  const int n = code.n, m = code.m;
  const PhiloxKey key = point_key(4, 0.08);
  std::vector<std::int8_t> x(n), y(n), s(m);
  for (std::int64_t target : minsum::minsum_available_targets()) {
    minsum::minsum_force_target(target);
    SCOPED_TRACE(minsum::minsum_target_name(target));
    const std::size_t lanes = static_cast<std::size_t>(minsum::minsum_lanes());
    for (std::size_t count : {std::size_t{1}, lanes - 1 + (lanes == 1), 2 * lanes + 3}) {
      const std::uint64_t first = 4294967295ull - 2;
      std::vector<std::uint8_t> bx(count * n), by(count * n), bs(count * m);
      minsum::minsum_draw_blocks(n, m, code.ir.data(), code.jc.data(), key, noise_threshold(0.08),
                                 first, count, bx.data(), by.data(), bs.data());
      for (std::size_t i = 0; i < count; ++i) {
        draw_sweep_block(key, first + i, noise_threshold(0.08), x.data(), y.data(), n);
        compute_syndrome(code.ir.data(), code.jc.data(), m, x.data(), s.data());
        ASSERT_TRUE(std::equal(x.begin(), x.end(), bx.begin() + static_cast<long>(i * n))) << i;
        ASSERT_TRUE(std::equal(y.begin(), y.end(), by.begin() + static_cast<long>(i * n))) << i;
        ASSERT_TRUE(std::equal(s.begin(), s.end(), bs.begin() + static_cast<long>(i * m))) << i;
      }
    }
  }
  minsum::minsum_force_target(0);
}

TEST(MinsumSweep, DrawnBlocksDecodeAsTheScalarReferenceOnEveryTarget) {
  // Every block the source names comes back once, under its name, with the reference's bit
  // errors, success and iterations: a count that leaves the last vector partial, blocks past
  // 2^32, and a source that stops early.
  const SweepCode& code = shipped();
  const double p = 0.075;
  const PhiloxKey key = point_key(3, p);
  std::vector<std::uint64_t> names;
  for (std::uint64_t b = 0; b < 150; ++b) names.push_back(b < 100 ? b : 4294967246ull + b);
  for (DecoderKind decoder : MINSUM) {
    SCOPED_TRACE(decoder_name(decoder));
    const PointTask task = for_decoder(PointTask{p, 0, 0, 3, {}}, decoder);
    const minsum::MinsumParams params = point_params(task.minsum, p);
    std::map<std::uint64_t, std::array<int, 3>> reference;
    std::vector<std::int8_t> x(code.n), y(code.n), x_hat(code.n), s(code.m);
    for (std::uint64_t b : names) {
      draw_sweep_block(key, b, noise_threshold(p), x.data(), y.data(), code.n);
      compute_syndrome(code.ir.data(), code.jc.data(), code.m, x.data(), s.data());
      int iterations = 0;
      const bool success = minsum::minsum_decode_reference(
          code.minsum, params, schedule_of(decoder), y.data(), s.data(), x_hat.data(), &iterations);
      reference[b] = {count_bit_errors(x_hat.data(), x.data(), code.n), success ? 1 : 0, iterations};
    }
    for (std::int64_t target : minsum::minsum_available_targets()) {
      minsum::minsum_force_target(target);
      SCOPED_TRACE(minsum::minsum_target_name(target));
      for (std::size_t stop_after : {names.size(), std::size_t{37}}) {
        std::size_t next = 0;
        std::map<std::uint64_t, std::array<int, 3>> seen;
        minsum::MinsumWorkspace ws;
        minsum::minsum_decode_drawn(
            code.minsum, params, schedule_of(decoder), ws, key, noise_threshold(p),
            [&](std::uint64_t& block) {
              if (next == stop_after) return false;
              block = names[next++];
              return true;
            },
            [&](std::uint64_t block, int bit_errors, bool success, int iterations) {
              EXPECT_TRUE(seen.emplace(block, std::array<int, 3>{bit_errors, success ? 1 : 0,
                                                                 iterations})
                              .second)
                  << "block " << block << " reported twice";
            });
        ASSERT_EQ(seen.size(), stop_after);
        for (const auto& [block, outcome] : seen) EXPECT_EQ(outcome, reference[block]) << block;
      }
    }
    minsum::minsum_force_target(0);
  }
}

TEST(MinsumSweep, CountsEqualTheSerialReferenceForAnyThreadsProcessesAndTarget) {
  // p = 0.075 fails about one block in six: 25 failures end the point inside a round.
  PointTask common{0.075, 3000, 25, 11, {}};
  common.minsum.q = 7;
  for (DecoderKind decoder : MINSUM) {
    SCOPED_TRACE(decoder_name(decoder));
    const PointTask task = for_decoder(common, decoder);
    const PointCounts reference = serial_reference(task, decoder);
    ASSERT_EQ(reference.frame_errors, 25);
    ASSERT_LT(reference.blocks, 3000);
    for (int threads : {1, 2, 3}) EXPECT_EQ(run(decoder, task, threads).counts, reference) << threads;
    for (std::int64_t target : minsum::minsum_available_targets()) {
      minsum::minsum_force_target(target);
      EXPECT_EQ(run(decoder, task, 2).counts, reference) << minsum::minsum_target_name(target);
    }
    minsum::minsum_force_target(0);

    LocalGroup group(2);
    std::vector<PointResult> results(2);
    std::vector<std::thread> ranks;
    for (int rank = 0; rank < 2; ++rank) {
      ranks.emplace_back([&, rank] {
        LocalRank me(group, rank);
        WorkerPool pool(rank + 1);
        std::vector<BlockWorkspace> ws;
        for (int i = 0; i <= rank; ++i) ws.emplace_back(shipped());
        results[rank] = run_point(shipped(), decoder, task, {}, pool, ws, me, 3, nullptr, {});
      });
    }
    for (auto& t : ranks) t.join();
    for (const PointResult& r : results) EXPECT_EQ(r.counts, reference);

    // Without an early stop every block is counted, fewer blocks than one vector included.
    for (std::int64_t blocks : {5, 700}) {
      const PointTask all = for_decoder(PointTask{0.06, blocks, 0, 3, {}}, decoder);
      const PointResult r = run(decoder, all, 2);
      EXPECT_EQ(r.counts, serial_reference(all, decoder));
      EXPECT_EQ(r.counts.blocks, blocks);
    }
  }
}

TEST(MinsumSweep, InterruptedMidRoundAndResumedEqualsUninterrupted) {
  for (DecoderKind decoder : MINSUM) {
    const PointTask task = for_decoder(PointTask{0.07, 4000, 200, 5, {}}, decoder);  // ~900 blocks
    const PointCounts whole = run(decoder, task, 2).counts;
    for (std::int64_t after : {1, 50, 300}) {
      // One worker for the cut: it reports every block it settles, so the stop comes after
      // `after` blocks whatever the load on the machine (with two, the other worker may settle
      // the whole point before the reporting one settles its first block).
      std::atomic<bool> stop{false};
      const PointResult cut =
          run(decoder, task, 1, {}, &stop, [&](const PointCounts&, std::int64_t done) {
            if (done >= after) stop = true;
          });
      ASSERT_TRUE(cut.interrupted) << cut.counts.blocks << " " << cut.counts.frame_errors;
      ASSERT_GT(cut.counts.blocks, 0);
      const PointResult resumed = run(decoder, task, 3, cut.counts);
      EXPECT_TRUE(resumed.finished);
      EXPECT_EQ(resumed.counts, whole) << decoder_name(decoder) << " stopped after " << after;
    }
  }
}

TEST(MinsumSweep, OptionsSettingsAndRefusals) {
  auto parse = [](std::vector<const char*> args, SweepOptions& o, std::string& message) {
    args.insert(args.begin(), "ldpcsw-sweep");
    return parse_sweep_options(static_cast<int>(args.size()), args.data(), o, message);
  };
  SweepOptions o;
  std::string message;
  ASSERT_EQ(parse({"--matrix", "H", "--p", "0.05", "--decoder", "minsum-layered", "--q", "9",
                   "--normalise", "7/8", "--iterations", "20"},
                  o, message),
            -1)
      << message;
  EXPECT_EQ(o.decoder, DecoderKind::minsum_layered);
  EXPECT_EQ(o.minsum.q, 9);
  EXPECT_EQ(o.minsum.correction, minsum::Correction::normalise);
  EXPECT_EQ(o.minsum.norm_num, 7);
  EXPECT_EQ(o.minsum.norm_shift, 3);
  EXPECT_EQ(o.minsum.max_iterations, 20);
  SweepOptions d;
  ASSERT_EQ(parse({"--matrix", "H", "--p", "0.05", "--decoder", "minsum-flooding"}, d, message), -1);
  EXPECT_EQ(d.minsum, minsum::default_params(minsum::Schedule::flooding));
  EXPECT_EQ(d.minsum.correction, minsum::Correction::by_weight);
  // spa-layered takes Q from each point's p unless --q gives it; --posterior-bits 8 is the
  // former layered rule.
  SweepOptions spa;
  ASSERT_EQ(parse({"--matrix", "H", "--p", "0.05", "--decoder", "spa-layered"}, spa, message), -1);
  EXPECT_EQ(spa.minsum.check, minsum::CheckRule::sum_product);
  EXPECT_EQ(spa.minsum.q, 0);
  EXPECT_EQ(point_params(spa.minsum, 0.08).q, 20);  // ln(0.92/0.08) = 2.44 nats
  SweepOptions former;
  ASSERT_EQ(parse({"--matrix", "H", "--p", "0.05", "--decoder", "minsum-layered",
                   "--posterior-bits", "8", "--normalise", "7/8"},
                  former, message),
            -1);
  EXPECT_EQ(former.minsum, minsum::former_params(minsum::Schedule::layered));

  const std::vector<std::pair<std::vector<const char*>, std::string>> bad = {
      {{"--q", "6"}, "--q applies to the fixed-point decoders only"},
      {{"--decoder", "spa-layered", "--offset", "2"}, "--offset applies to the min-sum decoders only"},
      {{"--decoder", "minsum-flooding", "--posterior-bits", "8"},
       "--posterior-bits applies to the layered decoders only"},
      {{"--decoder", "minsum-layered", "--posterior-bits", "12"},
       "--posterior-bits: '12' is neither 16 nor 8"},
      {{"--decoder", "minsum-flooding", "--q", "0"}, "--q: '0' is not a whole number in 1..127"},
      {{"--decoder", "minsum-flooding", "--offset", "2", "--normalise", "3/4"},
       "--offset and --normalise exclude each other"},
      {{"--decoder", "minsum-flooding", "--normalise", "3/5"},
       "--normalise: '3/5' is not A/D with D a power of two up to 128 and 1 <= A <= D"},
      {{"--decoder", "minsum-flooding", "--iterations", "0"},
       "--iterations: '0' is not a whole number in 1..100000"},
      {{"--decoder", "minsum", "--p", "0.05"},
       "--decoder: 'minsum' is not one of adaptive, plain, minsum-flooding, minsum-layered, "
       "spa-layered"}};
  for (const auto& [extra, want] : bad) {
    std::vector<const char*> args{"--matrix", "H", "--p", "0.05"};
    args.insert(args.end(), extra.begin(), extra.end());
    SweepOptions bad_options;
    EXPECT_EQ(parse(args, bad_options, message), 2);
    EXPECT_EQ(message.substr(0, message.find('\n')), "ldpcsw-sweep: " + want);
  }
  SweepOptions t;
  EXPECT_EQ(parse({"--matrix", "H", "--p", "0.05", "--decoder", "minsum-layered",
                   "--simd-target", "vax"}, t, message), 2);
  EXPECT_NE(message.find("--simd-target: SIMD target 'vax' is not available here"),
            std::string::npos);

  // The settings file records the decoder and its parameters; a resume with another Q is
  // refused, one with the same settings goes on.
  test::TempDir dir;
  std::FILE* sink = std::fopen("/dev/null", "w");
  SweepIo io{sink, sink, false};
  SweepOptions run_options;
  ASSERT_EQ(parse({"--matrix", SHIPPED_ROWS.c_str(), "--p", "0.06", "--blocks", "64",
                   "--decoder", "minsum-flooding", "--offset", "2", "--threads", "1"},
                  run_options, message), -1);
  run_options.threads = 1;
  run_options.csv = dir.file("ms.csv");
  SoloCollective solo;
  ASSERT_EQ(run_sweep(run_options, solo, nullptr, io), 0);
  const std::string settings = test::read_file(dir.file("ms.csv.run"));
  EXPECT_NE(settings.find("decoder=minsum-flooding\n"), std::string::npos) << settings;
  EXPECT_NE(settings.find("minsum_correction=offset 2\n"), std::string::npos) << settings;
  EXPECT_NE(settings.find("minsum_q=16\n"), std::string::npos) << settings;
  EXPECT_NE(settings.find("minsum_iterations=50\n"), std::string::npos) << settings;
  SweepOptions other = run_options;
  other.resume = true;
  other.minsum.q = 8;
  std::FILE* err = std::tmpfile();
  EXPECT_EQ(run_sweep(other, solo, nullptr, SweepIo{sink, err, false}), 1);
  std::rewind(err);
  char line[512] = "";
  ASSERT_NE(std::fgets(line, sizeof line, err), nullptr);
  EXPECT_NE(std::string(line).find("another fixed-point decoder setting (minsum_q 16, now 8); "
                                    "give --q 16 to continue it"),
            std::string::npos)
      << line;
  std::fclose(err);
  other.minsum.q = 16;
  EXPECT_EQ(run_sweep(other, solo, nullptr, io), 0);

  // A layered sweep from before the a-posteriori width was recorded was made with 8 bits: a
  // resume with the 16-bit default is refused with the option that continues it.
  SweepOptions layered;
  ASSERT_EQ(parse({"--matrix", SHIPPED_ROWS.c_str(), "--p", "0.06", "--blocks", "64",
                   "--decoder", "minsum-layered", "--posterior-bits", "8", "--threads", "1"},
                  layered, message), -1);
  layered.csv = dir.file("old.csv");
  ASSERT_EQ(run_sweep(layered, solo, nullptr, io), 0);
  std::string old_settings = test::read_file(dir.file("old.csv.run"));
  const std::size_t at = old_settings.find("minsum_posterior_bits=8\n");
  ASSERT_NE(at, std::string::npos) << old_settings;
  old_settings.erase(at, std::string("minsum_posterior_bits=8\n").size());
  test::write_file(dir.file("old.csv.run"), old_settings);
  SweepOptions wide = layered;
  wide.resume = true;
  wide.minsum.posterior_bits = 16;
  err = std::tmpfile();
  EXPECT_EQ(run_sweep(wide, solo, nullptr, SweepIo{sink, err, false}), 1);
  std::rewind(err);
  ASSERT_NE(std::fgets(line, sizeof line, err), nullptr);
  EXPECT_NE(std::string(line).find("(minsum_posterior_bits 8, now 16); give --posterior-bits 8 "
                                   "to continue it"),
            std::string::npos)
      << line;
  std::fclose(err);
  layered.resume = true;
  EXPECT_EQ(run_sweep(layered, solo, nullptr, io), 0);
  std::fclose(sink);
}
