// ldpcsw-sweep --rate-adaptive CHAIN: the critical-rate run. The same command line, processes,
// threads, CSV discipline (lock, settings file, checked rows, --resume) and exit statuses as
// the error-rate sweep; per point the blocks' critical rates along the chain (sweep/critical.h).
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "code/load.h"
#include "code/rank.h"
#include "code/rate_adapt.h"
#include "sweep/critical.h"
#include "sweep/input.h"
#include "sweep/stats.h"
#include "tools/sweep/output.h"
#include "tools/sweep/sweep.h"

namespace ldpcsw::sweep {

namespace {

// A 64-bit FNV-1a digest of a chain's merges (and its mother's fingerprint), so that a resumed
// run continues with the same chain.
std::uint64_t chain_fingerprint(const RateAdaptChain& chain) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  auto add = [&h](std::uint64_t v) {
    for (int i = 0; i < 8; ++i) {
      h ^= (v >> (8 * i)) & 0xffu;
      h *= 0x100000001b3ull;
    }
  };
  add(chain.fingerprint);
  for (int k = 0; k < chain.steps(); ++k) {
    add(static_cast<std::uint64_t>(chain.kept[static_cast<std::size_t>(k)]));
    add(static_cast<std::uint64_t>(chain.merged[static_cast<std::size_t>(k)]));
  }
  return h;
}

}  // namespace

int run_critical_sweep(const SweepOptions& o, Collective& group, const std::atomic<bool>* stop,
                       const SweepIo& io) {
  const bool root = group.rank() == 0;
  std::string error;

  // The mother, its chain, and the rank of every code of the chain.
  SweepCode code;
  RateAdaptChain chain;
  std::vector<long long> ranks;
  bool loaded = load_sweep_code(o.matrix, o.format, code, error);
  if (loaded && is_minsum(o.decoder) && !prepare_minsum_code(code, error))
    loaded = false, error = o.matrix + ": " + error;
  if (loaded && load_rate_adapt(o.rate_adaptive, chain, error) != LoadStatus::ok)
    loaded = false, error = o.rate_adaptive + ": " + error;
  const ParityCheckMatrix mother{code.n, code.m, code.ir, code.jc};
  if (loaded && !rate_adapt_check_matrix(chain, mother, error))
    loaded = false, error = o.rate_adaptive + ": " + error;
  // Beyond the dense elimination's reach the rates are the rows over n, an upper bound that
  // is exact when the mother has full rank (merges then keep it full).
  bool exact_ranks = true;
  if (loaded && !rate_adapt_ranks(mother, chain, ranks, DENSE_RANK_MAX_BITS)) {
    exact_ranks = false;
    ranks.clear();
    for (int k = 0; k <= chain.steps(); ++k) ranks.push_back(code.m - k);
  }
  if (!loaded) std::fprintf(io.err, "ldpcsw-sweep: %s\n", error.c_str());
  if (!all_ok(group, loaded)) return 1;
  if (!exact_ranks && root)
    std::fprintf(io.err,
                 "ldpcsw-sweep: %s: n = %d, m = %d is too large for the dense elimination that "
                 "gives the chain's ranks; its rates are taken as (m - k) / n, an upper bound "
                 "(exact when the matrix has full rank)\n",
                 o.matrix.c_str(), code.n, code.m);

  ChainCodes codes(mother, chain, ranks, is_minsum(o.decoder));
  // --device gpu: the device decoders are opened code by code as the search probes them.
  std::unique_ptr<ChainDevice> device;
  if (o.device == SweepDevice::gpu) {
    if (!device_ready(group, io, {})) return 1;
    device = std::make_unique<ChainDevice>(codes, o.device_index);
  }
  SweepSettings settings = run_settings(o, code);
  settings["rate_adaptive"] = hex64(chain_fingerprint(chain));
  settings["rate_adaptive_steps"] = std::to_string(chain.steps());
  settings["rate_adaptive_search"] = o.critical_scan ? "scan" : "bisect";
  settings["rate_adaptive_rates"] = exact_ranks ? "rank" : "rows";

  CsvLock lock;
  CsvFile csv;
  ResumeState state;
  CodeLimits limits;
  std::vector<CriticalRow> finished_rows;
  CriticalRow partial_row;
  std::int64_t shared[4] = {0, 0, 0, 0};  // status, finished points, partial?, its blocks
  if (root) {
    int status = -1;
    if (!o.csv.empty()) status = check_output_paths(o, error);
    std::string warning;
    if (status < 0) status = find_limits(o, code, limits, warning, error);
    if (!warning.empty()) std::fprintf(io.err, "ldpcsw-sweep: %s\n", warning.c_str());
    if (status < 0 && !o.csv.empty()) {
      const CsvFormat format{CRITICAL_CSV_HEADER, [&](const std::string& text,
                                                      const std::string& run, ResumeState& read,
                                                      std::string& why) {
                               const CriticalCsvRules rules{code.n, o.blocks, &ranks, run};
                               if (!parse_critical_csv(text, o.csv, rules, read, finished_rows,
                                                       partial_row, why))
                                 return false;
                               for (const CriticalRow& row : finished_rows)
                                 read.finished.push_back(PointRow{row.p, {}, 0.0, false});
                               if (read.has_partial) read.partial.p = partial_row.p;
                               return true;
                             }};
      if (lock.acquire(o.csv, error) != 0) status = 1;
      if (status < 0) status = prepare_csv(o, settings, limits, format, lock, csv, state, error);
    }
    if (status >= 0) std::fprintf(io.err, "ldpcsw-sweep: %s\n", error.c_str());
    shared[0] = status + 1;
    shared[1] = static_cast<std::int64_t>(finished_rows.size());
    shared[2] = state.has_partial ? 1 : 0;
    shared[3] = state.has_partial ? partial_row.counts.blocks : 0;
  }
  group.sum(shared, 4);
  if (shared[0] != 0) return static_cast<int>(shared[0] - 1);
  const std::size_t first_point = static_cast<std::size_t>(shared[1]);
  if (root && state.torn_tail)
    std::fprintf(io.err, "ldpcsw-sweep: %s ended inside a row (a cut-off write); dropped it\n",
                 o.csv.c_str());

  std::unique_ptr<WorkerPool> pool = start_workers(o, group, io);
  std::int64_t total_workers = pool->size();
  group.sum(&total_workers, 1);

  const int p_width = table_p_width(o.ps);
  if (root) {
    std::fputs(format_limits_line(limits).c_str(), io.out);
    std::fprintf(io.out, "rate-adaptive chain %s: %d steps, rates %.4f down to %.4f\n",
                 o.rate_adaptive.c_str(), chain.steps(), static_cast<double>(ranks.front()) / code.n,
                 static_cast<double>(ranks.back()) / code.n);
    std::fputs(format_critical_table_header(p_width).c_str(), io.out);
    for (const CriticalRow& row : finished_rows)
      std::fputs(format_critical_table_row(row, ranks, code.n, p_width).c_str(), io.out);
    std::fflush(io.out);
  }

  std::vector<BlockWorkspace> workspaces;
  workspaces.reserve(static_cast<std::size_t>(pool->size()));
  for (int w = 0; w < pool->size(); ++w) workspaces.emplace_back(code);

  for (std::size_t i = first_point; i < o.ps.size(); ++i) {
    const bool continues = i == first_point && shared[2] != 0;
    CriticalCounts start;
    if (continues) start = root ? partial_row.counts : CriticalCounts{shared[3], 0, 0, 0, {}};
    const double earlier_seconds = continues && root ? partial_row.seconds : 0.0;
    const CriticalTask task{o.ps[i], o.blocks, o.seed, o.minsum, o.critical_scan, device.get()};
    std::int64_t write_failed = 0;

    ProgressPace pace;
    CriticalProgressFn progress;
    if (root && io.progress) {
      progress = [&, i](const CriticalCounts& settled, std::int64_t in_round) {
        if (!pace.due()) return;
        const std::int64_t done = std::min(o.blocks, settled.blocks + in_round * group.size());
        const double speed = pace.blocks_per_second(done - start.blocks);
        const std::string left =
            speed > 0.0 ? format_duration(static_cast<double>(o.blocks - done) / speed) : "?";
        const CriticalSummary s = summarize_critical(settled, ranks, code.n);
        char so_far[96] = "";
        if (settled.blocks > 0)
          std::snprintf(so_far, sizeof so_far, "  rate %.4f  f %.4f", s.rate,
                        s.rate / binary_entropy(task.p));
        std::fprintf(io.err,
                     "\rp %s (point %zu/%zu)  blocks %lld/%lld%s  %.1f blocks/s  %s left\033[K",
                     format_number(task.p).c_str(), i + 1, o.ps.size(),
                     static_cast<long long>(done), static_cast<long long>(o.blocks), so_far, speed,
                     left.c_str());
        std::fflush(io.err);
      };
    }

    const CriticalResult r = run_critical_point(codes, o.decoder, task, start, *pool, workspaces,
                                                group, total_workers, stop, progress);
    // A failed device ends the run on every process after the blocks settled so far are
    // recorded, as an interruption does, but with exit status 1.
    std::int64_t device_failed = r.device_error.empty() ? 0 : 1;
    if (device_failed != 0) std::fprintf(io.err, "ldpcsw-sweep: %s\n", r.device_error.c_str());
    if (device) group.sum(&device_failed, 1);
    const bool cut_short = r.interrupted && !(r.finished && i + 1 == o.ps.size());
    if (root) {
      if (io.progress) std::fputs("\r\033[K", io.err);
      const CriticalRow row{task.p, r.counts, earlier_seconds + pace.seconds(), !r.finished};
      if (!finish_point(io.out, io.err, csv, task.p, r.counts.blocks, r.finished, cut_short,
                        format_critical_table_row(row, ranks, code.n, p_width),
                        csv.file != nullptr && r.counts.blocks > 0
                            ? format_critical_csv_row(row, ranks, code.n, csv.settings, csv.chain)
                            : std::string()))
        write_failed = 1;
    }
    group.sum(&write_failed, 1);
    if (write_failed != 0 || device_failed != 0) return 1;
    if (cut_short) return EXIT_INTERRUPTED;
  }
  return 0;
}

}  // namespace ldpcsw::sweep
