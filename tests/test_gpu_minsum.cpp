// The min-sum kernel against the CPU decoders, block by block: the device draws the sweep's
// blocks bit for bit, and decides and stops each block exactly as the CPU decoders do, on the
// shipped matrix, irregular and odd-sized matrices, partial batches and saturating parameters;
// its counts are the sums of its blocks' outcomes; runtime failures are reported and leak
// nothing. On the host backend the kernel runs through the SIMT emulation (small batches).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <barrier>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "code/blocks.h"
#include "tests/local_collective.h"
#include "code/matrix.h"
#include "gpu/gpu_minsum.h"
#include "gpu/kernel_runner.h"
#include "minsum/minsum.h"
#include "streams/block_streams.h"
#include "support.h"
#include "sweep/engine.h"
#include "sweep/input.h"
#include "tools/sweep/options.h"
#include "tools/sweep/sweep.h"
#if defined(LDPCSW_DEVICE_HOST)
#include "gpu/host/fault.h"
#endif

namespace {

using namespace ldpcsw;
using namespace ldpcsw::minsum;

std::uint64_t fnv(const std::vector<std::int8_t>& v) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::int8_t b : v) h = (h ^ static_cast<std::uint8_t>(b)) * 1099511628211ull;
  return h;
}

// Blocks drawn before the generator moved into streams/: the keys, thresholds and every bit
// (as FNV-1a hashes of x and y) must stay what they were, or every stored curve would change.
TEST(BlockStreams, KnownBlocksKeepTheirBits) {
  struct Case {
    std::uint64_t seed;
    double p;
    std::uint64_t block;
    int n;
    std::uint32_t k0, k1;
    std::uint64_t threshold, hash_x, hash_y;
  };
  const Case cases[] = {
      {1u, 0x1.eb851eb851eb8p-5, 0u, 504, 0x8ca327f4u, 0x2188d3b2u, 257698038u,
       0xddc24bbece43e363ull, 0x922f8d476502d6b2ull},
      {7u, 0x1.999999999999ap-4, 12345u, 131, 0x0232ada1u, 0xcbf54d5du, 429496730u,
       0x97fffccd2873ea4aull, 0xa50de61775de6f8aull},
      {3u, 0x1p-1, 4294967301u, 1000, 0x8fd0ecd1u, 0xc9996a2du, 2147483648u,
       0x1febbf98b1c658a0ull, 0x9b008aff6d925486ull},
      {99u, 0x1.47ae147ae147bp-6, 77u, 3, 0x770bfe2cu, 0x4b0c06f4u, 85899346u,
       0xa944454f3a925281ull, 0xa940df4f3a8f6f58ull},
  };
  for (const Case& c : cases) {
    const sweep::PhiloxKey key = sweep::point_key(c.seed, c.p);
    EXPECT_EQ(key[0], c.k0);
    EXPECT_EQ(key[1], c.k1);
    EXPECT_EQ(sweep::noise_threshold(c.p), c.threshold);
    std::vector<std::int8_t> x(c.n), y(c.n), xs(c.n), ys(c.n);
    sweep::draw_sweep_block(key, c.block, c.threshold, x.data(), y.data(), c.n);
    EXPECT_EQ(fnv(x), c.hash_x) << "block " << c.block;
    EXPECT_EQ(fnv(y), c.hash_y) << "block " << c.block;
    // The strided form the kernel uses gives the same bits at every stride.
    std::vector<std::int8_t> xw(3 * c.n), yw(3 * c.n);
    streams::draw_block(c.k0, c.k1, c.block, c.threshold, xw.data() + 2, yw.data() + 2, c.n, 3);
    for (int j = 0; j < c.n; ++j) {
      ASSERT_EQ(xw[3 * j + 2], x[j]);
      ASSERT_EQ(yw[3 * j + 2], y[j]);
    }
  }
}

MinsumCode code_of(int n, const std::vector<std::vector<int>>& rows) {
  std::vector<int> ir{0}, jc;
  for (const auto& row : rows) {
    jc.insert(jc.end(), row.begin(), row.end());
    ir.push_back(static_cast<int>(jc.size()));
  }
  MinsumCode code;
  std::string error;
  EXPECT_TRUE(make_minsum_code(n, static_cast<int>(rows.size()), ir.data(), jc.data(), code, error))
      << error;
  return code;
}

MinsumCode shipped_code() {
  std::FILE* f = std::fopen(LDPCSW_DATA_DIR "/Reg504252.dat", "rb");
  EXPECT_NE(f, nullptr);
  ParityCheckMatrix h;
  std::string error;
  EXPECT_TRUE(read_code_rows(f, h, error)) << error;
  std::fclose(f);
  MinsumCode code;
  EXPECT_TRUE(make_minsum_code(h.n, h.m, h.ir.data(), h.jc.data(), code, error)) << error;
  return code;
}

using ldpcsw::test::next_random;

// Column weights 0..max_weight, rows as they fall (empty, single and repeated-column rows
// among them at small m).
MinsumCode irregular_code(int n, int m, int max_weight, std::uint64_t seed) {
  std::vector<std::vector<int>> rows(static_cast<std::size_t>(m));
  for (int j = 0; j < n; ++j) {
    const int w = j == n - 1 ? 0 : 1 + static_cast<int>(next_random(seed) % max_weight);
    for (int i = 0; i < w; ++i) rows[next_random(seed) % static_cast<std::uint64_t>(m)].push_back(j);
  }
  return code_of(n, rows);
}

struct Setting {
  const char* name;
  Schedule schedule;
  MinsumParams params;
};

std::vector<Setting> settings() {
  std::vector<Setting> out;
  for (Schedule s : {Schedule::flooding, Schedule::layered}) {
    const bool fl = s == Schedule::flooding;
    MinsumParams norm = default_params(s);
    MinsumParams offset = default_params(s);
    offset.correction = Correction::offset;
    offset.beta = 2;
    MinsumParams saturating = default_params(s);  // channel at the rail, no correction
    saturating.q = MSG_MAX;
    saturating.correction = Correction::normalise;
    saturating.norm_num = 1;
    saturating.norm_shift = 0;
    saturating.max_iterations = 7;
    out.push_back({fl ? "flooding/by weight" : "layered/by weight", s, norm});
    out.push_back({fl ? "flooding/offset" : "layered/offset", s, offset});
    out.push_back({fl ? "flooding/saturating" : "layered/saturating", s, saturating});
  }
  // The former 8-bit layered rule, and the sum-product rule at a working and at the largest Q.
  out.push_back({"layered/8-bit", Schedule::layered, former_params(Schedule::layered)});
  MinsumParams spa = default_params(Schedule::layered);
  spa.check = CheckRule::sum_product;
  spa.q = 20;
  out.push_back({"layered/sum-product", Schedule::layered, spa});
  spa.q = MSG_MAX;
  spa.max_iterations = 7;
  out.push_back({"layered/sum-product saturating", Schedule::layered, spa});
  return out;
}

// Decodes blocks first .. first + count - 1 of point (seed, p) on the device in batches of
// `capacity`, and checks every block against the CPU: the drawn bits and syndrome, the
// reference decoder's decisions and iterations, the batch decoder's iterations, and the
// device's counts against the blocks' outcomes.
void expect_identity(const MinsumCode& code, const Setting& set, double p, std::uint64_t first,
                     int count, int capacity) {
  SCOPED_TRACE(std::string(set.name) + " n=" + std::to_string(code.n) + " p=" + std::to_string(p));
  GpuMinsum gpu;
  std::string error;
  ASSERT_TRUE(gpu.open(code, capacity, error)) << error;
  const sweep::PhiloxKey key = sweep::point_key(5, p);
  const std::uint64_t threshold = sweep::noise_threshold(p);
  const int n = code.n, m = code.m;
  std::vector<std::int8_t> x(n), y(n), s(m), x_hat(n);

  // The batch decoder over the same blocks, for its iteration counts.
  std::vector<int> stream_iterations(static_cast<std::size_t>(count), -1);
  std::vector<std::vector<std::int8_t>> stream_x_hat(static_cast<std::size_t>(count));
  {
    MinsumWorkspace ws;
    std::vector<std::int64_t> lane_block(static_cast<std::size_t>(minsum_lanes()), -1);
    int next = 0;
    minsum_decode_stream(
        code, set.params, set.schedule, ws,
        [&](int lane, std::int8_t* ly, std::int8_t* ls) {
          if (next >= count) return false;
          std::vector<std::int8_t> lx(n);
          sweep::draw_sweep_block(key, first + next, threshold, lx.data(), ly, n);
          compute_syndrome(code.ir.data(), code.jc.data(), m, lx.data(), ls);
          lane_block[lane] = next++;
          return true;
        },
        [&](int lane, const std::int8_t* xh, bool, int iterations) {
          stream_iterations[lane_block[lane]] = iterations;
          stream_x_hat[lane_block[lane]].assign(xh, xh + n);
        });
  }

  for (int done = 0; done < count;) {
    const int now = std::min(capacity, count - done);
    std::vector<GpuBlockOutcome> outcomes(static_cast<std::size_t>(now));
    GpuMinsumTotals totals, sums;
    GpuMinsumDump dump;
    ASSERT_TRUE(gpu.decode(set.params, set.schedule, key[0], key[1], threshold, first + done, now,
                           outcomes.data(), &totals, &dump, error))
        << error;
    for (int i = 0; i < now; ++i) {
      const std::uint64_t block = first + done + i;
      sweep::draw_sweep_block(key, block, threshold, x.data(), y.data(), n);
      compute_syndrome(code.ir.data(), code.jc.data(), m, x.data(), s.data());
      int iterations = 0;
      const bool success = minsum_decode_reference(code, set.params, set.schedule, y.data(),
                                                   s.data(), x_hat.data(), &iterations);
      const auto at = [&](const std::vector<std::int8_t>& v, int len) {
        return std::vector<std::int8_t>(v.begin() + static_cast<std::ptrdiff_t>(i) * len,
                                        v.begin() + static_cast<std::ptrdiff_t>(i + 1) * len);
      };
      ASSERT_EQ(at(dump.x, n), x) << "block " << block;
      ASSERT_EQ(at(dump.y, n), y) << "block " << block;
      ASSERT_EQ(at(dump.s, m), s) << "block " << block;
      ASSERT_EQ(at(dump.x_hat, n), x_hat) << "block " << block;
      ASSERT_EQ(outcomes[i].iterations, iterations) << "block " << block;
      ASSERT_EQ(outcomes[i].iterations, stream_iterations[done + i]) << "block " << block;
      ASSERT_EQ(stream_x_hat[done + i], x_hat) << "block " << block;
      const int errors = count_bit_errors(x_hat.data(), x.data(), n);
      ASSERT_EQ(outcomes[i].bit_errors, errors) << "block " << block;
      ASSERT_EQ(outcomes[i].success, success) << "block " << block;
      sums.undetected_errors += success && errors > 0 ? 1 : 0;
      sums.frame_errors += errors > 0 ? 1 : 0;
      sums.bit_errors += static_cast<std::uint64_t>(errors);
      sums.bit_errors_sq += static_cast<std::uint64_t>(errors) * static_cast<std::uint64_t>(errors);
      sums.iterations += static_cast<std::uint64_t>(iterations);
    }
    EXPECT_EQ(totals, sums);
    done += now;
  }
}

TEST(GpuMinsum, ShippedMatrixMatchesTheCpuBlockByBlock) {
  const MinsumCode code = shipped_code();
  // p = 0.08 sits where failures, long decodes and early successes mix; 20 blocks in batches
  // of 8 end with a partial batch.
  for (const Setting& set : settings()) expect_identity(code, set, 0.08, 1000, 20, 8);
}

TEST(GpuMinsum, IrregularAndOddSizedMatricesMatchTheCpu) {
  const MinsumCode irregular = irregular_code(97, 41, 6, 3);
  const MinsumCode tiny = code_of(5, {{0, 1}, {}, {2}, {1, 3, 4, 2}, {4, 4}});
  const MinsumCode no_checks = code_of(3, {});
  for (const Setting& set : settings()) {
    expect_identity(irregular, set, 0.12, 0, 45, 16);
    expect_identity(tiny, set, 0.3, 7, 9, 4);
    expect_identity(no_checks, set, 0.2, 0, 3, 3);
  }
}

TEST(GpuMinsum, HighNoiseAndFarBlockIndices) {
  // p = 0.5: nothing decodes, every block runs to the limit; block indices past 2^32 use
  // the counters' high word.
  const MinsumCode code = irregular_code(130, 65, 4, 11);
  for (const Setting& set : settings())
    expect_identity(code, set, 0.5, (std::uint64_t{1} << 32) - 3, 6, 5);
}

TEST(GpuMinsum, RefusesBadCallsWithOneLine) {
  const MinsumCode code = code_of(4, {{0, 1}, {1, 2, 3}});
  GpuMinsum gpu;
  std::string error;
  GpuBlockOutcome out[4];
  EXPECT_FALSE(gpu.decode(default_params(Schedule::layered), Schedule::layered, 0, 0, 0, 0, 1, out,
                          nullptr, nullptr, error));
  EXPECT_NE(error.find("not open"), std::string::npos) << error;
  EXPECT_FALSE(gpu.open(code, 0, error));
  ASSERT_TRUE(gpu.open(code, 4, error)) << error;
  EXPECT_FALSE(gpu.decode(default_params(Schedule::layered), Schedule::layered, 0, 0, 0, 0, 5, out,
                          nullptr, nullptr, error));
  EXPECT_NE(error.find("outside 0..4"), std::string::npos) << error;
  MinsumParams bad = default_params(Schedule::layered);
  bad.q = 0;
  EXPECT_FALSE(gpu.decode(bad, Schedule::layered, 0, 0, 0, 0, 1, out, nullptr, nullptr, error));
  EXPECT_NE(error.find("Q = 0"), std::string::npos) << error;
  GpuMinsumTotals totals{1, 1, 1, 1};
  EXPECT_TRUE(gpu.decode(default_params(Schedule::layered), Schedule::layered, 0, 0, 0, 0, 0, out,
                         &totals, nullptr, error));
  EXPECT_EQ(totals, GpuMinsumTotals{});
}

// ---- In the sweep ------------------------------------------------------------------------

using sweep::DecoderKind;
using sweep::PointCounts;
using sweep::PointResult;
using sweep::PointTask;

const sweep::SweepCode& shipped_sweep_code() {
  static const sweep::SweepCode code = [] {
    sweep::SweepCode c;
    std::string error;
    if (!sweep::load_sweep_code(LDPCSW_DATA_DIR "/Reg504252.dat", sweep::MatrixFormat::detect, c,
                                error) ||
        !sweep::prepare_minsum_code(c, error))
      ADD_FAILURE() << error;
    return c;
  }();
  return code;
}

using ldpcsw::test::LocalGroup;
using ldpcsw::test::LocalRank;

// One point on `threads` CPU workers, or on a device batch of `capacity` blocks when it is > 0.
PointResult run_on(DecoderKind decoder, PointTask task, int threads, int capacity,
                   const PointCounts& start = {}, const std::atomic<bool>* stop = nullptr,
                   const sweep::ProgressFn& progress = {}, sweep::Collective* group = nullptr,
                   std::int64_t total_workers = 0) {
  sweep::SoloCollective solo;
  sweep::WorkerPool pool(threads);
  std::vector<sweep::BlockWorkspace> ws;
  for (int i = 0; i < threads; ++i) ws.emplace_back(shipped_sweep_code());
  GpuMinsum gpu;
  if (capacity > 0) {
    std::string error;
    EXPECT_TRUE(gpu.open(shipped_sweep_code().minsum, capacity, error)) << error;
    task.device = &gpu;
  }
  return sweep::run_point(shipped_sweep_code(), decoder, task, start, pool, ws,
                          group != nullptr ? *group : solo,
                          total_workers > 0 ? total_workers : threads, stop, progress);
}

const DecoderKind MINSUM[] = {DecoderKind::minsum_flooding, DecoderKind::minsum_layered};

TEST(GpuMinsumSweep, DeviceCountsEqualTheCpuForAnyBatchAndProcesses) {
  // p = 0.075 with Q = 7 fails about one block in six: 12 failures end the point inside a
  // round, so the early stop's prefix rule decides which device outcomes count.
  PointTask task{0.075, 3000, 12, 11, {}};
  task.minsum.q = 7;
  for (DecoderKind decoder : MINSUM) {
    SCOPED_TRACE(sweep::decoder_name(decoder));
    const PointCounts cpu = run_on(decoder, task, 2, 0).counts;
    ASSERT_EQ(cpu.frame_errors, 12);
    for (int capacity : {1, 13, 256}) EXPECT_EQ(run_on(decoder, task, 1, capacity).counts, cpu) << capacity;

    // Two processes, one decoding on the device and one on the CPU, share every round.
    LocalGroup group(2);
    std::vector<PointResult> results(2);
    std::vector<std::thread> ranks;
    for (int rank = 0; rank < 2; ++rank)
      ranks.emplace_back([&, rank] {
        LocalRank me(group, rank);
        results[rank] = run_on(decoder, task, 1, rank == 0 ? 9 : 0, {}, nullptr, {}, &me, 5);
      });
    for (auto& t : ranks) t.join();
    for (const PointResult& r : results) EXPECT_EQ(r.counts, cpu);

    // Without an early stop every block is counted.
    const PointTask all{0.06, 70, 0, 3, {}};
    EXPECT_EQ(run_on(decoder, all, 1, 32).counts, run_on(decoder, all, 2, 0).counts);
  }
}

TEST(GpuMinsumSweep, InterruptedOnTheDeviceAndResumedOnEitherEqualsUninterrupted) {
  PointTask task{0.075, 3000, 15, 5, {}};
  task.minsum.q = 7;
  for (DecoderKind decoder : MINSUM) {
    const PointCounts whole = run_on(decoder, task, 2, 0).counts;
    for (std::int64_t after : {1, 40}) {
      std::atomic<bool> stop{false};
      const PointResult cut = run_on(decoder, task, 1, 8, {}, &stop,
                                     [&](const PointCounts&, std::int64_t done) {
                                       if (done >= after) stop = true;
                                     });
      ASSERT_TRUE(cut.interrupted);
      ASSERT_GT(cut.counts.blocks, 0);
      EXPECT_EQ(run_on(decoder, task, 1, 16, cut.counts).counts, whole) << after;
      EXPECT_EQ(run_on(decoder, task, 2, 0, cut.counts).counts, whole) << after;
    }
  }
}

TEST(GpuMinsumSweep, DeviceOptionAndTheWholeSweep) {
  auto parse = [](std::vector<const char*> args, sweep::SweepOptions& o, std::string& message) {
    args.insert(args.begin(), "ldpcsw-sweep");
    return sweep::parse_sweep_options(static_cast<int>(args.size()), args.data(), o, message);
  };
  const std::string matrix = LDPCSW_DATA_DIR "/Reg504252.dat";
  sweep::SweepOptions o;
  std::string message;
  ASSERT_EQ(parse({"--matrix", matrix.c_str(), "--p", "0.07,0.08", "--blocks", "120",
                   "--max-frame-errors", "9", "--decoder", "minsum-layered", "--threads", "2"},
                  o, message),
            -1)
      << message;
  EXPECT_EQ(o.device, sweep::SweepDevice::cpu);
  ASSERT_EQ(parse({"--matrix", matrix.c_str(), "--p", "0.07,0.08", "--blocks", "120",
                   "--max-frame-errors", "9", "--decoder", "minsum-layered", "--threads", "2",
                   "--device", "gpu"},
                  o, message),
            -1)
      << message;
  EXPECT_EQ(o.device, sweep::SweepDevice::gpu);
  const std::vector<std::pair<std::vector<const char*>, std::string>> bad = {
      {{"--device", "gpu"},
       "--device gpu: the adaptive decoder runs on the cpu only; the gpu runs minsum-flooding, "
       "minsum-layered and spa-layered"},
      {{"--decoder", "plain", "--device", "gpu"},
       "--device gpu: the plain decoder runs on the cpu only; the gpu runs minsum-flooding, "
       "minsum-layered and spa-layered"},
      {{"--decoder", "minsum-layered", "--device", "tpu"}, "--device: 'tpu' is not one of cpu, gpu"}};
  for (const auto& [extra, want] : bad) {
    std::vector<const char*> args{"--matrix", "H", "--p", "0.05"};
    args.insert(args.end(), extra.begin(), extra.end());
    sweep::SweepOptions bad_options;
    EXPECT_EQ(parse(args, bad_options, message), 2);
    EXPECT_EQ(message.substr(0, message.find('\n')), "ldpcsw-sweep: " + want);
  }

  // The whole sweep on each device writes the same CSV rows, but for the seconds column; a
  // sweep recorded on the cpu resumes on the gpu.
  test::TempDir dir;
  {
    // The emulation says that it runs; a CUDA build says nothing.
    sweep::SweepOptions small = o;
    small.ps = {0.07};
    small.blocks = 4;
    const std::string said = dir.file("said.txt");
    std::FILE* err = std::fopen(said.c_str(), "w");
    std::FILE* out = std::fopen("/dev/null", "w");
    sweep::SoloCollective one;
    ASSERT_EQ(sweep::run_sweep(small, one, nullptr, sweep::SweepIo{out, err, false}), 0);
    std::fclose(err);
    std::fclose(out);
    EXPECT_EQ(test::read_file(said).find("host backend (SIMT emulation on the CPU)") !=
                  std::string::npos,
              std::string(device_backend_name()) == "host")
        << test::read_file(said);
  }
  std::FILE* sink = std::fopen("/dev/null", "w");
  const sweep::SweepIo io{sink, sink, false};
  sweep::SoloCollective solo;
  sweep::SweepOptions cpu = o;
  cpu.device = sweep::SweepDevice::cpu;
  cpu.csv = dir.file("cpu.csv");
  o.csv = dir.file("gpu.csv");
  ASSERT_EQ(sweep::run_sweep(cpu, solo, nullptr, io), 0);
  ASSERT_EQ(sweep::run_sweep(o, solo, nullptr, io), 0);
  EXPECT_EQ(test::read_file(dir.file("cpu.csv.run")), test::read_file(dir.file("gpu.csv.run")));
  const auto rows = [](const std::string& text) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at < text.size()) {
      const std::size_t end = text.find('\n', at);
      std::string line = text.substr(at, end - at);
      if (!line.empty() && line[0] != '#') out.push_back(line);
      at = end == std::string::npos ? text.size() : end + 1;
    }
    return out;
  };
  const std::vector<std::string> cpu_rows = rows(test::read_file(cpu.csv));
  const std::vector<std::string> gpu_rows = rows(test::read_file(o.csv));
  ASSERT_EQ(cpu_rows.size(), 3u);  // header and two points
  ASSERT_EQ(gpu_rows.size(), cpu_rows.size());
  EXPECT_EQ(gpu_rows[0], cpu_rows[0]);
  // Every column but seconds, blocks per second and the row's check (which covers them).
  const auto counts_of = [](const std::string& row) {
    std::vector<std::string> fields;
    std::size_t at = 0;
    for (;;) {
      const std::size_t comma = row.find(',', at);
      fields.push_back(row.substr(at, comma - at));
      if (comma == std::string::npos) break;
      at = comma + 1;
    }
    EXPECT_EQ(fields.size(), 17u) << row;
    if (fields.size() == 17u) fields.erase(fields.begin() + 12, fields.begin() + 14), fields.pop_back();
    return fields;
  };
  for (std::size_t i = 1; i < cpu_rows.size(); ++i)
    EXPECT_EQ(counts_of(gpu_rows[i]), counts_of(cpu_rows[i])) << cpu_rows[i];
  std::fclose(sink);
}

#if defined(LDPCSW_DEVICE_HOST)
// Every runtime failure on the way is reported with the call's name and leaves nothing
// allocated once the object is gone.
TEST(GpuMinsum, RuntimeFailuresAreReportedAndReleaseEverything) {
  namespace hr = host_runtime;
  const MinsumCode code = code_of(6, {{0, 1, 2}, {2, 3, 4}, {4, 5, 0}});
  const MinsumParams params = default_params(Schedule::flooding);
  const int before = hr::stats().live_allocations;
  struct Fault {
    hr::Call call;
    int nth;
    bool at_open;
    const char* text;
  };
  const Fault faults[] = {
      {hr::Call::malloc, 1, true, "cudaMalloc"},     {hr::Call::malloc, 7, true, "cudaMalloc"},
      {hr::Call::malloc, 12, true, "cudaMalloc"},    {hr::Call::memcpy, 3, true, "cudaMemcpy"},
      {hr::Call::memcpy, 1, false, "cudaMemcpy"},    {hr::Call::launch, 1, false, "launching"},
      {hr::Call::device_sync, 1, false, "running"},  {hr::Call::memcpy, 2, false, "from the device"},
  };
  for (const Fault& f : faults) {
    SCOPED_TRACE(f.text);
    hr::reset();
    std::string error;
    {
      GpuMinsum gpu;
      if (f.at_open) {
        hr::fail_call(f.call, f.nth);
        EXPECT_FALSE(gpu.open(code, 3, error));
        EXPECT_FALSE(gpu.is_open());
      } else {
        ASSERT_TRUE(gpu.open(code, 3, error)) << error;
        hr::fail_call(f.call, f.nth);
        GpuBlockOutcome out[3];
        GpuMinsumTotals totals;
        EXPECT_FALSE(gpu.decode(params, Schedule::flooding, 1, 2, 1u << 30, 0, 3, out, &totals,
                                nullptr, error));
      }
      EXPECT_NE(error.find(f.text), std::string::npos) << error;
      EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    }
    EXPECT_EQ(hr::stats().live_allocations, before);
  }
  hr::reset();
}

// A device that fails in the middle of a point ends it like an interruption: the blocks
// settled before the failure are counted (a prefix, which a resume continues), and the error
// is handed back for the sweep to report.
TEST(GpuMinsumSweep, DeviceFailureMidPointKeepsTheSettledPrefix) {
  namespace hr = host_runtime;
  PointTask task{0.075, 3000, 0, 5, {}};
  task.minsum.q = 7;
  task.blocks = 200;
  const PointCounts whole = run_on(DecoderKind::minsum_layered, task, 2, 0).counts;
  hr::reset();
  hr::fail_call(hr::Call::launch, 3);
  const PointResult cut = run_on(DecoderKind::minsum_layered, task, 1, 8);
  hr::reset();
  EXPECT_TRUE(cut.interrupted);
  EXPECT_FALSE(cut.finished);
  EXPECT_NE(cut.device_error.find("launching the min-sum kernel"), std::string::npos)
      << cut.device_error;
  EXPECT_EQ(cut.counts.blocks, 16);  // two batches of 8 before the failed launch
  EXPECT_EQ(run_on(DecoderKind::minsum_layered, task, 2, 0, cut.counts).counts, whole);
}
#endif

}  // namespace
