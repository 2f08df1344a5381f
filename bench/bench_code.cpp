// Code construction and analysis: progressive edge growth of long codes (the target: a rate-1/2
// code of 100,000 columns in well under a minute on one core) and one density-evolution run.
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "code/degrees.h"
#include "code/density.h"
#include "code/peg.h"

namespace {

using namespace ldpcsw;

// (3,6) codes of n columns; range(1) is the search depth (0: full).
void BM_PegRegular(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  PegOptions options;
  options.depth_limit = static_cast<int>(state.range(1));
  for (auto _ : state) {
    ParityCheckMatrix h;
    std::string error;
    if (!build_peg_irregular(std::vector<int>(n, 3), std::vector<int>(n / 2, 6), 1, options, h,
                             error))
      state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(h.jc.data());
  }
}
BENCHMARK(BM_PegRegular)
    ->Args({10000, 0})
    ->Args({10000, 4})
    ->Args({100000, 4})
    ->Unit(benchmark::kSecond)
    ->Iterations(1);

// Columns 2:0.5,3:0.3,8:0.2 with rows of degree 7, at the default depth for long codes.
void BM_PegIrregular(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const DegreeDistribution columns{{2, 3, 8}, {0.5, 0.3, 0.2}};
  std::vector<int> column_degrees, row_degrees;
  std::string error;
  code_realise_degrees(n, n / 2, columns, nullptr, column_degrees, row_degrees, error);
  PegOptions options;
  options.depth_limit = code_peg_default_depth(column_degrees, row_degrees);
  for (auto _ : state) {
    ParityCheckMatrix h;
    if (!build_peg_irregular(column_degrees, row_degrees, 1, options, h, error))
      state.SkipWithError(error.c_str());
    benchmark::DoNotOptimize(h.jc.data());
  }
}
BENCHMARK(BM_PegIrregular)->Arg(100000)->Unit(benchmark::kSecond)->Iterations(1);

// One density-evolution run of the (3,6) ensemble just below its threshold, default grid.
void BM_DensityEvolution36(benchmark::State& state) {
  const DensityOptions options;
  for (auto _ : state) {
    double e = 0;
    int iterations = 0;
    benchmark::DoNotOptimize(code_density_converges(
        code_regular_degrees(3), code_regular_degrees(6), 0.08, options, e, iterations));
    state.counters["iterations"] = iterations;
  }
}
BENCHMARK(BM_DensityEvolution36)->Unit(benchmark::kMillisecond);

// The threshold of the rate-1/2 irregular ensemble with columns up to degree 10 and rows of
// degrees 7 and 8, on a grid of step 1/range(0): the whole bisection, most of it in the slow
// evolution near p*.
void BM_ThresholdIrregular(benchmark::State& state) {
  DegreeDistribution columns, rows;
  std::string error;
  if (!code_parse_degrees("2:0.25105,3:0.30938,4:0.00104,10:0.43853", DegreePerspective::edge,
                          columns, error) ||
      !code_parse_degrees("7:0.63676,8:0.36324", DegreePerspective::edge, rows, error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  DensityOptions options;
  options.step = 1.0 / static_cast<double>(state.range(0));
  for (auto _ : state) {
    double p = 0;
    if (!code_threshold(columns, rows, options, p, error)) state.SkipWithError(error.c_str());
    state.counters["p*"] = p;
  }
}
BENCHMARK(BM_ThresholdIrregular)->Arg(8)->Arg(16)->Unit(benchmark::kSecond)->Iterations(1);

}  // namespace
