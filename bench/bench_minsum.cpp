// The fixed-point batch decoder on the shipped matrix, per SIMD target and rule, in
// nanoseconds per edge-iteration per block (a vector of blocks shares each operation), and the
// sweep's per-block work around it: drawing a block from its Philox stream and its syndrome,
// and the whole pipeline, also split phase by phase.
//
// Blocks are drawn as the sweep draws them (seed 1) at p = 0.06; each pass decodes the same
// BLOCKS blocks through the lanes with refill, so iteration counts are the decoder's own.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "code/blocks.h"
#include "code/matrix.h"
#include "minsum/minsum.h"
#include "sweep/engine.h"

namespace {

using namespace ldpcsw;
using namespace ldpcsw::minsum;

constexpr int BLOCKS = 4096;

struct Workload {
  MinsumCode code;
  std::vector<std::int8_t> y, s;  // BLOCKS blocks, one after another
};

const Workload& workload(double p) {
  static Workload w = [p] {
    Workload out;
    std::FILE* f = std::fopen(LDPCSW_DATA_DIR "/Reg504252.dat", "rb");
    ParityCheckMatrix h;
    std::string error;
    if (f == nullptr || !read_code_rows(f, h, error)) std::abort();
    std::fclose(f);
    if (!make_minsum_code(h.n, h.m, h.ir.data(), h.jc.data(), out.code, error)) std::abort();
    const int n = h.n, m = h.m;
    out.y.resize(static_cast<std::size_t>(BLOCKS) * n);
    out.s.resize(static_cast<std::size_t>(BLOCKS) * m);
    std::vector<std::int8_t> x(static_cast<std::size_t>(n));
    const auto key = sweep::point_key(1, p);
    for (int b = 0; b < BLOCKS; ++b) {
      sweep::draw_sweep_block(key, static_cast<std::uint64_t>(b), sweep::noise_threshold(p),
                              x.data(), &out.y[static_cast<std::size_t>(b) * n], n);
      compute_syndrome(h.ir.data(), h.jc.data(), m, x.data(), &out.s[static_cast<std::size_t>(b) * m]);
    }
    return out;
  }();
  return w;
}

// The rules timed: the former layered rule (8-bit a-posteriori values, 7/8), the default
// layered rule (16-bit, corrections by weight), the layered sum-product and flooding.
enum class Rule { layered8, layered16, spa, flooding };

MinsumParams params_of(Rule rule) {
  switch (rule) {
    case Rule::layered8: return former_params(Schedule::layered);
    case Rule::layered16: return default_params(Schedule::layered);
    case Rule::spa: {
      MinsumParams p = default_params(Schedule::layered);
      p.check = CheckRule::sum_product;
      p.q = spa_channel_q(0.06);
      return p;
    }
    case Rule::flooding: break;
  }
  return default_params(Schedule::flooding);
}

void BM_MinsumStream(benchmark::State& state, std::int64_t target, Rule rule) {
  minsum_force_target(target);
  const Workload& w = workload(0.06);
  const int n = w.code.n, m = w.code.m;
  const Schedule schedule = rule == Rule::flooding ? Schedule::flooding : Schedule::layered;
  const MinsumParams params = params_of(rule);
  MinsumWorkspace ws;
  std::int64_t iterations = 0, blocks = 0;
  for (auto _ : state) {
    int next = 0;
    minsum_decode_stream(
        w.code, params, schedule, ws,
        [&](int, std::int8_t* y, std::int8_t* s) {
          if (next == BLOCKS) return false;
          std::copy_n(&w.y[static_cast<std::size_t>(next) * n], n, y);
          std::copy_n(&w.s[static_cast<std::size_t>(next) * m], m, s);
          ++next;
          return true;
        },
        [&](int, const std::int8_t*, bool, int it) {
          iterations += it;
          blocks += 1;
        });
  }
  minsum_force_target(0);
  const double edge_iterations = static_cast<double>(iterations) * w.code.edges();
  state.counters["ns_per_edge_iter_block"] = benchmark::Counter(
      edge_iterations, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["blocks_per_s"] = benchmark::Counter(static_cast<double>(blocks),
                                                      benchmark::Counter::kIsRate);
  state.counters["avg_iterations"] = static_cast<double>(iterations) / static_cast<double>(blocks);
}

// The sweep's own work per block: the Philox draw of x and y (scalar, or with the noise
// counters in SIMD lanes), and the syndrome.
void BM_DrawAndSyndrome(benchmark::State& state, bool simd) {
  const Workload& w = workload(0.06);
  const int n = w.code.n, m = w.code.m;
  std::vector<std::int8_t> x(static_cast<std::size_t>(n)), y(x), s(static_cast<std::size_t>(m));
  const auto key = sweep::point_key(1, 0.06);
  std::uint64_t b = 0;
  for (auto _ : state) {
    if (simd)
      sweep::draw_sweep_block_simd(key, b++, sweep::noise_threshold(0.06), x.data(), y.data(), n);
    else
      sweep::draw_sweep_block(key, b++, sweep::noise_threshold(0.06), x.data(), y.data(), n);
    compute_syndrome(w.code.ir.data(), w.code.jc.data(), m, x.data(), s.data());
    benchmark::DoNotOptimize(s.data());
  }
  state.counters["blocks_per_s"] = benchmark::Counter(static_cast<double>(state.iterations()),
                                                      benchmark::Counter::kIsRate);
}
// The sweep's whole pipeline on one thread, BLOCKS blocks a pass: each block drawn (SIMD
// drawing) when a lane takes it and handed to the decoder as (x, y) (`drawn` false), or drawn
// by the decoder a whole vector of blocks at once into its lanes (`drawn`, the sweep's form);
// syndromes formed and bit errors counted in the lanes. Returns the blocks decoded.
std::int64_t run_pipeline(const MinsumParams& params, Schedule schedule, bool drawn,
                          MinsumWorkspace& ws, std::uint64_t& next, MinsumSplit* split) {
  const Workload& w = workload(0.06);
  const int n = w.code.n;
  const auto key = sweep::point_key(1, 0.06);
  const std::uint64_t threshold = sweep::noise_threshold(0.06);
  const std::uint64_t end = next + BLOCKS;
  std::int64_t blocks = 0, errors = 0;
  if (drawn) {
    minsum_decode_drawn(
        w.code, params, schedule, ws, key, threshold,
        [&](std::uint64_t& block) {
          if (next == end) return false;
          block = next++;
          return true;
        },
        [&](std::uint64_t, int bit_errors, bool, int) {
          errors += bit_errors;
          blocks += 1;
        },
        split);
  } else {
    minsum_decode_sources(
        w.code, params, schedule, ws,
        [&](int, std::int8_t* x, std::int8_t* y) {
          if (next == end) return false;
          sweep::draw_sweep_block_simd(key, next++, threshold, x, y, n);
          return true;
        },
        [&](int, int bit_errors, bool, int) {
          errors += bit_errors;
          blocks += 1;
        },
        split);
  }
  benchmark::DoNotOptimize(errors);
  return blocks;
}

// Beside BM_MinsumStream (the decoder alone on stored blocks) and BM_DrawAndSyndrome, the
// whole pipeline's rate.
void BM_SweepPipeline(benchmark::State& state, std::int64_t target, Rule rule, bool drawn) {
  minsum_force_target(target);
  const Schedule schedule = rule == Rule::flooding ? Schedule::flooding : Schedule::layered;
  const MinsumParams params = params_of(rule);
  MinsumWorkspace ws;
  std::int64_t blocks = 0;
  std::uint64_t next = 0;
  for (auto _ : state) blocks += run_pipeline(params, schedule, drawn, ws, next, nullptr);
  minsum_force_target(0);
  state.counters["blocks_per_s"] = benchmark::Counter(static_cast<double>(blocks),
                                                      benchmark::Counter::kIsRate);
}

// The same pipeline with its time split by phase, in nanoseconds per block: draw (the Philox
// draw of x and y), place (a block into its lane's waiting rows), syndrome (s = H x in the
// lanes), refill (waiting blocks moved into their lanes), decode (the rule's arithmetic),
// stop_test (decisions against syndromes), count (bit errors and the outcome). The split reads
// the wall clock around every phase, which adds a little to each; `other` is what no phase
// took. Shares are of the summed phases.
void BM_PipelineSplit(benchmark::State& state, std::int64_t target, Rule rule, bool drawn) {
  minsum_force_target(target);
  const Schedule schedule = rule == Rule::flooding ? Schedule::flooding : Schedule::layered;
  const MinsumParams params = params_of(rule);
  MinsumWorkspace ws;
  MinsumSplit split;
  std::int64_t blocks = 0;
  std::uint64_t next = 0;
  for (auto _ : state) blocks += run_pipeline(params, schedule, drawn, ws, next, &split);
  minsum_force_target(0);
  const double per_block = 1.0 / static_cast<double>(blocks);
  const std::pair<const char*, double> phases[] = {
      {"draw", split.draw},     {"place", split.place},   {"syndrome", split.syndrome},
      {"refill", split.refill}, {"decode", split.decode}, {"stop_test", split.stop_test},
      {"count", split.count}};
  double summed = 0;
  for (const auto& [name, ns] : phases) {
    state.counters[std::string(name) + "_ns"] = ns * per_block;
    summed += ns;
  }
  for (const auto& [name, ns] : phases)
    state.counters[std::string(name) + "_share"] = ns / summed;
  state.counters["other_ns"] = (split.total - summed) * per_block;
  state.counters["blocks_per_s"] = benchmark::Counter(static_cast<double>(blocks),
                                                      benchmark::Counter::kIsRate);
}

BENCHMARK_CAPTURE(BM_DrawAndSyndrome, scalar, false);
BENCHMARK_CAPTURE(BM_DrawAndSyndrome, simd, true);

const int registered = [] {
  const std::pair<Rule, const char*> rules[] = {{Rule::layered8, "/layered-8bit"},
                                                 {Rule::layered16, "/layered"},
                                                 {Rule::spa, "/spa-layered"},
                                                 {Rule::flooding, "/flooding"}};
  for (std::int64_t t : minsum_available_targets()) {
    for (const auto& [rule, suffix] : rules) {
      const std::string name = "BM_MinsumStream/" + minsum_target_name(t) + suffix;
      benchmark::RegisterBenchmark(name.c_str(), BM_MinsumStream, t, rule)
          ->Unit(benchmark::kMillisecond);
      for (const bool drawn : {false, true}) {
        const std::string form = drawn ? "/drawn" : "/sources";
        const std::string pipeline = "BM_SweepPipeline/" + minsum_target_name(t) + suffix + form;
        benchmark::RegisterBenchmark(pipeline.c_str(), BM_SweepPipeline, t, rule, drawn)
            ->Unit(benchmark::kMillisecond);
        const std::string parts = "BM_PipelineSplit/" + minsum_target_name(t) + suffix + form;
        benchmark::RegisterBenchmark(parts.c_str(), BM_PipelineSplit, t, rule, drawn)
            ->Unit(benchmark::kMillisecond);
      }
    }
  }
  return 0;
}();

}  // namespace
