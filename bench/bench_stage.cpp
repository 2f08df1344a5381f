// The window-search stage on the device backend in use (on the host backend: the SIMT
// emulation), whole and by kernel, beside the CPU width search it is timed against.
// For the stage and the kernels, Time is wall-clock and CPU counts the whole process: the
// emulation may run blocks on helper threads (LDPCSW_SIMT_THREADS=1 keeps it to one).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <vector>

#include "decode/window.h"
#include "gpu/gpu_window_search.h"
#include "gpu/kernel_runner.h"

namespace {

std::vector<float> decoder_like_profile(int n) {
  std::mt19937 g(static_cast<unsigned>(n));
  std::vector<float> p(static_cast<std::size_t>(n));
  for (auto& v : p) {
    const float t = static_cast<float>(g() >> 8) * 0x1p-24f;
    v = t < 0.46f ? t * 1e-3f : t > 0.54f ? 1.0f - (1.0f - t) * 1e-3f : t;
  }
  return p;
}

// The stage prints a line per search: send standard output to /dev/null meanwhile.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(1);
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, 1);
    close(saved_);
  }

 private:
  int saved_;
};

void BM_Stage(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<float> p = decoder_like_profile(n);
  QuietStdout quiet;
  for (auto _ : state) benchmark::DoNotOptimize(ldpcsw::gpu_window_search(p.data(), n));
}
BENCHMARK(BM_Stage)->Arg(504)->Arg(1249)->Arg(5000)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_FindBest1Launch(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<float> p = decoder_like_profile(n);
  std::vector<float> sigma2(625);
  for (auto _ : state) benchmark::DoNotOptimize(ldpcsw::run_findbest1(p.data(), n, 1, 25, 25, sigma2.data()));
}
BENCHMARK(BM_FindBest1Launch)->Arg(504)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_MinIdxLaunch(benchmark::State& state) {
  std::vector<float> d = decoder_like_profile(625);
  int result = 0;
  for (auto _ : state) benchmark::DoNotOptimize(ldpcsw::run_min_idx(d.data(), 625, 2, &result));
}
BENCHMARK(BM_MinIdxLaunch)->MeasureProcessCPUTime()->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_CpuWidthSearch(benchmark::State& state) {
  const int n = static_cast<int>(state.range(0));
  const std::vector<float> p = decoder_like_profile(n);
  std::vector<float> bias(static_cast<std::size_t>(n));
  for (auto _ : state) benchmark::DoNotOptimize(ldpcsw::best_window_width(bias.data(), p.data(), n));
}
BENCHMARK(BM_CpuWidthSearch)->Arg(504)->Unit(benchmark::kMicrosecond);

}  // namespace
