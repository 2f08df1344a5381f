// A whole sweep: load the matrix, prepare or continue the CSV, run every point, write the
// table and the rows. Shared by ldpcsw-sweep's main (one process or one MPI rank) and by the
// tests, which run several simulated ranks in one process.
//
// Exit statuses: 0 done; 1 unreadable matrix, unwritable output, a CSV that cannot be
// continued or one that another sweep is writing (it holds FILE.lock); 2 an existing CSV
// without --resume or --overwrite, or a --csv that is the matrix or not a regular file;
// 130 interrupted.
#pragma once

#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>

#include "sweep/engine.h"
#include "sweep/report.h"
#include "tools/sweep/options.h"

namespace ldpcsw::sweep {

inline constexpr int EXIT_INTERRUPTED = 130;

struct SweepIo {
  std::FILE* out = stdout;         // the table (rank 0 only)
  std::FILE* err = stderr;         // messages (rank 0, and any rank's own failure)
  bool progress = false;           // draw the progress line on `err` (rank 0 only)
};

// The settings a resume must match: matrix fingerprint, n, m, decoder, seed, blocks and
// max-frame-errors. FILE.run records them (and the matrix's rank); every CSV row's check
// covers their format_settings text.
SweepSettings run_settings(const SweepOptions& options, const SweepCode& code);

// Runs the sweep of `options` (options.threads >= 1: this process's worker count) as process
// group.rank() of group.size(). Every process must call it with the same options apart from
// the thread count. `stop` is polled between blocks.
int run_sweep(const SweepOptions& options, Collective& group, const std::atomic<bool>* stop,
              const SweepIo& io);

// ---- Pieces the error-rate sweep and the critical-rate run share --------------------------------

// The worker pool of this process for `o`: capped per core and by the work, and told on `io.err`
// (rank 0) when capped or when the system refused some threads.
std::unique_ptr<WorkerPool> start_workers(const SweepOptions& o, Collective& group,
                                          const SweepIo& io);

// --device gpu: true on every process when the device is usable on every process and
// `open` (when given) succeeds on each; otherwise each failing process says why on io.err.
// Rank 0 tells a build without CUDA that the kernels run on the host emulation.
bool device_ready(Collective& group, const SweepIo& io,
                  const std::function<bool(std::string& why)>& open);

// Rank 0: the code's rate, limit and, when asked for, threshold. Returns an exit status, -1
// for "go on"; `warning` gets a line to show when no threshold could be recorded.
int find_limits(const SweepOptions& o, const SweepCode& code, CodeLimits& limits,
                std::string& warning, std::string& error);

// The critical-rate run of --rate-adaptive (critical_sweep.cpp), with run_sweep's exit statuses.
int run_critical_sweep(const SweepOptions& o, Collective& group, const std::atomic<bool>* stop,
                       const SweepIo& io);

}  // namespace ldpcsw::sweep
