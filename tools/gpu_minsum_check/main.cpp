// ldpcsw-gpu-minsum-check: decodes blocks of a sweep point on the device and on the CPU's fast
// min-sum decoder, and compares every block's drawn bits, syndrome, decisions and iteration
// count, for both schedules, the corrections by weight and by offset, the former 8-bit layered
// rule and the layered sum-product. For the device check (scripts/gpu-check.sh)
// on thousands of blocks; on the host backend it runs through the emulation.
//
//   ldpcsw-gpu-minsum-check MATRIX P BLOCKS [BATCH]
//
// Prints one line per setting and exits 0 when every block agreed, 1 on any difference or
// device failure, 2 for a bad command line.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "code/blocks.h"
#include "gpu/gpu_minsum.h"
#include "sweep/engine.h"
#include "sweep/input.h"

namespace {

using namespace ldpcsw;
using namespace ldpcsw::minsum;

struct Setting {
  const char* name;
  Schedule schedule;
  MinsumParams params;
};

// Compares blocks [0, blocks) of point p; returns the number of blocks that differ, or -1
// when the device failed.
long long check(const sweep::SweepCode& code, const Setting& set, double p, long long blocks,
                GpuMinsum& gpu, double& device_seconds) {
  const int n = code.n, m = code.m;
  const sweep::PhiloxKey key = sweep::point_key(1, p);
  const std::uint64_t threshold = sweep::noise_threshold(p);
  MinsumWorkspace ws;
  std::vector<std::int8_t> x(n), s(m);
  long long bad = 0;
  for (long long first = 0; first < blocks;) {
    const int count = static_cast<int>(std::min<long long>(gpu.capacity(), blocks - first));
    std::vector<GpuBlockOutcome> outcomes(static_cast<std::size_t>(count));
    GpuMinsumDump dump;
    std::string error;
    const auto t0 = std::chrono::steady_clock::now();
    if (!gpu.decode(set.params, set.schedule, key[0], key[1], threshold,
                    static_cast<std::uint64_t>(first), count, outcomes.data(), nullptr, &dump,
                    error)) {
      std::fprintf(stderr, "ldpcsw-gpu-minsum-check: %s\n", error.c_str());
      return -1;
    }
    device_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    // The CPU's fast decoder over the same blocks, lane by lane.
    std::vector<std::int64_t> lane_block(static_cast<std::size_t>(minsum_lanes()), -1);
    std::vector<std::vector<std::int8_t>> lane_x(static_cast<std::size_t>(minsum_lanes()));
    int next = 0;
    minsum_decode_stream(
        code.minsum, set.params, set.schedule, ws,
        [&](int lane, std::int8_t* y, std::int8_t* ls) {
          if (next >= count) return false;
          const std::size_t i = static_cast<std::size_t>(next);
          lane_x[lane].resize(static_cast<std::size_t>(n));
          sweep::draw_sweep_block(key, static_cast<std::uint64_t>(first + next), threshold,
                                  lane_x[lane].data(), y, n);
          compute_syndrome(code.ir.data(), code.jc.data(), m, lane_x[lane].data(), ls);
          bool same = std::equal(y, y + n, dump.y.begin() + i * n) &&
                      std::equal(ls, ls + m, dump.s.begin() + i * m) &&
                      std::equal(lane_x[lane].begin(), lane_x[lane].end(), dump.x.begin() + i * n);
          if (!same) ++bad, std::printf("  block %lld: drawn bits or syndrome differ\n", first + next);
          lane_block[lane] = next++;
          return true;
        },
        [&](int lane, const std::int8_t* x_hat, bool, int iterations) {
          const std::size_t i = static_cast<std::size_t>(lane_block[lane]);
          const bool same = outcomes[i].iterations == iterations &&
                            std::equal(x_hat, x_hat + n, dump.x_hat.begin() + i * n) &&
                            outcomes[i].bit_errors ==
                                count_bit_errors(x_hat, lane_x[lane].data(), n);
          if (!same) {
            ++bad;
            if (bad <= 10)
              std::printf("  block %lld: device %d iterations, cpu %d; decisions %s\n",
                          first + lane_block[lane], outcomes[i].iterations, iterations,
                          std::equal(x_hat, x_hat + n, dump.x_hat.begin() + i * n) ? "equal"
                                                                                    : "differ");
          }
        });
    first += count;
  }
  return bad;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4 || argc > 5) {
    std::fprintf(stderr, "usage: ldpcsw-gpu-minsum-check MATRIX P BLOCKS [BATCH]\n");
    return 2;
  }
  const double p = std::atof(argv[2]);
  const long long blocks = std::atoll(argv[3]);
  if (!(p > 0.0 && p <= 0.5) || blocks < 1) {
    std::fprintf(stderr, "ldpcsw-gpu-minsum-check: P must lie in (0, 0.5] and BLOCKS be >= 1\n");
    return 2;
  }
  sweep::SweepCode code;
  std::string error;
  if (!sweep::load_sweep_code(argv[1], sweep::MatrixFormat::detect, code, error) ||
      !sweep::prepare_minsum_code(code, error)) {
    std::fprintf(stderr, "ldpcsw-gpu-minsum-check: %s\n", error.c_str());
    return 1;
  }
  const int batch = argc == 5 ? std::atoi(argv[4]) : gpu_minsum_batch_capacity(code.minsum);
  GpuMinsum gpu;
  if (!gpu_minsum_available(error) || !gpu.open(code.minsum, batch, error)) {
    std::fprintf(stderr, "ldpcsw-gpu-minsum-check: %s\n", error.c_str());
    return 1;
  }
  std::vector<Setting> settings;
  for (Schedule s : {Schedule::flooding, Schedule::layered}) {
    const bool fl = s == Schedule::flooding;
    MinsumParams offset = default_params(s);
    offset.correction = Correction::offset;
    offset.beta = 1;
    settings.push_back({fl ? "flooding/by-weight" : "layered/by-weight", s, default_params(s)});
    settings.push_back({fl ? "flooding/offset" : "layered/offset", s, offset});
  }
  settings.push_back({"layered/8-bit", Schedule::layered, former_params(Schedule::layered)});
  MinsumParams spa = default_params(Schedule::layered);
  spa.check = CheckRule::sum_product;
  spa.q = spa_channel_q(p);
  settings.push_back({"layered/sum-product", Schedule::layered, spa});
  long long total_bad = 0;
  for (const Setting& set : settings) {
    double seconds = 0.0;
    const long long bad = check(code, set, p, blocks, gpu, seconds);
    if (bad < 0) return 1;
    std::printf("%-20s n=%d p=%g blocks=%lld batch=%d: %lld differ (device %.3f s with dumps)\n",
                set.name, code.n, p, blocks, gpu.capacity(), bad, seconds);
    total_bad += bad;
  }
  std::printf("%s\n", total_bad == 0 ? "identical" : "DIFFERENT");
  return total_bad == 0 ? 0 : 1;
}
