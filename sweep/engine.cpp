#include "sweep/engine.h"

#include <algorithm>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <system_error>

#include <sched.h>

#include "code/blocks.h"
#include "decode/adaptive.h"
#include "decode/plain.h"
#include "decode/scratch.h"
#include "gpu/gpu_minsum.h"

namespace ldpcsw::sweep {

namespace {

// The prior probability of a one in the source: the bits are equiprobable.
constexpr double P_SRC = 0.5;

// The min-sum decoders keep a vector of blocks in flight per worker and refill its lanes as
// blocks end, so a round gives each worker this many times the blocks of the one-block
// decoders: the lanes stay full for most of a round instead of draining. A constant, not the
// lane count, so that processes on machines with other vector widths agree on every round.
constexpr std::int64_t MINSUM_ROUND_FACTOR = 64;
// Consecutive blocks a min-sum worker takes from a round at a time.
constexpr std::int64_t MINSUM_CHUNK = 16;

}  // namespace

const char* decoder_name(DecoderKind decoder) {
  switch (decoder) {
    case DecoderKind::adaptive: return "adaptive";
    case DecoderKind::plain: return "plain";
    case DecoderKind::minsum_flooding: return "minsum-flooding";
    case DecoderKind::minsum_layered: return "minsum-layered";
    case DecoderKind::spa_layered: return "spa-layered";
  }
  return "?";
}

minsum::MinsumParams point_params(const minsum::MinsumParams& params, double p) {
  minsum::MinsumParams ms = params;
  if (ms.check == minsum::CheckRule::sum_product && ms.q == 0) ms.q = minsum::spa_channel_q(p);
  return ms;
}

bool prepare_minsum_code(SweepCode& code, std::string& error) {
  return minsum::make_minsum_code(code.n, code.m, code.ir.data(), code.jc.data(), code.minsum,
                                  error);
}

PhiloxKey point_key(std::uint64_t seed, double p) {
  PhiloxKey key{};
  streams::point_key(seed, p, key[0], key[1]);
  return key;
}

std::uint64_t noise_threshold(double p) { return streams::noise_threshold(p); }

void draw_sweep_block(const PhiloxKey& key, std::uint64_t block, std::uint64_t threshold,
                      std::int8_t* x, std::int8_t* y, int n) {
  streams::draw_block(key[0], key[1], block, threshold, x, y, n, 1);
}

bool point_finished(const PointCounts& c, std::int64_t blocks, std::int64_t max_frame_errors) {
  return c.blocks >= blocks || (max_frame_errors > 0 && c.frame_errors >= max_frame_errors);
}

std::int64_t absorb_round(PointCounts& counts, const std::int64_t* outcomes, std::int64_t length,
                          std::int64_t max_frame_errors) {
  std::int64_t taken = 0;
  for (; taken < length; ++taken) {
    const std::int64_t* o = outcomes + taken * OUTCOME_SLOTS;
    if (o[0] == 0) break;
    counts.blocks += 1;
    counts.bit_errors += o[1];
    if (__builtin_add_overflow(counts.bit_errors_sq, o[1] * o[1], &counts.bit_errors_sq))
      counts.bit_errors_sq = INT64_MAX;
    counts.frame_errors += o[1] > 0 ? 1 : 0;
    counts.iterations += o[2];
    counts.undetected_errors += o[3];
    if (max_frame_errors > 0 && counts.frame_errors >= max_frame_errors) {
      ++taken;
      break;
    }
  }
  return taken;
}

std::pair<std::int64_t, std::int64_t> rank_share(std::int64_t begin, std::int64_t length, int rank,
                                                 int size) {
  const std::int64_t base = length / size, extra = length % size;
  const std::int64_t first = begin + rank * base + std::min<std::int64_t>(rank, extra);
  return {first, first + base + (rank < extra ? 1 : 0)};
}

std::int64_t next_round_length(const PointCounts& c, std::int64_t blocks,
                               std::int64_t max_frame_errors, std::int64_t total_workers,
                               int round_index, int processes) {
  const std::int64_t remaining = blocks - c.blocks;
  if (remaining <= 0) return 0;
  const int top = processes > 1 ? 7 : 5;  // up to 256 or 64 blocks per worker
  const std::int64_t per_worker = std::int64_t{2} << std::min(round_index, top);
  std::int64_t length = total_workers * per_worker;
  if (max_frame_errors > 0 && c.frame_errors > 0) {
    // Blocks expected before the limit at the rate seen so far, rounded up to whole workers.
    const double expected = std::ceil(static_cast<double>(max_frame_errors - c.frame_errors) *
                                      static_cast<double>(c.blocks) /
                                      static_cast<double>(c.frame_errors));
    const std::int64_t want =
        expected >= static_cast<double>(length) ? length : static_cast<std::int64_t>(expected);
    const std::int64_t whole = (std::max<std::int64_t>(want, 1) + total_workers - 1) /
                               total_workers * total_workers;
    length = std::min(length, whole);
  }
  return std::min(length, remaining);
}

// ---- WorkerPool ------------------------------------------------------------------------------

WorkerPool::WorkerPool(int workers, const ThreadStarter& start) : workers_(std::max(1, workers)) {
  const int requested = workers_;
  threads_.reserve(static_cast<std::size_t>(requested - 1));
  for (int w = 1; w < requested; ++w) {
    std::function<void()> body = [this, w] { loop(w); };
    try {
      threads_.push_back(start ? start(std::move(body)) : std::thread(std::move(body)));
    } catch (const std::system_error& e) {
      start_error_ = e.what();
    } catch (const std::bad_alloc&) {
      start_error_ = "not enough memory";
    }
    if (!start_error_.empty()) break;
  }
  // A started thread only looks at workers_ inside a job, and no job has run yet.
  workers_ = static_cast<int>(threads_.size()) + 1;
}

int available_cores() {
  cpu_set_t set;
  if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0) return CPU_COUNT(&set);
  const unsigned n = std::thread::hardware_concurrency();
  return n > 0 ? static_cast<int>(n) : 1;
}

int useful_workers(int requested, std::int64_t work, int cores) {
  std::int64_t cap = static_cast<std::int64_t>(std::max(1, cores)) * MAX_THREADS_PER_CORE;
  if (work > 0) cap = std::min(cap, work);
  return static_cast<int>(std::max<std::int64_t>(1, std::min<std::int64_t>(requested, cap)));
}

WorkerPool::~WorkerPool() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    quit_ = true;
  }
  wake_.notify_all();
  for (auto& t : threads_) t.join();
}

void WorkerPool::run(const std::function<void(int)>& job) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    job_ = &job;
    pending_ = workers_ - 1;
    ++generation_;
  }
  wake_.notify_all();
  job(0);
  std::unique_lock<std::mutex> lock(mutex_);
  done_.wait(lock, [this] { return pending_ == 0; });
  job_ = nullptr;
}

void WorkerPool::loop(int worker) {
  std::uint64_t seen = 0;
  for (;;) {
    const std::function<void(int)>* job = nullptr;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [&] { return quit_ || generation_ != seen; });
      if (quit_) return;
      seen = generation_;
      job = job_;
    }
    (*job)(worker);
    std::lock_guard<std::mutex> lock(mutex_);
    if (--pending_ == 0) done_.notify_one();
  }
}

// ---- Blocks ----------------------------------------------------------------------------------

BlockWorkspace::BlockWorkspace(const SweepCode& code)
    : x(code.n), y(code.n), s(code.m), x_hat(code.n),
      byte_scratch(byte_scratch_size(code.edges(), code.m)),
      number_scratch(number_scratch_size(code.edges(), code.n)) {}

bool undetected_error(const SweepCode& code, const std::int8_t* x_hat, const std::int8_t* s,
                      int bit_errors) {
  if (bit_errors == 0) return false;
  for (int r = 0; r < code.m; ++r) {
    int parity = s[r];
    for (int e = code.ir[r]; e < code.ir[r + 1]; ++e) parity ^= x_hat[code.jc[e]];
    if (parity != 0) return false;
  }
  return true;
}

BlockOutcome decode_given(const SweepCode& code, DecoderKind decoder,
                          const minsum::MinsumParams& params, BlockWorkspace& ws, double p) {
  const int n = code.n, m = code.m;
  compute_syndrome(code.ir.data(), code.jc.data(), m, ws.x.data(), ws.s.data());
  for (int j = 0; j < n; ++j) ws.x_hat[j] = static_cast<std::int8_t>(1 - ws.y[j]);
  int iterations = 0;
  bool success = false;
  if (is_minsum(decoder)) {
    success = minsum::minsum_decode_reference(code.minsum, params, schedule_of(decoder),
                                              ws.y.data(), ws.s.data(), ws.x_hat.data(),
                                              &iterations);
  } else if (decoder == DecoderKind::adaptive) {
    decode_syndrome_adaptive_with(code.ir.data(), code.jc.data(), m, n, ws.y.data(), ws.s.data(),
                                  ws.x_hat.data(), ws.byte_scratch.data(),
                                  ws.number_scratch.data(), P_SRC, p, nullptr, nullptr,
                                  &iterations);
  } else {
    decode_syndrome(code.row_index.data(), code.col_ptr.data(), m, n, ws.y.data(), ws.s.data(),
                    ws.x_hat.data(), ws.byte_scratch.data(), ws.number_scratch.data(), P_SRC, p,
                    &iterations);
  }
  const int bit_errors = count_bit_errors(ws.x_hat.data(), ws.x.data(), n);
  const bool undetected = is_minsum(decoder) ? success && bit_errors > 0
                                             : undetected_error(code, ws.x_hat.data(),
                                                                ws.s.data(), bit_errors);
  return {bit_errors, iterations, undetected};
}

BlockOutcome decode_block(const SweepCode& code, DecoderKind decoder, BlockWorkspace& ws,
                          const PhiloxKey& key, std::uint64_t threshold, double p,
                          std::uint64_t block) {
  assert(!is_minsum(decoder));  // the min-sum decoders take whole streams (run_point)
  draw_sweep_block(key, block, threshold, ws.x.data(), ws.y.data(), code.n);
  return decode_given(code, decoder, {}, ws, p);
}

// ---- One point -------------------------------------------------------------------------------

PointResult run_point(const SweepCode& code, DecoderKind decoder, const PointTask& task,
                      const PointCounts& start, WorkerPool& pool,
                      std::vector<BlockWorkspace>& workspaces, Collective& group,
                      std::int64_t total_workers, const std::atomic<bool>* stop,
                      const ProgressFn& progress) {
  assert(static_cast<int>(workspaces.size()) >= pool.size());
  const PhiloxKey key = point_key(task.seed, task.p);
  const std::uint64_t threshold = noise_threshold(task.p);
  PointResult result;
  result.counts = start;
  std::vector<std::int64_t> buffer;
  const bool batch = is_minsum(decoder);
  const minsum::MinsumParams params = point_params(task.minsum, task.p);
  const std::int64_t round_workers = batch ? total_workers * MINSUM_ROUND_FACTOR : total_workers;
  for (int round = 0; !point_finished(result.counts, task.blocks, task.max_frame_errors); ++round) {
    const std::int64_t length = next_round_length(
        result.counts, task.blocks, task.max_frame_errors, round_workers, round, group.size());
    const std::int64_t round_begin = result.counts.blocks;
    const auto [first, last] = rank_share(round_begin, length, group.rank(), group.size());
    buffer.assign(static_cast<std::size_t>(length * OUTCOME_SLOTS + 1), 0);

    std::atomic<std::int64_t> next{first};
    std::atomic<std::int64_t> finished{0};
    std::atomic<bool> stopped{false};
    const PointCounts settled = result.counts;
    // One block's outcome into the round buffer.
    auto record = [&](int worker, std::int64_t b, const BlockOutcome& outcome) {
      std::int64_t* o = &buffer[static_cast<std::size_t>((b - round_begin) * OUTCOME_SLOTS)];
      o[0] = 1;
      o[1] = outcome.bit_errors;
      o[2] = outcome.iterations;
      o[3] = outcome.undetected ? 1 : 0;
      const std::int64_t done = finished.fetch_add(1, std::memory_order_relaxed) + 1;
      if (worker == 0 && progress) progress(settled, done);
    };
    // The fixed-point decoders: each worker takes MINSUM_CHUNK consecutive blocks at a time and
    // names them to its decoder, which draws them a vector of lanes at a time, forms their
    // syndromes and counts their bit errors in the lanes.
    auto run_batch = [&](int worker) {
      std::int64_t chunk_next = 0, chunk_end = 0;
      const auto source = [&](std::uint64_t& block) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
          stopped.store(true, std::memory_order_relaxed);
          return false;
        }
        if (chunk_next >= chunk_end) {
          chunk_next = next.fetch_add(MINSUM_CHUNK, std::memory_order_relaxed);
          chunk_end = std::min(chunk_next + MINSUM_CHUNK, last);
          if (chunk_next >= last) return false;
        }
        block = static_cast<std::uint64_t>(chunk_next++);
        return true;
      };
      // The decoder's success flag says that the decisions satisfy the syndrome.
      const auto outcome = [&](std::uint64_t block, int bit_errors, bool success, int iterations) {
        record(worker, static_cast<std::int64_t>(block),
               BlockOutcome{bit_errors, iterations, success && bit_errors > 0});
      };
      minsum::minsum_decode_drawn(code.minsum, params, schedule_of(decoder),
                                  workspaces[worker].minsum, key, threshold, source, outcome);
    };
    // The min-sum decoders on the device: this process's share of the round in batches of
    // the device's capacity, each drawn, decoded and counted there; a stop is honoured
    // between batches. A device failure ends the sweep as an interruption would not: it is
    // reported and the point's blocks from the failed batch on stay undone.
    auto run_device = [&] {
      GpuMinsum& gpu = *task.device;
      std::vector<GpuBlockOutcome> outcomes(static_cast<std::size_t>(gpu.capacity()));
      const auto schedule = schedule_of(decoder);
      for (std::int64_t b = first; b < last;) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
          stopped.store(true, std::memory_order_relaxed);
          return;
        }
        const int count = static_cast<int>(std::min<std::int64_t>(gpu.capacity(), last - b));
        std::string error;
        if (!gpu.decode(params, schedule, key[0], key[1], threshold,
                        static_cast<std::uint64_t>(b), count, outcomes.data(), nullptr, nullptr,
                        error)) {
          result.device_error = error;
          stopped.store(true, std::memory_order_relaxed);
          return;
        }
        for (int i = 0; i < count; ++i) {
          std::int64_t* o = &buffer[static_cast<std::size_t>((b + i - round_begin) * OUTCOME_SLOTS)];
          o[0] = 1;
          o[1] = outcomes[i].bit_errors;
          o[2] = outcomes[i].iterations;
          o[3] = outcomes[i].success && outcomes[i].bit_errors > 0 ? 1 : 0;
        }
        b += count;
        if (progress) progress(settled, b - first);
      }
    };
    if (batch && task.device != nullptr) run_device();
    else pool.run([&](int worker) {
      if (batch) {
        run_batch(worker);
        return;
      }
      for (;;) {
        if (stop != nullptr && stop->load(std::memory_order_relaxed)) {
          stopped.store(true, std::memory_order_relaxed);
          return;
        }
        const std::int64_t b = next.fetch_add(1, std::memory_order_relaxed);
        if (b >= last) return;
        record(worker, b,
               decode_block(code, decoder, workspaces[worker], key, threshold, task.p,
                            static_cast<std::uint64_t>(b)));
      }
    });
    buffer.back() = stopped.load() ? 1 : 0;
    group.sum(buffer.data(), static_cast<std::int64_t>(buffer.size()));
    const std::int64_t taken =
        absorb_round(result.counts, buffer.data(), length, task.max_frame_errors);
    if (buffer.back() > 0) {
      result.interrupted = true;
      break;
    }
    // Without an interruption every block of the round is decoded, so only the frame-error
    // limit can end the fold early.
    assert(taken == length || point_finished(result.counts, task.blocks, task.max_frame_errors));
    (void)taken;
  }
  result.finished = point_finished(result.counts, task.blocks, task.max_frame_errors);
  return result;
}

}  // namespace ldpcsw::sweep
