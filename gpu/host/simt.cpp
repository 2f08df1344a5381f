// The SIMT emulation's scheduler: blocks in order, thread 0 on a fiber, the rest as plain
// calls or, once a barrier is seen, as fibers run round-robin (see simt.h).
#include "gpu/host/simt.h"

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/fiber.hpp>
#include <cstdio>
#include <cstdlib>
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

namespace ctx = boost::context;

namespace ldpcsw::simt {

struct ThreadState {
  uint3 index{0, 0, 0};
  bool on_fiber = false;
  bool finished = false;
  ctx::fiber fiber;  // the thread's own fiber, resumed by the scheduler
  ctx::fiber sink;   // inside the fiber: the scheduler to return to
  // AddressSanitizer bookkeeping: the thread's stack, its fake stack, the scheduler's stack.
  const void* stack_bottom = nullptr;
  std::size_t stack_size = 0;
  void* fake_stack = nullptr;
  const void* caller_bottom = nullptr;
  std::size_t caller_size = 0;
};

thread_local uint3 current_block_index{0, 0, 0};
thread_local dim3 current_block_dim;
thread_local dim3 current_grid_dim;

namespace {

thread_local ThreadState* current = nullptr;
thread_local long fiber_count = 0;

[[noreturn]] void fatal(const char* what) {
  std::fprintf(stderr, "SIMT emulation: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

// Stacks of 64 KiB with a PROT_NONE guard page below each, kept for reuse: a launch of 256
// threads with barriers needs 256 stacks, and mapping them anew for every launch would cost
// more than the kernel.
constexpr std::size_t STACK_SIZE = 64 * 1024;

class StackPool {
 public:
  ~StackPool() {
    for (auto& s : free_) munmap(static_cast<char*>(s.sp) - s.size - guard(), s.size + guard());
  }
  ctx::stack_context take() {
    if (!free_.empty()) {
      ctx::stack_context s = free_.back();
      free_.pop_back();
      return s;
    }
    const std::size_t total = STACK_SIZE + guard();
    void* base = mmap(nullptr, total, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (base == MAP_FAILED) fatal("cannot map a fiber stack");
    if (mprotect(base, guard(), PROT_NONE) != 0) fatal("cannot protect a fiber stack's guard page");
    ctx::stack_context s;
    s.size = STACK_SIZE;
    s.sp = static_cast<char*>(base) + total;  // stacks grow down from here
    return s;
  }
  void give(ctx::stack_context s) { free_.push_back(s); }

 private:
  static std::size_t guard() {
    static const std::size_t page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    return page;
  }
  std::vector<ctx::stack_context> free_;
};

StackPool& stack_pool() {
  thread_local StackPool pool;
  return pool;
}

// AddressSanitizer must hear of every switch between stacks, or it reports false errors
// (and misses real ones) on the fibers' stacks.
inline void asan_enter_fiber(ThreadState& t) {
#if defined(LDPCSW_SIMT_ASAN)
  __sanitizer_start_switch_fiber(&t.fake_stack, t.stack_bottom, t.stack_size);
#else
  (void)t;
#endif
}
inline void asan_back_in_scheduler(ThreadState& t) {
#if defined(LDPCSW_SIMT_ASAN)
  __sanitizer_finish_switch_fiber(t.fake_stack, nullptr, nullptr);
#else
  (void)t;
#endif
}
inline void asan_arrived_on_fiber(ThreadState& t, void* fake) {
#if defined(LDPCSW_SIMT_ASAN)
  __sanitizer_finish_switch_fiber(fake, &t.caller_bottom, &t.caller_size);
#else
  (void)t;
  (void)fake;
#endif
}
inline void asan_leave_fiber(ThreadState& t, bool for_good) {
#if defined(LDPCSW_SIMT_ASAN)
  __sanitizer_start_switch_fiber(for_good ? nullptr : &t.fake_stack, t.caller_bottom, t.caller_size);
#else
  (void)t;
  (void)for_good;
#endif
}

void start_fiber(ThreadState& t, ThreadBody body, void* closure) {
  // Takes a stack from the pool and notes its bounds for AddressSanitizer.
  struct RecordingStack {
    ThreadState* t;
    ctx::stack_context allocate() {
      ctx::stack_context s = stack_pool().take();
      t->stack_bottom = static_cast<char*>(s.sp) - s.size;
      t->stack_size = s.size;
      return s;
    }
    void deallocate(ctx::stack_context& s) noexcept { stack_pool().give(s); }
  };
  ThreadState* self = &t;
  t.on_fiber = true;
  t.finished = false;
  t.fiber = ctx::fiber(std::allocator_arg, RecordingStack{self}, [self, body, closure](ctx::fiber&& sink) {
    asan_arrived_on_fiber(*self, nullptr);
    self->sink = std::move(sink);
    body(closure);
    self->finished = true;
    asan_leave_fiber(*self, true);
    return std::move(self->sink);
  });
  ++fiber_count;
}

// Resumes thread t until it reaches a barrier or ends.
void resume(ThreadState& t) {
  current = &t;
  asan_enter_fiber(t);
  t.fiber = std::move(t.fiber).resume();
  asan_back_in_scheduler(t);
  current = nullptr;
}

uint3 linear_to_index(unsigned int linear, const dim3& d) {
  return uint3{linear % d.x, (linear / d.x) % d.y, linear / (d.x * d.y)};
}

}  // namespace

const uint3& current_thread_index() { return current->index; }

long fibers_started() { return fiber_count; }

void barrier() {
  ThreadState* t = current;
  if (t == nullptr) fatal("__syncthreads called outside a kernel");
  if (!t->on_fiber)
    fatal("__syncthreads reached by a thread of a block whose thread 0 ended without a barrier");
  asan_leave_fiber(*t, false);
  t->sink = std::move(t->sink).resume();
  asan_arrived_on_fiber(*t, t->fake_stack);
  // The scheduler has set `current` back to this thread before resuming it.
}

void run_grid(dim3 grid, dim3 block, ThreadBody body, void* closure) {
  const unsigned int threads = block.x * block.y * block.z;
  const unsigned int blocks = grid.x * grid.y * grid.z;
  if (threads == 0 || blocks == 0) return;

  ThreadState* const outer = current;  // a launch from inside a kernel is not supported
  if (outer != nullptr) fatal("kernel launched from inside a kernel");

  std::vector<ThreadState> states(threads);
  for (unsigned int t = 0; t < threads; ++t) states[t].index = linear_to_index(t, block);

  current_block_dim = block;
  current_grid_dim = grid;
  for (unsigned int b = 0; b < blocks; ++b) {
    const uint3 bi = linear_to_index(b, grid);
    current_block_index = bi;

    ThreadState& first = states[0];
    start_fiber(first, body, closure);
    resume(first);
    if (first.finished) {
      // No barrier in this block: the other threads run as plain calls.
      for (unsigned int t = 1; t < threads; ++t) {
        ThreadState& plain = states[t];
        plain.on_fiber = false;
        current = &plain;
        body(closure);
        current = nullptr;
      }
      continue;
    }

    for (unsigned int t = 1; t < threads; ++t) start_fiber(states[t], body, closure);
    // Thread 0 waits at its first barrier; bring every other thread there (or to its end),
    // then keep making passes: one pass takes every unfinished thread from one barrier to
    // the next, so the barrier is released only when all have arrived.
    unsigned int running = threads;
    bool first_pass = true;
    while (running > 0) {
      running = 0;
      for (unsigned int t = first_pass ? 1 : 0; t < threads; ++t) {
        ThreadState& s = states[t];
        if (s.finished) continue;
        resume(s);
        if (!s.finished) ++running;
      }
      if (first_pass && !first.finished) ++running;
      first_pass = false;
    }
  }
  current_block_index = uint3{0, 0, 0};
}

}  // namespace ldpcsw::simt
