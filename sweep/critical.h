// Critical-rate runs: for each block, the lowest rate of a rate-adaptive chain (code/rate_adapt.h)
// at which the decoder recovers the block exactly, and over the blocks of a point its mean,
// spread and efficiency against the Slepian-Wolf limit H(p).
//
// The chain's code after k merges has m - k rows and carries rank(k) independent syndrome bits;
// its rate as a compressor is rank(k) / n, falling as k grows. Block b of point p is the
// sweep's block b (same Philox stream, same x and y). A probe decodes the block on code k
// (its syndrome is H_k x, the merged mother syndrome) and succeeds when the decisions equal x;
// decisions that satisfy H_k's syndrome but differ from x are an undetected error: the probe
// counts as failed and the block is marked. The block's critical step k* is the largest k whose
// probe succeeds; -1 when even the mother fails (the block is undecoded and counted at rate 1:
// the sender falls back to sending it whole).
//
// The search assumes that success is monotone along the chain (a code with more syndrome bits
// decodes whatever one with fewer decodes). Every block of a point starts from the same guess,
// the step whose rank is nearest CRITICAL_GUESS_EFFICIENCY n H(p), gallops away from it with
// doubling strides until the outcome changes, then bisects; blocks whose outcomes agree so far
// probe the same step and are decoded together in the SIMD lanes. Where success is not
// monotone the search still returns a step at which the block decodes and one step further at
// which it does not, but a step further still may decode again: the scan (CriticalTask::scan),
// the order of a protocol that releases one syndrome bit at a time, tries every step from the
// last down and so finds the largest step that decodes, at the cost of K - k* + 1 decodes per
// block instead of about 2 log2 of the distance from the guess.
//
// Identity: a block's probes and outcomes depend only on the block, the chain, the decoder and
// its parameters, never on the thread, process, lane or SIMD target that decodes it, so the
// counts are identical for every thread count, process count and interruption point followed by
// a resume, as in the sweep (engine.h).
//
// Error policy: nothing here reads files; broken invariants assert.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "code/matrix.h"
#include "code/rate_adapt.h"
#include "sweep/engine.h"
#include "sweep/report.h"

namespace ldpcsw::sweep {

// The guess of the search, as a multiple of H(p).
inline constexpr double CRITICAL_GUESS_EFFICIENCY = 1.2;

// The codes of a chain, made on first use and kept while they fit in a memory budget (least
// recently used go first). Safe to share between threads.
class ChainCodes {
 public:
  // `ranks` as rate_adapt_ranks gives them (steps + 1 values). `minsum`: also make each code's
  // fixed-point form.
  ChainCodes(ParityCheckMatrix mother, RateAdaptChain chain, std::vector<long long> ranks,
             bool minsum, std::size_t budget_bytes = std::size_t{256} << 20);
  int n() const { return mother_.n; }
  int steps() const { return chain_.steps(); }
  long long rank(int k) const { return ranks_[static_cast<std::size_t>(k)]; }
  const std::vector<long long>& ranks() const { return ranks_; }
  // The code after k merges (0 <= k <= steps), in both sparse forms.
  std::shared_ptr<const SweepCode> code(int k);
  // Codes made so far (for tests and the closing figures).
  std::int64_t made() const;

 private:
  ParityCheckMatrix mother_;
  RateAdaptChain chain_;
  std::vector<long long> ranks_;
  bool minsum_;
  std::size_t budget_;
  mutable std::mutex mutex_;
  std::list<int> order_;  // most recently used first
  struct Entry {
    std::shared_ptr<const SweepCode> code;
    std::list<int>::iterator at;
    std::size_t bytes;
  };
  std::unordered_map<int, Entry> cache_;
  std::size_t held_ = 0;
  std::int64_t made_ = 0;
};

// The fixed-point decoders' kernels on a device for a chain: one device decoder per code that
// the search probes, opened on first use, the most recently used CHAIN_DEVICE_OPEN kept open
// (each holds its code and the arrays of its blocks on the device). One thread uses it.
class ChainDevice {
 public:
  static constexpr int CHAIN_DEVICE_OPEN = 4;
  // Blocks one device decoder takes per call.
  static constexpr int CHAIN_DEVICE_CAPACITY = 1024;
  ChainDevice(ChainCodes& codes, int device_index = 0);
  ~ChainDevice();
  // The device decoder of code k; null, with the reason in `error`, when it cannot be opened.
  GpuMinsum* decoder(int k, std::string& error);

 private:
  ChainCodes& codes_;
  int device_index_;
  std::list<std::pair<int, std::unique_ptr<GpuMinsum>>> open_;  // most recently used first
};

// The search of one block along a chain of `steps` merges.
struct CriticalSearch {
  int ok = -1;     // largest step known to succeed (-1: none yet)
  int fail = 0;    // smallest step known to fail (steps + 1: none yet)
  int probe = 0;   // the next step to decode
  int stride = 1;  // the gallop's next stride
  int direction = 0;  // gallop: +1 towards fewer syndrome bits, -1 towards more, 0 before the first
  bool bisecting = false;
  bool done = false;
  bool undetected = false;
  int decodes = 0;
  std::int64_t iterations = 0;
  bool scanning = false;  // one step at a time from the fewest syndrome bits up
  void start(int steps, int guess, int first_stride);
  // The protocol's own order: the last step first, then one step back at a time until the
  // block decodes (every step above k* is tried, so k* is the largest step that decodes).
  void start_scan(int steps);
  // The outcome of decoding at `probe`; chooses the next probe or ends the search.
  void record(bool decoded, bool undetected_error, int iterations_run);
  int critical() const { return ok; }
};

// The first probe and the first stride of the gallop for the blocks of point p.
void critical_guess(const ChainCodes& codes, double p, int& guess, int& stride);

// ---- Counts ------------------------------------------------------------------------------------

struct CriticalCounts {
  std::int64_t blocks = 0;
  std::int64_t undetected = 0;  // blocks with an undetected error at some probe
  std::int64_t decodes = 0;     // probes run
  std::int64_t iterations = 0;  // decoder iterations over all probes
  std::map<int, std::int64_t> histogram;  // critical step -> blocks (-1: undecoded)
  bool operator==(const CriticalCounts&) const = default;
};

// One block's outcome in a round buffer.
inline constexpr int CRITICAL_SLOTS = 5;  // done, critical step, decodes, iterations, undetected

// Folds a round's outcomes in block order; stops at the first block not done. Returns the
// number taken.
std::int64_t absorb_critical_round(CriticalCounts& counts, const std::int64_t* outcomes,
                                   std::int64_t length);

// What a point's counts come to. Rates are per block: rank(k*) / n, or 1 when undecoded.
struct CriticalSummary {
  double rate = 0, rate_lo = 0, rate_hi = 0;  // mean and its 95% normal interval
  double q05 = 0, q50 = 0, q95 = 0;           // quantiles of the blocks' rates
  std::int64_t undecoded = 0;
};
CriticalSummary summarize_critical(const CriticalCounts& counts, const std::vector<long long>& ranks,
                                   int n);

// ---- One point -----------------------------------------------------------------------------------

struct CriticalTask {
  double p = 0.0;
  std::int64_t blocks = 0;
  std::uint64_t seed = 0;
  minsum::MinsumParams minsum{};
  bool scan = false;  // CriticalSearch::start_scan instead of the gallop and bisection
  // The fixed-point decoders on a device instead of the CPU workers; null: the CPU. The counts
  // are the same either way.
  ChainDevice* device = nullptr;
};

struct CriticalResult {
  CriticalCounts counts;
  bool finished = false;
  bool interrupted = false;
  std::string device_error;  // the device failed (and interrupted the point)
};

// Called on the calling thread with the counts settled so far and the blocks this process has
// finished in the current round: after each finished block, and with the fixed-point decoders on
// the CPU also before each block a probe puts in a lane (the first searches of a pool end only
// after several rounds of probes), so that a caller can check for an interruption there.
using CriticalProgressFn =
    std::function<void(const CriticalCounts& settled, std::int64_t in_round)>;

// Runs point `task` from `start` until all its blocks are done or `stop` is seen, as run_point
// does (same sharing between processes; the fixed-point decoders on the CPU take full rounds
// from the first). workspaces must be sized for the mother.
CriticalResult run_critical_point(ChainCodes& codes, DecoderKind decoder, const CriticalTask& task,
                                  const CriticalCounts& start, WorkerPool& pool,
                                  std::vector<BlockWorkspace>& workspaces, Collective& group,
                                  std::int64_t total_workers, const std::atomic<bool>* stop,
                                  const CriticalProgressFn& progress);

// The step the search (or, with task.scan, the scan) finds for block `block` of the point,
// decoded on its own; for checking the search.
int critical_search_block(ChainCodes& codes, DecoderKind decoder, const CriticalTask& task,
                          BlockWorkspace& ws, std::uint64_t block);

}  // namespace ldpcsw::sweep

// ---- What a critical-rate run writes ------------------------------------------------------------

namespace ldpcsw::sweep {

// The CSV of a critical-rate run, one row per point, each with its check and, for a point cut
// short, the partial mark, as the sweep's CSV (report.h). rate is R̄ (rates as compressors,
// rank / n; an undecoded block counts 1), efficiency R̄ / H(p), the rate_q columns quantiles of
// the blocks' rates, decodes and iterations totals over all probes, histogram the critical
// steps as "STEP:BLOCKS" items separated by spaces, ascending (-1: undecoded).
inline constexpr const char* CRITICAL_CSV_HEADER =
    "p,h_p,blocks,rate,rate_lo,rate_hi,efficiency,efficiency_lo,efficiency_hi,rate_q05,rate_q50,"
    "rate_q95,undecoded,undetected,decodes,iterations,seconds,blocks_per_second,histogram,check";

struct CriticalRow {
  double p = 0.0;
  CriticalCounts counts;
  double seconds = 0.0;
  bool partial = false;
};

// The row's text (no end of line); `chain` as for format_csv_row.
std::string format_critical_csv_row(const CriticalRow& row, const std::vector<long long>& ranks,
                                    int n, const std::string& settings, std::string& chain);

struct CriticalCsvRules {
  int n = 0;
  std::int64_t blocks = 0;
  const std::vector<long long>* ranks = nullptr;  // the chain's, steps + 1 values
  std::string settings;
};

// Reads a critical-rate CSV back for --resume, with the strictness of parse_sweep_csv: every
// row whole, its counts consistent (the histogram's steps within the chain, its blocks adding
// up, undecoded its count at -1), every derived field what the counts give, its check matching.
bool parse_critical_csv(const std::string& text, const std::string& path,
                        const CriticalCsvRules& rules, ResumeState& state,
                        std::vector<CriticalRow>& finished, CriticalRow& partial,
                        std::string& error);

std::string format_critical_table_header(int p_width);
std::string format_critical_table_row(const CriticalRow& row, const std::vector<long long>& ranks,
                                      int n, int p_width);

}  // namespace ldpcsw::sweep
