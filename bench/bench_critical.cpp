// The cost of a critical-rate point beside the fixed-rate point it is judged by, on the shipped
// rate-adaptive code (data/RA10000x6500.*) at p = 0.06 with the fixed-point sum-product decoder
// and the sweep's blocks (seed 1):
//   BM_FixedAtFoundRate/B/T: the sweep's point of B blocks on the chain's code at step 2801,
//     the rate the critical-rate run finds on average there (R̄ = 0.370; FER 0.51), every block
//     decoded (no frame-error limit);
//   BM_CriticalPoint/B/T: the critical-rate point of the same B blocks along the chain.
// T threads. Each reports blocks_per_s; the ratio of the two rates at the same B and T is what
// a critical-rate point costs in fixed-rate points. A pass of BM_CriticalPoint searches all B
// blocks: about 40 s for 3000 blocks on two cores.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "code/load.h"
#include "code/rank.h"
#include "code/rate_adapt.h"
#include "sweep/critical.h"
#include "sweep/engine.h"
#include "sweep/input.h"

namespace {

using namespace ldpcsw;
using namespace ldpcsw::sweep;

constexpr double P = 0.06;
constexpr int FOUND_STEP = 2801;

struct Shipped {
  SweepCode mother;
  std::unique_ptr<ChainCodes> codes;
};

Shipped& shipped() {
  static Shipped s = [] {
    Shipped out;
    std::string error;
    if (!load_sweep_code(LDPCSW_DATA_DIR "/RA10000x6500.dat", MatrixFormat::detect, out.mother,
                         error) ||
        !prepare_minsum_code(out.mother, error))
      std::abort();
    RateAdaptChain chain;
    if (load_rate_adapt(LDPCSW_DATA_DIR "/RA10000x6500.chain", chain, error) != LoadStatus::ok)
      std::abort();
    ParityCheckMatrix h{out.mother.n, out.mother.m, out.mother.ir, out.mother.jc};
    std::vector<long long> ranks;
    if (!rate_adapt_ranks(h, chain, ranks, DENSE_RANK_MAX_BITS)) std::abort();
    out.codes =
        std::make_unique<ChainCodes>(std::move(h), std::move(chain), std::move(ranks), true);
    return out;
  }();
  return s;
}

minsum::MinsumParams spa_params() {
  minsum::MinsumParams p = minsum::default_params(minsum::Schedule::layered);
  p.check = minsum::CheckRule::sum_product;
  p.q = 0;  // from p
  return p;
}

// The task of either kind: B blocks at P, seed 1, the sum-product rule.
template <class Task>
Task point_task(std::int64_t blocks) {
  Task task;
  task.p = P;
  task.blocks = blocks;
  task.seed = 1;
  task.minsum = spa_params();
  return task;
}

// Times point(pool, workspaces, group, threads), which returns the blocks it decoded, on
// state.range(1) threads, and reports blocks_per_s.
template <class Point>
void time_point(benchmark::State& state, Point&& point) {
  const int threads = static_cast<int>(state.range(1));
  WorkerPool pool(threads);
  std::vector<BlockWorkspace> ws;
  for (int t = 0; t < threads; ++t) ws.emplace_back(shipped().mother);
  SoloCollective solo;
  std::int64_t done = 0;
  for (auto _ : state) done += point(pool, ws, solo, threads);
  state.counters["blocks_per_s"] =
      benchmark::Counter(static_cast<double>(done), benchmark::Counter::kIsRate);
}

void BM_FixedAtFoundRate(benchmark::State& state) {
  const PointTask task = point_task<PointTask>(state.range(0));
  const std::shared_ptr<const SweepCode> code = shipped().codes->code(FOUND_STEP);
  time_point(state, [&](WorkerPool& pool, std::vector<BlockWorkspace>& ws, Collective& group,
                        int threads) {
    const PointResult r = run_point(*code, DecoderKind::spa_layered, task, {}, pool, ws, group,
                                    threads, nullptr, {});
    state.counters["fer"] = static_cast<double>(r.counts.frame_errors) /
                            static_cast<double>(r.counts.blocks);
    return r.counts.blocks;
  });
}
BENCHMARK(BM_FixedAtFoundRate)
    ->Args({3000, 1})
    ->Args({3000, 2})
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

void BM_CriticalPoint(benchmark::State& state) {
  const CriticalTask task = point_task<CriticalTask>(state.range(0));
  time_point(state, [&](WorkerPool& pool, std::vector<BlockWorkspace>& ws, Collective& group,
                        int threads) {
    const CriticalResult r = run_critical_point(*shipped().codes, DecoderKind::spa_layered, task,
                                                {}, pool, ws, group, threads, nullptr, {});
    const double blocks = static_cast<double>(r.counts.blocks);
    state.counters["probes_per_block"] = static_cast<double>(r.counts.decodes) / blocks;
    state.counters["iterations_per_block"] = static_cast<double>(r.counts.iterations) / blocks;
    return r.counts.blocks;
  });
}
BENCHMARK(BM_CriticalPoint)
    ->Args({1000, 1})
    ->Args({1000, 2})
    ->Args({3000, 2})
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace
