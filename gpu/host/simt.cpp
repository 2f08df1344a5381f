// The SIMT emulation's scheduler (see simt.h): the blocks of a launch shared out among the
// launching thread and a few helper threads; within a block, thread 0 on a fiber, the other
// threads as plain calls or, once a barrier is seen, on fibers passing control round the
// block from one thread to the next.
#include "gpu/host/simt.h"

#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <boost/context/fiber.hpp>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define LDPCSW_SIMT_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LDPCSW_SIMT_ASAN 1
#endif
#endif
#if defined(LDPCSW_SIMT_ASAN)
#include <sanitizer/common_interface_defs.h>
#endif
// Under valgrind the fiber stacks are registered as stacks, so that memcheck takes a switch
// between two of them for a switch and not for a stack growing into the other.
#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define LDPCSW_SIMT_VALGRIND 1
#endif

namespace ctx = boost::context;

namespace ldpcsw::simt {

// One emulated thread's context. The workers (one per thread index) keep their fibers for
// the life of the process; `host` stands for the code that called run_grid.
struct ThreadState {
  uint3 index{0, 0, 0};
  unsigned int linear = 0;
  bool finished = true;
  bool fiber_less = false;  // runs as a plain call: may not reach a barrier
  ctx::fiber fiber;  // the suspended context, while this thread is not running
  // Stack bounds and fake stack, for AddressSanitizer.
  const void* stack_bottom = nullptr;
  std::size_t stack_size = 0;
  void* fake_stack = nullptr;
};

thread_local const uint3* current_index = nullptr;
thread_local uint3 current_block_index{0, 0, 0};
thread_local dim3 current_block_dim;
thread_local dim3 current_grid_dim;

namespace {

constexpr std::size_t STACK_SIZE = 64 * 1024;

// Everything the scheduler keeps per host thread.
struct Scheduler {
  ThreadState* current = nullptr;       // the emulated thread running now
  ThreadState* switched_from = nullptr;  // who made the last switch
  ThreadState host;
  std::vector<std::unique_ptr<ThreadState>> workers;
  unsigned int threads = 0;  // of the running block
  bool barrier_seen = false;  // in the running block
  ThreadBody body = nullptr;
  void* closure = nullptr;
};

std::atomic<long> fiber_run_count{0};

// Never destroyed: suspended worker fibers must not be unwound at exit. (A pointer with a
// constant initialiser: reading it needs no guard on every switch.)
thread_local Scheduler* scheduler = nullptr;

// Every scheduler ever made, so that those of host threads that have ended (a launch may come
// from any thread, a short-lived one included) stay reachable: they are kept on purpose, not
// lost, and a leak checker must not report them.
std::mutex scheduler_registry_mutex;
std::vector<Scheduler*>* scheduler_registry = nullptr;

inline Scheduler& sched() {
  if (scheduler == nullptr) {
    scheduler = new Scheduler;
    std::lock_guard<std::mutex> lock(scheduler_registry_mutex);
    if (scheduler_registry == nullptr) scheduler_registry = new std::vector<Scheduler*>;
    scheduler_registry->push_back(scheduler);
  }
  return *scheduler;
}

// Makes t the running thread: the scheduler's record and the index threadIdx reads.
inline void set_current(Scheduler& s, ThreadState* t) {
  s.current = t;
  current_index = t != nullptr ? &t->index : nullptr;
}

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "SIMT emulation: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

std::size_t page_size() {
  static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
  return page;
}

// A 64 KiB stack with a guard page below it; its bounds are noted for AddressSanitizer and
// told to valgrind.
struct GuardedStack {
  ThreadState* owner;
  unsigned valgrind_id = 0;
  ctx::stack_context allocate() {
    const std::size_t total = STACK_SIZE + page_size();
    void* base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) fatal("cannot map a fiber stack");
    if (mprotect(base, page_size(), PROT_NONE) != 0) fatal("cannot protect a fiber stack's guard page");
    ctx::stack_context s;
    s.size = STACK_SIZE;
    s.sp = static_cast<char*>(base) + total;  // stacks grow down from here
    owner->stack_bottom = static_cast<char*>(base) + page_size();
    owner->stack_size = STACK_SIZE;
#if defined(LDPCSW_SIMT_VALGRIND)
    valgrind_id = VALGRIND_STACK_REGISTER(owner->stack_bottom, s.sp);
#endif
    return s;
  }
  void deallocate(ctx::stack_context& s) noexcept {
#if defined(LDPCSW_SIMT_VALGRIND)
    VALGRIND_STACK_DEREGISTER(valgrind_id);
#endif
    munmap(static_cast<char*>(s.sp) - s.size - page_size(), s.size + page_size());
  }
};

// Called on arrival in a context: the context we came from is now suspended in `from`.
void arrived(ctx::fiber&& from) {
  Scheduler& s = sched();
#if defined(LDPCSW_SIMT_ASAN)
  const void* bottom = nullptr;
  std::size_t size = 0;
  __sanitizer_finish_switch_fiber(s.current->fake_stack, &bottom, &size);
  s.switched_from->stack_bottom = bottom;
  s.switched_from->stack_size = size;
#endif
  s.switched_from->fiber = std::move(from);
}

// Suspends `from` (the running context) and runs `to`.
void transfer(ThreadState& from, ThreadState& to) {
  Scheduler& s = sched();
  s.switched_from = &from;
  set_current(s, &to);
#if defined(LDPCSW_SIMT_ASAN)
  __sanitizer_start_switch_fiber(&from.fake_stack, to.stack_bottom, to.stack_size);
#endif
  ctx::fiber back = std::move(to.fiber).resume();
  // Resumed: s.current is `from` again, set by whoever switched here.
  arrived(std::move(back));
}

// The next unfinished thread of the block after t in index order, or the host when every
// thread has finished.
ThreadState& next_after(const ThreadState& t) {
  Scheduler& s = sched();
  unsigned int k = t.linear;
  for (unsigned int step = 0; step < s.threads; ++step) {
    if (++k == s.threads) k = 0;
    ThreadState& c = *s.workers[k];
    if (!c.finished) return c;
  }
  return s.host;
}

void worker_loop(ThreadState* self) {
  Scheduler& s = sched();
  for (;;) {
    fiber_run_count.fetch_add(1, std::memory_order_relaxed);
    s.body(s.closure);
    self->finished = true;
    // Thread 0 ending before any barrier: the rest of the block runs as plain calls.
    ThreadState& next = s.barrier_seen ? next_after(*self) : s.host;
    transfer(*self, next);  // back here when a later block reuses this thread
  }
}

ThreadState& worker(unsigned int linear) {
  Scheduler& s = sched();
  while (s.workers.size() <= linear) {
    auto w = std::make_unique<ThreadState>();
    ThreadState* self = w.get();
    self->linear = static_cast<unsigned int>(s.workers.size());
    self->fiber = ctx::fiber(std::allocator_arg, GuardedStack{self}, [self](ctx::fiber&& from) {
      arrived(std::move(from));
      worker_loop(self);
      return ctx::fiber{};  // never reached: workers live as long as the process
    });
    s.workers.push_back(std::move(w));
  }
  return *s.workers[linear];
}

uint3 linear_to_index(unsigned int linear, const dim3& d) {
  return uint3{linear % d.x, (linear / d.x) % d.y, linear / (d.x * d.y)};
}

}  // namespace

long fiber_runs() { return fiber_run_count.load(); }

void barrier() {
  Scheduler& s = sched();
  ThreadState* t = s.current;
  if (t == nullptr || t == &s.host) fatal("__syncthreads called outside a kernel");
  if (t->fiber_less)
    fatal("__syncthreads reached by a thread of a block whose thread 0 ended without a barrier");
  if (!s.barrier_seen) {
    // First barrier of the block, reached by thread 0: every other thread joins on a fiber.
    s.barrier_seen = true;
    for (unsigned int k = 1; k < s.threads; ++k) worker(k).finished = false;
  }
  ThreadState& next = next_after(*t);
  if (&next != t) transfer(*t, next);  // a block of one thread passes at once
}

namespace {

// One launch, shared by the host threads that run its blocks.
struct Grid {
  dim3 grid, block;
  unsigned int threads = 0, blocks = 0;
  ThreadBody body = nullptr;
  void* closure = nullptr;
  std::atomic<unsigned int> next_block{0};
};

// Runs block after block of the grid, taking each from the shared counter, on this host
// thread with its own fibers.
void run_blocks(Grid& g) {
  Scheduler& s = sched();
  if (s.current != nullptr) fatal("kernel launched from inside a kernel");
  for (unsigned int k = 0; k < g.threads; ++k) worker(k).index = linear_to_index(k, g.block);
  ThreadState plain;  // the context of threads run as plain calls
  plain.fiber_less = true;
  s.threads = g.threads;
  s.body = g.body;
  s.closure = g.closure;
  current_block_dim = g.block;
  current_grid_dim = g.grid;
  for (unsigned int b; (b = g.next_block.fetch_add(1)) < g.blocks;) {
    current_block_index = linear_to_index(b, g.grid);
    s.barrier_seen = false;
    ThreadState& first = worker(0);
    first.finished = false;
    transfer(s.host, first);
    if (!s.barrier_seen) {
      for (unsigned int k = 1; k < g.threads; ++k) {
        plain.index = s.workers[k]->index;
        set_current(s, &plain);
        g.body(g.closure);
      }
    }
    set_current(s, nullptr);
  }
  s.body = nullptr;
  s.closure = nullptr;
  current_block_index = uint3{0, 0, 0};
}

// Host threads that run blocks beside the launching thread, as a GPU runs blocks side by
// side. LDPCSW_SIMT_THREADS sets how many host threads a launch uses in all; by default one
// per processor, from 1 to 4. After a launch a helper stays awake for a few milliseconds,
// yielding the processor to anything else that wants it: the decoder launches again about a
// millisecond later (ten iterations), and a helper that had gone to sleep would wake too
// late to share the next launch (measured: with sleeping helpers the stage was slower than
// with none, with waiting ones it takes about 0.37 ms against 0.59 ms at n = 504).
class HelperPool {
 public:
  HelperPool() {
    unsigned int total = std::thread::hardware_concurrency();
    if (total == 0) total = 1;
    if (total > 4) total = 4;
    if (const char* env = std::getenv("LDPCSW_SIMT_THREADS")) {
      const long v = std::strtol(env, nullptr, 10);
      if (v >= 1 && v <= 64) total = static_cast<unsigned int>(v);
    }
    for (unsigned int k = 1; k < total; ++k) helpers_.emplace_back([this] { serve(); });
  }
  std::size_t helpers() const { return helpers_.size(); }

  // Runs the grid on this thread and on every helper that wakes in time. Helpers that wake
  // after this thread has taken the last block stay out, so a slow wake-up never delays the
  // launch; the launch ends when every block taken has ended.
  void run(Grid& g) {
    std::lock_guard<std::mutex> one_launch_at_a_time(launch_);
    {
      std::lock_guard<std::mutex> lock(m_);
      job_ = &g;
      open_ = true;
      generation_.fetch_add(1, std::memory_order_release);
    }
    work_.notify_all();
    run_blocks(g);
    {
      std::lock_guard<std::mutex> lock(m_);
      open_ = false;
    }
    // Blocks still running on helpers end soon: wait awake for a moment before sleeping.
    stay_awake_while([this] { return active_.load(std::memory_order_acquire) != 0; },
                     LAUNCH_END_WAIT);
    std::unique_lock<std::mutex> lock(m_);
    done_.wait(lock, [this] { return active_.load() == 0; });
    job_ = nullptr;
  }

 private:
  // How long a thread stays awake for the end of the helpers' blocks, and how long a helper
  // stays awake for the next launch.
  static constexpr std::chrono::microseconds LAUNCH_END_WAIT{50};
  static constexpr std::chrono::microseconds NEXT_LAUNCH_WAIT{3000};

  // Waits awake while busy() holds, for at most `limit`, yielding the processor on every
  // turn so that a waiting thread never holds back one with work to do.
  template <class Busy>
  static void stay_awake_while(Busy busy, std::chrono::microseconds limit) {
    const auto until = std::chrono::steady_clock::now() + limit;
    while (busy() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  }

  void serve() {
    unsigned long seen = 0;
    for (;;) {
      stay_awake_while([&] { return generation_.load(std::memory_order_acquire) == seen; },
                       NEXT_LAUNCH_WAIT);
      std::unique_lock<std::mutex> lock(m_);
      work_.wait(lock, [&] { return generation_.load() != seen; });
      seen = generation_.load();
      if (!open_) continue;  // the launching thread has already taken every block
      Grid* g = job_;
      active_.fetch_add(1);
      lock.unlock();
      run_blocks(*g);
      lock.lock();
      if (active_.fetch_sub(1) == 1) done_.notify_one();
    }
  }

  std::mutex launch_, m_;
  std::condition_variable work_, done_;
  Grid* job_ = nullptr;
  bool open_ = false;                   // the launching thread is still taking blocks
  std::atomic<std::size_t> active_{0};  // helpers running blocks of job_
  std::atomic<unsigned long> generation_{0};
  std::vector<std::thread> helpers_;
};

// Never destroyed: its threads wait for work until the process ends.
HelperPool& helper_pool() {
  static HelperPool* pool = new HelperPool;
  return *pool;
}

}  // namespace

void run_grid(dim3 grid, dim3 block, ThreadBody body, void* closure) {
  Grid g;
  g.grid = grid;
  g.block = block;
  g.threads = block.x * block.y * block.z;
  g.blocks = grid.x * grid.y * grid.z;
  g.body = body;
  g.closure = closure;
  if (g.threads == 0 || g.blocks == 0) return;
  if (g.blocks == 1 || helper_pool().helpers() == 0)
    run_blocks(g);
  else
    helper_pool().run(g);
}

}  // namespace ldpcsw::simt
