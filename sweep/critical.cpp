#include "sweep/critical.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <functional>
#include <numeric>
#include <utility>

#include "code/blocks.h"
#include "code/convert.h"
#include "gpu/gpu_minsum.h"
#include "sweep/stats.h"

namespace ldpcsw::sweep {

namespace {

// Rounds are sized as for the fixed-point sweep: each worker keeps this many times the blocks of
// a one-block decoder in flight, so that the blocks that probe the same step fill the lanes.
constexpr std::int64_t CRITICAL_ROUND_FACTOR = 64;
// The blocks searched side by side: all start from the same step, so their probes of one step
// are decoded together in the lanes for as long as their brackets coincide, and the later
// probes of a bisection spread them over many steps, so the more blocks, the fuller each
// step's lanes. On the CPU a process's share of a round is one pool of up to CRITICAL_CHUNK
// blocks per worker, every worker decoding the groups of the same probe round; a device takes
// CRITICAL_CHUNK at a time. The pool's source and side-information bytes are held to
// CRITICAL_CHUNK_BYTES per worker. A step's group is split between workers in pieces of at
// least CRITICAL_PIECE_VECTORS vectors of lanes (a piece ends with its lanes emptying).
constexpr std::int64_t CRITICAL_CHUNK = 4096;
constexpr std::int64_t CRITICAL_CHUNK_BYTES = std::int64_t{64} << 20;
constexpr std::int64_t CRITICAL_PIECE_VECTORS = 4;
// A round index at which next_round_length gives its full size.
constexpr int CRITICAL_FULL_ROUND = 1 << 20;

// Bytes a code of the chain holds, for the cache's budget.
std::size_t code_bytes(const SweepCode& c) {
  const std::size_t ints = c.ir.size() + c.jc.size() + c.row_index.size() + c.col_ptr.size() +
                           c.minsum.ir.size() + c.minsum.jc.size() + c.minsum.col_ptr.size() +
                           c.minsum.col_edge.size();
  return ints * sizeof(int) + sizeof(SweepCode);
}

}  // namespace

// ---- The chain's codes ------------------------------------------------------------------------------

ChainCodes::ChainCodes(ParityCheckMatrix mother, RateAdaptChain chain, std::vector<long long> ranks,
                       bool minsum, std::size_t budget_bytes)
    : mother_(std::move(mother)), chain_(std::move(chain)), ranks_(std::move(ranks)),
      minsum_(minsum), budget_(budget_bytes) {
  assert(static_cast<int>(ranks_.size()) == chain_.steps() + 1);
}

std::shared_ptr<const SweepCode> ChainCodes::code(int k) {
  assert(k >= 0 && k <= steps());
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = cache_.find(k);
    if (it != cache_.end()) {
      order_.splice(order_.begin(), order_, it->second.at);
      return it->second.code;
    }
  }
  // Made outside the lock: two threads that want the same new code may both make it; the
  // second keeps the first's.
  ParityCheckMatrix h = rate_adapt_code(mother_, chain_, k);
  auto made = std::make_shared<SweepCode>();
  made->n = h.n;
  made->m = h.m;
  ColumnMatrix columns = code_columns_of(h);
  made->row_index = std::move(columns.row_index);
  made->col_ptr = std::move(columns.col_ptr);
  made->ir = std::move(h.ir);
  made->jc = std::move(h.jc);
  if (minsum_) {
    std::string error;
    // Merging never raises a column's weight, so the mother's acceptance covers every code.
    const bool ok = prepare_minsum_code(*made, error);
    assert(ok);
    (void)ok;
  }
  const std::size_t bytes = code_bytes(*made);
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = cache_.find(k);
  if (it != cache_.end()) return it->second.code;
  ++made_;
  order_.push_front(k);
  cache_.emplace(k, Entry{made, order_.begin(), bytes});
  held_ += bytes;
  while (held_ > budget_ && order_.size() > 1) {
    const int old = order_.back();
    order_.pop_back();
    auto gone = cache_.find(old);
    held_ -= gone->second.bytes;
    cache_.erase(gone);  // a thread still decoding with it holds its own reference
  }
  return made;
}

std::int64_t ChainCodes::made() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return made_;
}

// ---- The chain on a device ----------------------------------------------------------------------

ChainDevice::ChainDevice(ChainCodes& codes, int device_index)
    : codes_(codes), device_index_(device_index) {}

ChainDevice::~ChainDevice() = default;

GpuMinsum* ChainDevice::decoder(int k, std::string& error) {
  for (auto it = open_.begin(); it != open_.end(); ++it) {
    if (it->first != k) continue;
    open_.splice(open_.begin(), open_, it);
    return open_.front().second.get();
  }
  if (static_cast<int>(open_.size()) >= CHAIN_DEVICE_OPEN) open_.pop_back();
  auto gpu = std::make_unique<GpuMinsum>();
  const std::shared_ptr<const SweepCode> code = codes_.code(k);
  const int capacity = std::min(CHAIN_DEVICE_CAPACITY, gpu_minsum_batch_capacity(code->minsum));
  if (!gpu->open(code->minsum, std::max(1, capacity), error, device_index_)) return nullptr;
  open_.emplace_front(k, std::move(gpu));
  return open_.front().second.get();
}

// ---- The search -----------------------------------------------------------------------------------

void CriticalSearch::start(int steps, int guess, int first_stride) {
  *this = CriticalSearch{};
  fail = steps + 1;
  probe = std::clamp(guess, 0, steps);
  stride = std::max(1, first_stride);
}

void CriticalSearch::start_scan(int steps) {
  *this = CriticalSearch{};
  fail = steps + 1;
  probe = steps;
  scanning = true;
}

void CriticalSearch::record(bool decoded, bool undetected_error, int iterations_run) {
  assert(!done);
  ++decodes;
  iterations += iterations_run;
  if (undetected_error) undetected = true;
  const int at = probe;
  if (decoded) ok = at;
  else fail = at;
  if (scanning) {
    done = decoded || at == 0;
    probe = at - 1;
    return;
  }
  if (fail - ok <= 1) {
    done = true;
    return;
  }
  if (!bisecting) {
    if (direction == 0) direction = decoded ? 1 : -1;
    // Galloping on while the outcome stays the same; both ends of the chain bound it.
    if ((direction > 0) == decoded) {
      const long long next = static_cast<long long>(at) + direction * static_cast<long long>(stride);
      probe = static_cast<int>(std::clamp<long long>(next, ok + 1, fail - 1));
      if (stride < (1 << 29)) stride *= 2;
      return;
    }
    bisecting = true;
  }
  probe = ok + (fail - ok) / 2;
}

void critical_guess(const ChainCodes& codes, double p, int& guess, int& stride) {
  const int n = codes.n();
  const double target = CRITICAL_GUESS_EFFICIENCY * n * binary_entropy(p);
  // The ranks fall along the chain: the last step that still holds `target` syndrome bits.
  const std::vector<long long>& ranks = codes.ranks();
  int lo = 0, hi = codes.steps();
  if (static_cast<double>(ranks[0]) < target) {
    hi = 0;
  } else {
    while (lo < hi) {
      const int mid = lo + (hi - lo + 1) / 2;
      if (static_cast<double>(ranks[static_cast<std::size_t>(mid)]) >= target) lo = mid;
      else hi = mid - 1;
    }
  }
  guess = hi;
  // About half the spread of the blocks' noise, sqrt(n p (1 - p)) flips of about
  // log2((1 - p) / p) syndrome bits each, at p near 0.05.
  stride = std::max(2, static_cast<int>(std::sqrt(static_cast<double>(n))));
}

// ---- Counts -----------------------------------------------------------------------------------------

std::int64_t absorb_critical_round(CriticalCounts& counts, const std::int64_t* outcomes,
                                   std::int64_t length) {
  std::int64_t taken = 0;
  for (; taken < length; ++taken) {
    const std::int64_t* o = outcomes + taken * CRITICAL_SLOTS;
    if (o[0] == 0) break;
    ++counts.blocks;
    ++counts.histogram[static_cast<int>(o[1])];
    counts.decodes += o[2];
    counts.iterations += o[3];
    counts.undetected += o[4];
  }
  return taken;
}

CriticalSummary summarize_critical(const CriticalCounts& counts, const std::vector<long long>& ranks,
                                   int n) {
  CriticalSummary s;
  const double nan = std::nan("");
  s.rate = s.rate_lo = s.rate_hi = s.q05 = s.q50 = s.q95 = nan;
  auto bits_of = [&](int k) {
    return k < 0 ? static_cast<double>(n) : static_cast<double>(ranks[static_cast<std::size_t>(k)]);
  };
  const auto undecoded = counts.histogram.find(-1);
  s.undecoded = undecoded == counts.histogram.end() ? 0 : undecoded->second;
  if (counts.blocks == 0) return s;
  // Whole syndrome bits summed as integers, then one division: the same value however the
  // blocks were split.
  long double total = 0;
  for (const auto& [k, c] : counts.histogram) total += static_cast<long double>(bits_of(k)) * c;
  const double blocks = static_cast<double>(counts.blocks);
  const double mean_bits = static_cast<double>(total / counts.blocks);
  s.rate = mean_bits / n;
  if (counts.blocks > 1) {
    double ss = 0;
    for (const auto& [k, c] : counts.histogram) {
      const double d = bits_of(k) - mean_bits;
      ss += d * d * static_cast<double>(c);
    }
    const double half = Z95 * std::sqrt(ss / (blocks - 1) / blocks) / n;
    s.rate_lo = std::max(0.0, s.rate - half);
    s.rate_hi = std::min(1.0, s.rate + half);
  } else {
    s.rate_lo = 0.0;
    s.rate_hi = 1.0;
  }
  // Quantiles: the smallest rate that at least q of the blocks need no more than. Rates rise as
  // the step falls; undecoded blocks (rate 1) come last.
  std::vector<std::pair<double, std::int64_t>> by_rate;
  for (const auto& [k, c] : counts.histogram) by_rate.emplace_back(bits_of(k) / n, c);
  std::sort(by_rate.begin(), by_rate.end());
  auto quantile = [&](double q) {
    const auto need = static_cast<std::int64_t>(std::ceil(q * blocks));
    std::int64_t seen = 0;
    for (const auto& [rate, c] : by_rate) {
      seen += c;
      if (seen >= need) return rate;
    }
    return by_rate.back().first;
  };
  s.q05 = quantile(0.05);
  s.q50 = quantile(0.50);
  s.q95 = quantile(0.95);
  return s;
}

// ---- One point -----------------------------------------------------------------------------------

namespace {

// Starts a block's search: the scan, or the gallop from the point's guess.
void start_search(CriticalSearch& search, bool scan, int steps, int guess, int stride) {
  if (scan) search.start_scan(steps);
  else search.start(steps, guess, stride);
}

// Decodes the held blocks blocks[0..count) (indices into xs, ys and searches) at `code` in the
// fixed-point decoders' lanes and records each outcome in the block's search. Before each
// block enters a lane, `more` (when given) may refuse it: the lanes then finish the blocks in
// them and the call returns false, the rest of the blocks not decoded.
bool decode_in_lanes(const SweepCode& code, DecoderKind decoder, const minsum::MinsumParams& params,
                     const int* blocks, std::size_t count, const std::vector<std::int8_t>& xs,
                     const std::vector<std::int8_t>& ys, std::vector<CriticalSearch>& searches,
                     BlockWorkspace& ws, std::vector<int>& lane_of,
                     const std::function<bool()>& more = {}) {
  const std::size_t n = static_cast<std::size_t>(code.n);
  lane_of.assign(static_cast<std::size_t>(minsum::minsum_lanes()), -1);
  std::size_t next = 0;
  bool refused = false;
  const auto load = [&](int lane, std::int8_t* x, std::int8_t* y) {
    if (next >= count || refused) return false;
    if (more && !more()) {
      refused = true;
      return false;
    }
    const int i = blocks[next++];
    std::copy_n(&xs[static_cast<std::size_t>(i) * n], n, x);
    std::copy_n(&ys[static_cast<std::size_t>(i) * n], n, y);
    lane_of[static_cast<std::size_t>(lane)] = i;
    return true;
  };
  const auto outcome = [&](int lane, int bit_errors, bool success, int iterations) {
    CriticalSearch& s = searches[static_cast<std::size_t>(lane_of[static_cast<std::size_t>(lane)])];
    s.record(bit_errors == 0, success && bit_errors > 0, iterations);
  };
  minsum::minsum_decode_sources(code.minsum, params, schedule_of(decoder), ws.minsum, load,
                                outcome);
  return !refused;
}

// Orders the open blocks by their next probe; `group` is then called with each run of blocks
// that probe one step, as (step, first index into open, end).
template <class Group>
void probe_groups(std::vector<int>& open, const std::vector<CriticalSearch>& searches,
                  Group&& group) {
  std::stable_sort(open.begin(), open.end(), [&](int a, int b) {
    return searches[static_cast<std::size_t>(a)].probe < searches[static_cast<std::size_t>(b)].probe;
  });
  for (std::size_t g = 0; g < open.size();) {
    const int k = searches[static_cast<std::size_t>(open[g])].probe;
    std::size_t end = g;
    while (end < open.size() && searches[static_cast<std::size_t>(open[end])].probe == k) ++end;
    if (!group(k, g, end)) return;
    g = end;
  }
}

// Keeps the open blocks whose search goes on; calls done(index, search) for the others.
template <class Done>
void settle_searches(std::vector<int>& open, const std::vector<CriticalSearch>& searches,
                     Done& done) {
  std::vector<int> still;
  for (int i : open) {
    if (searches[static_cast<std::size_t>(i)].done) done(i, searches[static_cast<std::size_t>(i)]);
    else still.push_back(i);
  }
  open.swap(still);
}

// The search of blocks [first, first + count) by every worker of `pool` together, for the
// fixed-point decoders on the CPU: the blocks are drawn once into xs and ys, then each round
// of probes gathers the open blocks of one step into one group, split into pieces that the
// workers take largest first. Every block's probes and outcomes are its own, so the result is
// search_blocks' for each block; only the lanes are fuller. Calls done(index, search) on the
// calling thread as each search ends, and tick() there before each block it puts in a lane (a
// round of probes may end no search for a long time; tick is where the caller's progress and
// its check for an interruption go). Returns false when `stop` was seen; the workers see it
// before each block too.
template <class Done>
bool search_pooled(ChainCodes& codes, DecoderKind decoder, const minsum::MinsumParams& params,
                   double p, bool scan, const PhiloxKey& key, std::uint64_t threshold,
                   std::uint64_t first, int count, WorkerPool& pool,
                   std::vector<BlockWorkspace>& workspaces, std::vector<std::int8_t>& xs,
                   std::vector<std::int8_t>& ys, const std::atomic<bool>* stop,
                   const std::function<void()>& tick, Done&& done) {
  const auto stopped = [stop] { return stop != nullptr && stop->load(std::memory_order_relaxed); };
  const int n = codes.n(), steps = codes.steps();
  const std::size_t un = static_cast<std::size_t>(n);
  xs.resize(static_cast<std::size_t>(count) * un);
  ys.resize(static_cast<std::size_t>(count) * un);
  std::vector<CriticalSearch> searches(static_cast<std::size_t>(count));
  int guess = 0, stride = 1;
  critical_guess(codes, p, guess, stride);
  std::atomic<int> next_draw{0};
  pool.run([&](int) {
    for (int i; (i = next_draw.fetch_add(1, std::memory_order_relaxed)) < count;) {
      draw_sweep_block_simd(key, first + static_cast<std::uint64_t>(i), threshold,
                            &xs[static_cast<std::size_t>(i) * un], &ys[static_cast<std::size_t>(i) * un], n);
      start_search(searches[static_cast<std::size_t>(i)], scan, steps, guess, stride);
    }
  });
  const std::size_t workers = static_cast<std::size_t>(pool.size());
  const std::size_t least = static_cast<std::size_t>(CRITICAL_PIECE_VECTORS * minsum::minsum_lanes());
  struct Piece {
    int step;
    std::size_t begin, end;
  };
  std::vector<Piece> pieces;
  std::vector<std::vector<int>> lane_of(workers);
  std::vector<int> open(static_cast<std::size_t>(count));
  std::iota(open.begin(), open.end(), 0);
  while (!open.empty()) {
    if (stopped()) return false;
    pieces.clear();
    probe_groups(open, searches, [&](int k, std::size_t g, std::size_t end) {
      const std::size_t piece = std::max(least, (end - g + workers - 1) / workers);
      for (std::size_t b = g; b < end; b += piece) pieces.push_back({k, b, std::min(end, b + piece)});
      return true;
    });
    std::stable_sort(pieces.begin(), pieces.end(), [](const Piece& a, const Piece& b) {
      return a.end - a.begin > b.end - b.begin;
    });
    std::atomic<std::size_t> next_piece{0};
    std::atomic<bool> cut{false};
    pool.run([&](int worker) {
      const std::function<bool()> more = [&, worker] {
        if (worker == 0 && tick) tick();
        return !stopped();
      };
      for (std::size_t t; (t = next_piece.fetch_add(1, std::memory_order_relaxed)) < pieces.size();) {
        const Piece& piece = pieces[t];
        const std::shared_ptr<const SweepCode> code = codes.code(piece.step);
        if (!decode_in_lanes(*code, decoder, params, &open[piece.begin], piece.end - piece.begin,
                             xs, ys, searches, workspaces[static_cast<std::size_t>(worker)],
                             lane_of[static_cast<std::size_t>(worker)], more)) {
          cut.store(true, std::memory_order_relaxed);
          return;
        }
      }
    });
    if (cut.load()) return false;
    settle_searches(open, searches, done);
  }
  return true;
}

// Searches blocks [first, first + count) side by side: each round decodes every unfinished
// block at its probe, the blocks that probe one step together (the fixed-point decoders in the
// lanes). Calls done(index, search) as each search ends. Returns false when `stop`
// was seen (the unfinished blocks are then left undone).
template <class Done>
bool search_blocks(ChainCodes& codes, DecoderKind decoder, const minsum::MinsumParams& params,
                   double p, bool scan, const PhiloxKey& key, std::uint64_t threshold,
                   std::uint64_t first,
                   int count, BlockWorkspace& ws, std::vector<std::int8_t>& xs,
                   std::vector<std::int8_t>& ys, const std::atomic<bool>* stop,
                   ChainDevice* device, std::string& device_error, Done&& done) {
  const int n = codes.n(), steps = codes.steps();
  const bool batch = is_minsum(decoder);
  // On a device the blocks are drawn there, by their numbers.
  const std::size_t held = device != nullptr ? 0 : static_cast<std::size_t>(count) * n;
  xs.resize(held);
  ys.resize(held);
  std::vector<CriticalSearch> searches(static_cast<std::size_t>(count));
  int guess = 0, stride = 1;
  critical_guess(codes, p, guess, stride);
  for (int i = 0; i < count; ++i) {
    start_search(searches[static_cast<std::size_t>(i)], scan, steps, guess, stride);
    if (device != nullptr) continue;
    std::int8_t* x = &xs[static_cast<std::size_t>(i) * n];
    std::int8_t* y = &ys[static_cast<std::size_t>(i) * n];
    if (batch) draw_sweep_block_simd(key, first + i, threshold, x, y, n);
    else draw_sweep_block(key, first + i, threshold, x, y, n);
  }
  std::vector<int> open(static_cast<std::size_t>(count));
  std::iota(open.begin(), open.end(), 0);
  std::vector<int> lane_of;
  // Set when `stop` was seen or the device failed: the unfinished blocks are left undone.
  bool cut = false;
  while (!open.empty()) {
    probe_groups(open, searches, [&](int k, std::size_t g, std::size_t end) {
      if (stop != nullptr && stop->load(std::memory_order_relaxed)) return !(cut = true);
      if (device != nullptr) {
        // The group's blocks in runs of consecutive numbers, each run in calls of at most the
        // decoder's capacity.
        GpuMinsum* gpu = device->decoder(k, device_error);
        if (gpu == nullptr) return !(cut = true);
        std::vector<GpuBlockOutcome> outcomes(static_cast<std::size_t>(gpu->capacity()));
        for (std::size_t t = g; t < end;) {
          std::size_t run = t + 1;
          while (run < end && open[run] == open[run - 1] + 1 &&
                 static_cast<int>(run - t) < gpu->capacity())
            ++run;
          const int length = static_cast<int>(run - t);
          if (!gpu->decode(params, schedule_of(decoder), key[0], key[1], threshold,
                           first + static_cast<std::uint64_t>(open[t]), length, outcomes.data(),
                           nullptr, nullptr, device_error))
            return !(cut = true);
          for (int u = 0; u < length; ++u) {
            const GpuBlockOutcome& o = outcomes[static_cast<std::size_t>(u)];
            searches[static_cast<std::size_t>(open[t + static_cast<std::size_t>(u)])].record(
                o.bit_errors == 0, o.success && o.bit_errors > 0, o.iterations);
          }
          t = run;
        }
        return true;
      }
      const std::shared_ptr<const SweepCode> code = codes.code(k);
      // The lanes even for one block: they cost less than the scalar reference.
      if (batch) {
        decode_in_lanes(*code, decoder, params, &open[g], end - g, xs, ys, searches, ws, lane_of);
      } else {
        for (std::size_t t = g; t < end; ++t) {
          const int i = open[t];
          std::copy_n(&xs[static_cast<std::size_t>(i) * n], n, ws.x.data());
          std::copy_n(&ys[static_cast<std::size_t>(i) * n], n, ws.y.data());
          const BlockOutcome o = decode_given(*code, decoder, params, ws, p);
          searches[static_cast<std::size_t>(i)].record(o.bit_errors == 0, o.undetected,
                                                       o.iterations);
        }
      }
      return true;
    });
    if (cut) return false;
    settle_searches(open, searches, done);
  }
  return true;
}

}  // namespace

CriticalResult run_critical_point(ChainCodes& codes, DecoderKind decoder, const CriticalTask& task,
                                  const CriticalCounts& start, WorkerPool& pool,
                                  std::vector<BlockWorkspace>& workspaces, Collective& group,
                                  std::int64_t total_workers, const std::atomic<bool>* stop,
                                  const CriticalProgressFn& progress) {
  assert(static_cast<int>(workspaces.size()) >= pool.size());
  const PhiloxKey key = point_key(task.seed, task.p);
  const std::uint64_t threshold = noise_threshold(task.p);
  const minsum::MinsumParams params = point_params(task.minsum, task.p);
  const bool batch = is_minsum(decoder);

  const std::int64_t round_workers = batch ? total_workers * CRITICAL_ROUND_FACTOR : total_workers;
  CriticalResult result;
  result.counts = start;
  std::vector<std::int64_t> buffer;
  std::vector<std::vector<std::int8_t>> xs(workspaces.size()), ys(workspaces.size());
  for (int round = 0; result.counts.blocks < task.blocks; ++round) {
    PointCounts sized;
    sized.blocks = result.counts.blocks;
    // The fixed-point decoders take rounds of the full size from the first (64 blocks per
    // lane-filling worker, up to 4096 per thread): the larger a pool, the fuller its lanes.
    const std::int64_t length = next_round_length(sized, task.blocks, 0, round_workers,
                                                  batch ? CRITICAL_FULL_ROUND : round, group.size());
    const std::int64_t round_begin = result.counts.blocks;
    const auto [first, last] = rank_share(round_begin, length, group.rank(), group.size());
    buffer.assign(static_cast<std::size_t>(length * CRITICAL_SLOTS + 1), 0);
    std::atomic<std::int64_t> next{first};
    std::atomic<std::int64_t> finished{0};
    std::atomic<bool> stopped{false};
    const CriticalCounts settled = result.counts;
    // The one-block decoders: each worker takes one block at a time.
    // The blocks a worker takes at a time: one for the one-block decoders; on a device, where
    // the calling thread works alone, the whole share in chunks of CRITICAL_CHUNK (the blocks
    // are drawn there, nothing is held here; a device failure ends the point).
    const std::int64_t step =
        task.device != nullptr ? std::clamp<std::int64_t>(last - first, 1, CRITICAL_CHUNK) : 1;
    std::string device_error;
    const auto record = [&](std::int64_t b, const CriticalSearch& s) {
      std::int64_t* o = &buffer[static_cast<std::size_t>((b - round_begin) * CRITICAL_SLOTS)];
      o[0] = 1;
      o[1] = s.critical();
      o[2] = s.decodes;
      o[3] = s.iterations;
      o[4] = s.undetected ? 1 : 0;
      return finished.fetch_add(1, std::memory_order_relaxed) + 1;
    };
    if (batch && task.device == nullptr) {
      // Every worker on one pool at a time, the share in pools of at most `pooled` blocks; the
      // progress is told between blocks too, since the first searches end only after several
      // rounds of probes of the whole pool.
      const std::function<void()> tick = [&] {
        if (progress) progress(settled, finished.load(std::memory_order_relaxed));
      };
      const std::int64_t workers = pool.size();
      const std::int64_t pooled = std::max<std::int64_t>(
          1, std::min(CRITICAL_CHUNK * workers, CRITICAL_CHUNK_BYTES * workers / (2 * codes.n())));
      for (std::int64_t b = first; b < last; b += pooled) {
        const int count = static_cast<int>(std::min(pooled, last - b));
        const bool whole = search_pooled(
            codes, decoder, params, task.p, task.scan, key, threshold,
            static_cast<std::uint64_t>(b), count, pool, workspaces, xs[0], ys[0], stop, tick,
            [&](int i, const CriticalSearch& s) {
              const std::int64_t d = record(b + i, s);
              if (progress) progress(settled, d);
            });
        if (!whole) {
          stopped.store(true, std::memory_order_relaxed);
          break;
        }
      }
    }
    auto work = [&](int worker) {
      for (;;) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
          stopped.store(true, std::memory_order_relaxed);
          return;
        }
        const std::int64_t b = next.fetch_add(step, std::memory_order_relaxed);
        if (b >= last) return;
        const int count = static_cast<int>(std::min(step, last - b));
        const bool whole = search_blocks(
            codes, decoder, params, task.p, task.scan, key, threshold,
            static_cast<std::uint64_t>(b), count, workspaces[static_cast<std::size_t>(worker)],
            xs[static_cast<std::size_t>(worker)], ys[static_cast<std::size_t>(worker)], stop,
            task.device, device_error, [&](int i, const CriticalSearch& s) {
              const std::int64_t d = record(b + i, s);
              if (worker == 0 && progress) progress(settled, d);
            });
        if (!whole) {
          stopped.store(true, std::memory_order_relaxed);
          return;
        }
      }
    };
    if (task.device != nullptr) work(0);
    else if (!batch) pool.run(work);
    if (!device_error.empty()) result.device_error = device_error;
    buffer.back() = stopped.load() ? 1 : 0;
    group.sum(buffer.data(), static_cast<std::int64_t>(buffer.size()));
    const std::int64_t taken = absorb_critical_round(result.counts, buffer.data(), length);
    if (buffer.back() > 0) {
      result.interrupted = true;
      break;
    }
    assert(taken == length);
    (void)taken;
  }
  result.finished = result.counts.blocks >= task.blocks;
  return result;
}

int critical_search_block(ChainCodes& codes, DecoderKind decoder, const CriticalTask& task,
                          BlockWorkspace& ws, std::uint64_t block) {
  std::vector<std::int8_t> xs, ys;
  std::string device_error;
  int found = -2;
  search_blocks(codes, decoder, point_params(task.minsum, task.p), task.p, task.scan,
                point_key(task.seed, task.p), noise_threshold(task.p), block, 1, ws, xs, ys,
                nullptr, task.device, device_error, [&](int, const CriticalSearch& s) {
                  found = s.critical();
                });
  return found;
}

}  // namespace ldpcsw::sweep
