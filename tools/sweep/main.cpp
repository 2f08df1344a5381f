// ldpcsw-sweep: frame and bit error rates of LDPC syndrome decoding against the crossover
// probability of the side information, on all cores and, built with MPI, across processes.
// See --help for the options and sweep.h for the exit statuses.
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <thread>

#include "tools/sweep/options.h"
#include "tools/sweep/sweep.h"

#ifdef LDPCSW_WITH_MPI
#include <mpi.h>

#include <climits>
#endif

namespace {

std::atomic<bool> g_stop{false};
static_assert(std::atomic<bool>::is_always_lock_free);

// First SIGINT or SIGTERM: finish the blocks in flight, record, exit 130. A second one ends
// the process at once, for a run that does not come to a stop.
extern "C" void on_stop_signal(int sig) {
  if (g_stop.exchange(true)) {
    std::signal(sig, SIG_DFL);
    std::raise(sig);
  }
}

void install_stop_handlers() {
  struct sigaction action {};
  action.sa_handler = on_stop_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

int machine_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

#ifdef LDPCSW_WITH_MPI
// True when an MPI launcher (mpirun/mpiexec of Open MPI or MPICH, srun with PMI or PMIx)
// started this process. A plain run does not start MPI at all: initialising it would make
// Open MPI spawn its runtime daemons for a group of one, which takes a noticeable time before
// the first block and leaves the process without our signal handling meanwhile.
bool launched_by_mpi() {
  static const char* const markers[] = {"OMPI_COMM_WORLD_SIZE", "OMPI_COMM_WORLD_RANK",
                                        "PMIX_RANK", "PMI_RANK", "PMI_SIZE",
                                        "MPI_LOCALNRANKS", "MV2_COMM_WORLD_RANK"};
  for (const char* name : markers)
    if (std::getenv(name) != nullptr) return true;
  return false;
}

class MpiCollective final : public ldpcsw::sweep::Collective {
 public:
  MpiCollective() {
    MPI_Comm_rank(MPI_COMM_WORLD, &rank_);
    MPI_Comm_size(MPI_COMM_WORLD, &size_);
  }
  int rank() const override { return rank_; }
  int size() const override { return size_; }
  // A process that finished its share waits here for the others. MPI_Allreduce would spin
  // on a core for that time, taking it from a process still decoding whenever processes
  // outnumber free cores; polling with short sleeps leaves the core to them, and 100 us is
  // nothing next to a round of decoding.
  void sum(std::int64_t* values, std::int64_t count) override {
    while (count > 0) {
      const int chunk = count > INT_MAX ? INT_MAX : static_cast<int>(count);
      MPI_Request request;
      MPI_Iallreduce(MPI_IN_PLACE, values, chunk, MPI_INT64_T, MPI_SUM, MPI_COMM_WORLD, &request);
      for (int done = 0;;) {
        MPI_Test(&request, &done, MPI_STATUS_IGNORE);
        if (done) break;
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      values += chunk;
      count -= chunk;
    }
  }

 private:
  int rank_ = 0, size_ = 1;
};

// Processes of this job that share the machine, so that the default thread count divides
// the machine's cores among them.
// The number of processes on this machine and this process's index among them.
int processes_on_this_machine(int& local_rank) {
  MPI_Comm local;
  MPI_Comm_split_type(MPI_COMM_WORLD, MPI_COMM_TYPE_SHARED, 0, MPI_INFO_NULL, &local);
  int size = 1;
  MPI_Comm_size(local, &size);
  MPI_Comm_rank(local, &local_rank);
  MPI_Comm_free(&local);
  return size;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  using namespace ldpcsw::sweep;
  // Before anything slow: a stop request that comes during start-up is then honoured like any
  // other (the sweep stops before its first block and exits 130).
  install_stop_handlers();
  std::unique_ptr<Collective> collective;
  int local_processes = 1, local_rank = 0;
#ifdef LDPCSW_WITH_MPI
  const bool with_mpi = launched_by_mpi();
  if (with_mpi) {
    int provided = 0;
    // Only the main thread (worker 0 between rounds) calls MPI.
    MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
    install_stop_handlers();  // in case the runtime installed its own
    collective = std::make_unique<MpiCollective>();
    local_processes = processes_on_this_machine(local_rank);
  }
#endif
  if (!collective) collective = std::make_unique<SoloCollective>();
  Collective& group = *collective;
  const bool root = group.rank() == 0;

  SweepOptions options;
  std::string message;
  int status = parse_sweep_options(argc, argv, options, message);
  if (status >= 0) {
    if (root) std::fputs(message.c_str(), status == 0 ? stdout : stderr);
  } else {
    if (options.threads == 0) options.threads = std::max(1, machine_cores() / local_processes);
    options.device_index = local_rank;  // one GPU per process, round-robin on each machine
    SweepIo io;
    io.progress = root && !options.quiet && ::isatty(STDERR_FILENO) == 1;
    try {
      status = run_sweep(options, group, &g_stop, io);
    } catch (const std::bad_alloc&) {
      // A few bytes of matrix file can declare arrays far beyond memory: a line, not an abort.
      std::fprintf(stderr,
                   "ldpcsw-sweep: %s: not enough memory for the matrix and the decoders' arrays\n",
                   options.matrix.c_str());
#ifdef LDPCSW_WITH_MPI
      // The other processes would wait for this one in the next reduction.
      if (with_mpi && group.size() > 1) MPI_Abort(MPI_COMM_WORLD, 1);
#endif
      status = 1;
    }
  }
#ifdef LDPCSW_WITH_MPI
  if (with_mpi) MPI_Finalize();
#endif
  return status;
}
