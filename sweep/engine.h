// The sweep engine: decodes the blocks of one point (one crossover probability p) on a pool of
// threads, in rounds, optionally split across cooperating processes, and stops the point
// early after a given number of failed blocks.
//
// Reproducibility rule: block b of point p draws its source and side information from the
// Philox stream keyed by (seed, p) at counter b, so its outcome does not depend on the thread
// or process that decodes it. A point's result is the shortest prefix 0..k-1 of its blocks that
// contains max_frame_errors failed blocks (or all `blocks` blocks when no such prefix exists).
// Rounds only decide how much work is in flight; their sizes never change a count. So the
// counts are identical for every thread count, every process count and every interruption
// point followed by a resume.
//
// Error policy: nothing here reads files or the command line; broken invariants assert.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "minsum/minsum.h"
#include "streams/block_streams.h"

namespace ldpcsw {
class GpuMinsum;
}

namespace ldpcsw::sweep {

using streams::PhiloxCounter;
using streams::PhiloxKey;
using streams::philox4x32_10;

enum class DecoderKind { adaptive, plain, minsum_flooding, minsum_layered, spa_layered };

// The decoder's name on the command line and in the settings file.
const char* decoder_name(DecoderKind decoder);
// The fixed-point decoders (min-sum and the layered sum-product), which share the batch
// decoder, its parameters and the device kernel.
inline bool is_minsum(DecoderKind decoder) {
  return decoder == DecoderKind::minsum_flooding || decoder == DecoderKind::minsum_layered ||
         decoder == DecoderKind::spa_layered;
}
inline minsum::Schedule schedule_of(DecoderKind decoder) {
  return decoder == DecoderKind::minsum_flooding ? minsum::Schedule::flooding
                                                 : minsum::Schedule::layered;
}
// The fixed-point parameters a point decodes with: the sum-product rule's channel magnitude,
// when not given (q = 0), follows from the point's crossover p.
minsum::MinsumParams point_params(const minsum::MinsumParams& params, double p);

// H in both sparse forms: the adaptive decoder walks rows (ir, jc), the plain one columns
// (row_index, col_ptr).
struct SweepCode {
  int n = 0;
  int m = 0;
  std::vector<int> ir, jc;
  std::vector<int> row_index, col_ptr;
  minsum::MinsumCode minsum;  // filled by prepare_minsum_code for the min-sum decoders
  int edges() const { return ir.empty() ? 0 : ir.back(); }
};

// Fills code.minsum from the row-major form; false with one line when the min-sum decoders
// cannot serve the matrix.
bool prepare_minsum_code(SweepCode& code, std::string& error);

// ---- Per-block random streams ------------------------------------------------------------

// The Philox key of point p under `seed`: both mixed through splitmix64's finaliser, so
// neighbouring seeds or probabilities give unrelated streams.
PhiloxKey point_key(std::uint64_t seed, double p);

// Threshold t with P(u < t) = t / 2^32 closest to p for a uniform 32-bit u.
std::uint64_t noise_threshold(double p);

// Block `block` of a point: x[j] equiprobable, y[j] = x[j] XOR (u_j < threshold).
// Source bits come from counters (q, 0, block) (128 bits per counter), noise words from
// counters (q, 1, block) (four bits per counter).
void draw_sweep_block(const PhiloxKey& key, std::uint64_t block, std::uint64_t threshold,
                      std::int8_t* x, std::int8_t* y, int n);

// The same block as draw_sweep_block, bit for bit, with the noise words of several counters
// computed in SIMD lanes (the min-sum decoders' drawing).
void draw_sweep_block_simd(const PhiloxKey& key, std::uint64_t block, std::uint64_t threshold,
                           std::int8_t* x, std::int8_t* y, int n);

// ---- Counts and rounds ---------------------------------------------------------------------

struct PointCounts {
  std::int64_t blocks = 0;
  std::int64_t frame_errors = 0;
  std::int64_t bit_errors = 0;
  std::int64_t iterations = 0;
  // Sum over blocks of (bit errors of the block)^2: with bit_errors, the spread of the errors
  // between blocks, which the bit error rate's interval needs. Saturates at INT64_MAX (out of
  // reach for any block length and count a sweep can run in practice).
  std::int64_t bit_errors_sq = 0;
  // Blocks whose decisions satisfy the syndrome but differ from the source: failures the
  // decoder cannot see (a subset of frame_errors).
  std::int64_t undetected_errors = 0;
  bool operator==(const PointCounts&) const = default;
};

// True when nothing more is to be decoded: all `blocks` done, or max_frame_errors reached
// (max_frame_errors = 0: no early stop).
bool point_finished(const PointCounts& c, std::int64_t blocks, std::int64_t max_frame_errors);

// One block's outcome in a round buffer: four int64 slots per block.
inline constexpr int OUTCOME_SLOTS = 4;  // done (0/1), bit errors, iterations, undetected (0/1)

// Folds a round's outcomes, in block order, into `counts`: stops at the first block not done
// (a process or thread that was interrupted before taking it) and right after the block that
// brings the frame errors to max_frame_errors. Returns the number of blocks taken.
std::int64_t absorb_round(PointCounts& counts, const std::int64_t* outcomes, std::int64_t length,
                          std::int64_t max_frame_errors);

// The part [first, second) of the round [begin, begin + length) that process `rank` of `size`
// decodes: contiguous shares whose sizes differ by at most one, lower ranks first.
std::pair<std::int64_t, std::int64_t> rank_share(std::int64_t begin, std::int64_t length, int rank,
                                                 int size);

// Length of the next round, the same on every process. Grows from 2 blocks per worker to 64
// per worker, or to 256 when several processes share it: their shares are fixed, so longer
// rounds even out the blocks' unequal costs between them. Once failures have been seen it is
// held near the number of blocks still expected before max_frame_errors, so an early stop
// wastes little work. Never past `blocks`.
std::int64_t next_round_length(const PointCounts& c, std::int64_t blocks,
                               std::int64_t max_frame_errors, std::int64_t total_workers,
                               int round_index, int processes = 1);

// ---- Processes -------------------------------------------------------------------------------

// The processes that share a sweep. One process: rank 0 of 1, sums are no-ops.
// A distributed run supplies an all-reduce over its processes.
class Collective {
 public:
  virtual ~Collective() = default;
  virtual int rank() const = 0;
  virtual int size() const = 0;
  // Element-wise sum of `values` over all processes, result on every process.
  virtual void sum(std::int64_t* values, std::int64_t count) = 0;
};

class SoloCollective final : public Collective {
 public:
  int rank() const override { return 0; }
  int size() const override { return 1; }
  void sum(std::int64_t*, std::int64_t) override {}
};

// ---- Threads ---------------------------------------------------------------------------------

// Starts one thread running `body`; throws (std::system_error, std::bad_alloc) when the
// system refuses. Replaceable so that tests can refuse a start.
using ThreadStarter = std::function<std::thread(std::function<void()> body)>;

// A fixed set of threads that run one job at a time; the calling thread is worker 0.
// A thread that cannot start (the process's thread or memory limit) ends the starting: the
// pool keeps the workers that did start, size() says how many, and start_error() why the
// next one did not. Never an abort, never a wait on a thread that does not exist.
class WorkerPool {
 public:
  explicit WorkerPool(int workers, const ThreadStarter& start = {});
  ~WorkerPool();
  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;
  int size() const { return workers_; }
  // Empty when every requested worker started; else the system's reason for the first refusal.
  const std::string& start_error() const { return start_error_; }
  // Runs job(worker) on every worker and returns when all have returned.
  void run(const std::function<void(int)>& job);

 private:
  void loop(int worker);
  int workers_;
  std::string start_error_;
  std::vector<std::thread> threads_;
  std::mutex mutex_;
  std::condition_variable wake_, done_;
  const std::function<void(int)>* job_ = nullptr;
  std::uint64_t generation_ = 0;
  int pending_ = 0;
  bool quit_ = false;
};

// The cores this process may run on (its CPU affinity), at least 1.
int available_cores();

// More decoding threads than this many per core only cost memory (each worker holds the
// decoders' arrays) and switching: the CPU-bound decoders gain nothing from them.
inline constexpr int MAX_THREADS_PER_CORE = 4;

// The workers worth starting for `requested` threads: at most MAX_THREADS_PER_CORE per core
// and at most one per block of `work` (work <= 0: no bound from the work), at least 1.
int useful_workers(int requested, std::int64_t work, int cores);

// ---- One point -------------------------------------------------------------------------------

struct PointTask {
  double p = 0.0;
  std::int64_t blocks = 0;
  std::int64_t max_frame_errors = 0;
  std::uint64_t seed = 0;
  minsum::MinsumParams minsum{};  // the min-sum decoders' parameters
  // The min-sum decoders on a device (open on this process's matrix) instead of the CPU
  // workers; null: the CPU. The counts are the same either way.
  GpuMinsum* device = nullptr;
};

// Called on worker 0 of rank 0 after each of its blocks: the counts settled so far and the
// blocks this process has finished in the current round.
using ProgressFn = std::function<void(const PointCounts& settled, std::int64_t in_round)>;

struct PointResult {
  PointCounts counts;
  bool finished = false;     // point_finished(counts, ...)
  bool interrupted = false;  // some process saw `stop`: the whole group ends the sweep here
  std::string device_error;  // this process's device failed (and interrupted the point)
};

// One worker's buffers for decoding blocks.
struct BlockWorkspace {
  std::vector<std::int8_t> x, y, s, x_hat, byte_scratch;
  std::vector<double> number_scratch;
  // The fixed-point decoders: lane arrays, and each lane's block.
  minsum::MinsumWorkspace minsum;
  std::vector<std::int64_t> lane_block;
  explicit BlockWorkspace(const SweepCode& code);
};

// What one block came to.
struct BlockOutcome {
  int bit_errors = 0;
  int iterations = 0;
  bool undetected = false;  // bit errors, yet the decisions satisfy the syndrome
};

// True when decisions `x_hat` with `bit_errors` wrong bits are an undetected error: wrong,
// yet their syndrome is s.
bool undetected_error(const SweepCode& code, const std::int8_t* x_hat, const std::int8_t* s,
                      int bit_errors);

// Decodes the block held in ws.x (source) and ws.y (side information) on `code` with a
// one-block decoder: the exact ones, or for the fixed-point decoders the scalar reference, whose
// outcome every batch target reproduces. `ws` may be sized for a larger code (more rows or
// ones) than `code`; the fixed-point parameters are those of the point (point_params).
BlockOutcome decode_given(const SweepCode& code, DecoderKind decoder,
                          const minsum::MinsumParams& params, BlockWorkspace& ws, double p);

// Draws, decodes and counts one block; x_hat starts as the complement of y so that the
// decoder's first iteration, whose decisions follow y almost everywhere, always counts as a
// change and tests the syndrome.
BlockOutcome decode_block(const SweepCode& code, DecoderKind decoder, BlockWorkspace& ws,
                          const PhiloxKey& key, std::uint64_t threshold, double p,
                          std::uint64_t block);

// Decodes point `task` from `start` (counts of an earlier, interrupted run of the same point,
// or zeros) until point_finished or until `stop` is seen; blocks already handed to a worker
// are always finished. Every process of `group` must call it with the same arguments
// (workspaces and pool sizes may differ).
PointResult run_point(const SweepCode& code, DecoderKind decoder, const PointTask& task,
                      const PointCounts& start, WorkerPool& pool,
                      std::vector<BlockWorkspace>& workspaces, Collective& group,
                      std::int64_t total_workers, const std::atomic<bool>* stop,
                      const ProgressFn& progress);

}  // namespace ldpcsw::sweep
