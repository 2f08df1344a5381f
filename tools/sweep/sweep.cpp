#include "tools/sweep/sweep.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <system_error>

#include "code/degrees.h"
#include "code/density.h"
#include "code/rank.h"
#include "gpu/gpu_minsum.h"
#include "gpu/kernel_runner.h"
#include "sweep/input.h"
#include "sweep/report.h"
#include "tools/sweep/output.h"

namespace ldpcsw::sweep {

namespace {

// Workers a device stands for when the rounds are sized.
constexpr std::int64_t GPU_ROUND_WORKERS = 256;

}  // namespace

SweepSettings run_settings(const SweepOptions& o, const SweepCode& code) {
  SweepSettings settings{{"matrix", hex64(code_fingerprint(code))},
          {"n", std::to_string(code.n)},
          {"m", std::to_string(code.m)},
          {"decoder", decoder_name(o.decoder)},
          {"seed", std::to_string(o.seed)},
          {"blocks", std::to_string(o.blocks)},
          {"max_frame_errors", std::to_string(o.max_frame_errors)}};
  add_minsum_settings(o, settings);
  return settings;
}

// The threshold p* of the ensemble whose node-perspective degree distributions are the
// matrix's own (each degree's share of the columns and of the rows), by density evolution.
bool threshold_of_degrees(const SweepCode& code, double& threshold, std::string& error) {
  auto distribution = [](const std::vector<int>& ptr, int nodes) {
    std::map<int, int> count;
    for (int i = 0; i < nodes; ++i) ++count[ptr[i + 1] - ptr[i]];
    DegreeDistribution d;
    for (const auto& [degree, how_many] : count) {
      d.degrees.push_back(degree);
      d.fractions.push_back(static_cast<double>(how_many) / nodes);
    }
    return d;
  };
  const DegreeDistribution columns = distribution(code.col_ptr, code.n);
  const DegreeDistribution rows = distribution(code.ir, code.m);
  if (columns.degrees.front() < 1 || rows.degrees.front() < 1) {
    error = std::string("--threshold auto: the matrix has ") +
            (columns.degrees.front() < 1 ? "a column" : "a row") +
            " without ones; density evolution needs every degree >= 1 (give --threshold P)";
    return false;
  }
  return code_threshold(columns, rows, DensityOptions{}, threshold, error);
}

// Why density evolution finds no p > 0 at which the matrix's ensemble converges.
static std::string no_threshold_reason(const SweepCode& code) {
  int degree_one = 0;
  for (int c = 0; c < code.n; ++c) degree_one += code.col_ptr[c + 1] - code.col_ptr[c] == 1;
  if (degree_one > 0)
    return std::to_string(degree_one) +
           " columns have a single one, and belief propagation leaves their error probability "
           "above 0 at every p > 0, so the ensemble's threshold p* is 0";
  return "density evolution converges at no p > 0, so the ensemble's threshold p* is 0";
}

// Rank 0: the code's rate, limit and, when asked for, threshold. Returns an exit status, -1
// for "go on".
int find_limits(const SweepOptions& o, const SweepCode& code, CodeLimits& limits,
                std::string& warning, std::string& error) {
  limits = code_limits(gf2_rank(code.n, code.m, code.ir.data(), code.jc.data()), code.n, code.m);
  if (o.threshold >= 0.0) {
    limits.threshold = o.threshold;
    limits.threshold_source = "given";
  } else if (o.threshold_auto) {
    double t = 0.0;
    if (!threshold_of_degrees(code, t, error)) {
      error = o.matrix + ": " + error;
      return 1;
    }
    if (t > 0.0) {
      limits.threshold = t;
      limits.threshold_source = "degrees";
    } else {
      // p* = 0 is no threshold --threshold or the plot would take: none is recorded.
      warning = "--threshold auto: " + o.matrix + ": " + no_threshold_reason(code) +
                "; no threshold recorded";
    }
  }
  return -1;
}

bool device_ready(Collective& group, const SweepIo& io,
                  const std::function<bool(std::string& why)>& open) {
  std::string why;
  bool ok = gpu_minsum_available(why);
  if (ok && open && !open(why)) ok = false;
  if (!ok) std::fprintf(io.err, "ldpcsw-sweep: --device gpu: %s\n", why.c_str());
  if (!all_ok(group, ok)) return false;
  // A build without CUDA runs the kernels through the SIMT emulation: the same counts, but
  // far slower than the CPU decoders, which the user should not learn from the clock.
  if (group.rank() == 0 && std::strcmp(device_backend_name(), "host") == 0)
    std::fprintf(io.err,
                 "ldpcsw-sweep: --device gpu: this build has no CUDA; the kernels run on the "
                 "host backend (SIMT emulation on the CPU), far slower than --device cpu\n");
  return true;
}

std::unique_ptr<WorkerPool> start_workers(const SweepOptions& o, Collective& group,
                                          const SweepIo& io) {
  const bool root = group.rank() == 0;
  // Threads beyond MAX_THREADS_PER_CORE per core, or beyond one per block of this process's
  // share of a point, would only idle and hold memory. A thread the system refuses to start
  // leaves the pool with those that did: the sweep goes on with them (the counts do not
  // depend on the thread count) and says so.
  const int cores = available_cores();
  const std::int64_t share = (o.blocks + group.size() - 1) / group.size();
  const int wanted = useful_workers(o.threads, share, cores);
  const int core_cap = useful_workers(o.threads, 0, cores);
  if (root && core_cap < o.threads)
    std::fprintf(io.err,
                 "ldpcsw-sweep: --threads %d: running at most %d, %d per core of the %d this "
                 "process may use (more only cost memory)\n",
                 o.threads, core_cap, MAX_THREADS_PER_CORE, cores);
  auto pool = std::make_unique<WorkerPool>(wanted);
  if (!pool->start_error().empty())
    std::fprintf(io.err,
                 "ldpcsw-sweep: --threads: only %d of %d threads could start (%s); running "
                 "with %d\n",
                 pool->size(), wanted, pool->start_error().c_str(), pool->size());
  return pool;
}

int run_sweep(const SweepOptions& o, Collective& group, const std::atomic<bool>* stop,
              const SweepIo& io) {
  if (!o.rate_adaptive.empty()) return run_critical_sweep(o, group, stop, io);
  const bool root = group.rank() == 0;
  std::string error;

  SweepCode code;
  bool loaded = load_sweep_code(o.matrix, o.format, code, error);
  if (loaded && is_minsum(o.decoder) && !prepare_minsum_code(code, error))
    loaded = false, error = o.matrix + ": " + error;
  if (!loaded) std::fprintf(io.err, "ldpcsw-sweep: %s\n", error.c_str());
  if (!all_ok(group, loaded)) return 1;

  // --device gpu: every process opens its own device decoder on the matrix before anything
  // is written, so a machine without a usable device refuses the sweep at once.
  GpuMinsum gpu;
  if (o.device == SweepDevice::gpu &&
      !device_ready(group, io, [&](std::string& why) {
        return gpu.open(code.minsum, gpu_minsum_batch_capacity(code.minsum), why,
                        o.device_index);
      }))
    return 1;

  // Rank 0 prepares the output and tells every process where the sweep starts.
  CsvLock lock;
  CsvFile csv;
  ResumeState state;
  CodeLimits limits;
  std::int64_t shared[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};  // status, finished, partial?, counts
  if (root) {
    int status = -1;
    if (!o.csv.empty()) status = check_output_paths(o, error);
    std::string warning;
    if (status < 0) status = find_limits(o, code, limits, warning, error);
    if (!warning.empty()) std::fprintf(io.err, "ldpcsw-sweep: %s\n", warning.c_str());
    if (status < 0 && !o.csv.empty()) {
      if (lock.acquire(o.csv, error) != 0) status = 1;
      const CsvFormat format{CSV_HEADER, [&](const std::string& text, const std::string& settings,
                                            ResumeState& read, std::string& why) {
                               const CsvRules rules{code.n, o.blocks, o.max_frame_errors, settings};
                               return parse_sweep_csv(text, o.csv, rules, read, why);
                             }};
      if (status < 0)
        status = prepare_csv(o, run_settings(o, code), limits, format, lock, csv, state, error);
    }
    if (status >= 0) std::fprintf(io.err, "ldpcsw-sweep: %s\n", error.c_str());
    shared[0] = status + 1;  // 0 means go on
    shared[1] = static_cast<std::int64_t>(state.finished.size());
    shared[2] = state.has_partial ? 1 : 0;
    shared[3] = state.partial.counts.blocks;
    shared[4] = state.partial.counts.frame_errors;
    shared[5] = state.partial.counts.bit_errors;
    shared[6] = state.partial.counts.iterations;
    shared[7] = state.partial.counts.bit_errors_sq;
    shared[8] = state.partial.counts.undetected_errors;
  }
  group.sum(shared, 9);
  if (shared[0] != 0) return static_cast<int>(shared[0] - 1);
  const std::size_t first_point = static_cast<std::size_t>(shared[1]);
  const PointCounts resumed{shared[3], shared[4], shared[5], shared[6], shared[7], shared[8]};
  if (root && state.torn_tail)
    std::fprintf(io.err, "ldpcsw-sweep: %s ended inside a row (a cut-off write); dropped it\n",
                 o.csv.c_str());

  std::unique_ptr<WorkerPool> pool_owner = start_workers(o, group, io);
  WorkerPool& pool = *pool_owner;

  // A device counts as GPU_ROUND_WORKERS workers in the rounds' sizes, so that its rounds are
  // long enough to fill it (round sizes never change a count).
  std::int64_t total_workers = o.device == SweepDevice::gpu ? GPU_ROUND_WORKERS : pool.size();
  group.sum(&total_workers, 1);

  const int p_width = table_p_width(o.ps);
  if (root) {
    std::fputs(format_limits_line(limits).c_str(), io.out);
    std::fputs(format_table_header(p_width).c_str(), io.out);
    for (const PointRow& row : state.finished)
      std::fputs(format_table_row(row, code.n, limits.rate, p_width).c_str(), io.out);
    std::fflush(io.out);
  }

  std::vector<BlockWorkspace> workspaces;
  workspaces.reserve(static_cast<std::size_t>(pool.size()));
  for (int w = 0; w < pool.size(); ++w) workspaces.emplace_back(code);

  for (std::size_t i = first_point; i < o.ps.size(); ++i) {
    const bool continues = i == first_point && shared[2] != 0;
    const PointCounts start = continues ? resumed : PointCounts{};
    const double earlier_seconds = continues && root ? state.partial.seconds : 0.0;
    const PointTask task{o.ps[i], o.blocks, o.max_frame_errors, o.seed, o.minsum,
                         gpu.is_open() ? &gpu : nullptr};
    std::int64_t write_failed = 0;

    ProgressPace pace;
    ProgressFn progress;
    if (root && io.progress) {
      progress = [&, i](const PointCounts& settled, std::int64_t in_round) {
        if (!pace.due()) return;
        const std::int64_t done = std::min(o.blocks, settled.blocks + in_round * group.size());
        const double speed = pace.blocks_per_second(done - start.blocks);
        double left_blocks = static_cast<double>(o.blocks - done);
        if (o.max_frame_errors > 0 && settled.frame_errors > 0)
          left_blocks = std::min(left_blocks, static_cast<double>(o.max_frame_errors - settled.frame_errors) *
                                                  static_cast<double>(settled.blocks) /
                                                  static_cast<double>(settled.frame_errors));
        char limit[32] = "";
        if (o.max_frame_errors > 0)
          std::snprintf(limit, sizeof limit, "/%lld", static_cast<long long>(o.max_frame_errors));
        const std::string left = speed > 0.0 ? format_duration(left_blocks / speed) : "?";
        std::fprintf(io.err,
                     "\rp %s (point %zu/%zu)  blocks %lld/%lld  frame errors %lld%s  %.0f blocks/s"
                     "  %s left\033[K",
                     format_number(task.p).c_str(), i + 1, o.ps.size(),
                     static_cast<long long>(done), static_cast<long long>(o.blocks),
                     static_cast<long long>(settled.frame_errors), limit, speed, left.c_str());
        std::fflush(io.err);
      };
    }

    const PointResult r =
        run_point(code, o.decoder, task, start, pool, workspaces, group, total_workers, stop, progress);
    // A failed device ends the sweep on every process after the blocks settled so far are
    // recorded, as an interruption does, but with exit status 1.
    std::int64_t device_failed = r.device_error.empty() ? 0 : 1;
    if (device_failed != 0) std::fprintf(io.err, "ldpcsw-sweep: %s\n", r.device_error.c_str());
    if (o.device == SweepDevice::gpu) group.sum(&device_failed, 1);
    // A stop that comes as the last point completes has nothing left to cut short.
    const bool cut_short = r.interrupted && !(r.finished && i + 1 == o.ps.size());

    if (root) {
      if (io.progress) std::fputs("\r\033[K", io.err);
      PointRow row{task.p, r.counts, earlier_seconds + pace.seconds(), !r.finished};
      if (!finish_point(io.out, io.err, csv, task.p, r.counts.blocks, r.finished, cut_short,
                        format_table_row(row, code.n, limits.rate, p_width),
                        csv.file != nullptr && r.counts.blocks > 0
                            ? format_csv_row(row, code.n, csv.settings, csv.chain)
                            : std::string()))
        write_failed = 1;
    }
    // A failed write on rank 0 ends the sweep on every process.
    group.sum(&write_failed, 1);
    if (write_failed != 0) return 1;
    if (device_failed != 0) return 1;
    if (cut_short) return EXIT_INTERRUPTED;
  }
  return 0;
}

}  // namespace ldpcsw::sweep
