// A whole sweep: load the matrix, prepare or continue the CSV, run every point, write the
// table and the rows. Shared by ldpcsw-sweep's main (one process or one MPI rank) and by the
// tests, which run several simulated ranks in one process.
//
// Exit statuses: 0 done; 1 unreadable matrix, unwritable output or a CSV that cannot be
// continued; 2 an existing CSV without --resume or --overwrite; 130 interrupted.
#pragma once

#include <atomic>
#include <cstdio>

#include "tools/sweep/engine.h"
#include "tools/sweep/options.h"

namespace ldpcsw::sweep {

inline constexpr int EXIT_INTERRUPTED = 130;

struct SweepIo {
  std::FILE* out = stdout;         // the table (rank 0 only)
  std::FILE* err = stderr;         // messages (rank 0, and any rank's own failure)
  bool progress = false;           // draw the progress line on `err` (rank 0 only)
};

// Runs the sweep of `options` (options.threads >= 1: this process's worker count) as process
// group.rank() of group.size(). Every process must call it with the same options apart from
// the thread count. `stop` is polled between blocks.
int run_sweep(const SweepOptions& options, Collective& group, const std::atomic<bool>* stop,
              const SweepIo& io);

}  // namespace ldpcsw::sweep
