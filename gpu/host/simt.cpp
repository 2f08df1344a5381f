// The SIMT emulation's scheduler (see simt.h): blocks in order, thread 0 on a fiber, the
// other threads as plain calls or, once a barrier is seen, on fibers passing control round
// the block from one thread to the next.
#include "gpu/host/simt.h"

#include <sys/mman.h>
#include <unistd.h>

#include <boost/context/fiber.hpp>
#include <cstdio>
#include <cstdlib>
#include <memory>
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
  long fiber_runs = 0;
};

// Never destroyed: suspended worker fibers must not be unwound at exit.
Scheduler& sched() {
  thread_local Scheduler* s = new Scheduler;
  return *s;
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

// A 64 KiB stack with a guard page below it; its bounds are noted for AddressSanitizer.
struct GuardedStack {
  ThreadState* owner;
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
    return s;
  }
  void deallocate(ctx::stack_context& s) noexcept {
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
  s.current = &to;
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
  for (unsigned int k = 1; k <= s.threads; ++k) {
    ThreadState& c = *s.workers[(t.linear + k) % s.threads];
    if (!c.finished) return c;
  }
  return s.host;
}

void worker_loop(ThreadState* self) {
  Scheduler& s = sched();
  for (;;) {
    ++s.fiber_runs;
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

const uint3& current_thread_index() { return sched().current->index; }

long fiber_runs() { return sched().fiber_runs; }

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

void run_grid(dim3 grid, dim3 block, ThreadBody body, void* closure) {
  Scheduler& s = sched();
  const unsigned int threads = block.x * block.y * block.z;
  const unsigned int blocks = grid.x * grid.y * grid.z;
  if (threads == 0 || blocks == 0) return;
  if (s.current != nullptr) fatal("kernel launched from inside a kernel");

  for (unsigned int k = 0; k < threads; ++k) worker(k).index = linear_to_index(k, block);
  ThreadState plain;  // the context of threads run as plain calls
  plain.fiber_less = true;

  s.threads = threads;
  s.body = body;
  s.closure = closure;
  current_block_dim = block;
  current_grid_dim = grid;
  for (unsigned int b = 0; b < blocks; ++b) {
    current_block_index = linear_to_index(b, grid);
    s.barrier_seen = false;
    ThreadState& first = worker(0);
    first.finished = false;
    transfer(s.host, first);
    if (!s.barrier_seen) {
      for (unsigned int k = 1; k < threads; ++k) {
        plain.index = s.workers[k]->index;
        s.current = &plain;
        body(closure);
      }
    }
    s.current = nullptr;
  }
  s.current = nullptr;
  s.body = nullptr;
  s.closure = nullptr;
  current_block_index = uint3{0, 0, 0};
}

}  // namespace ldpcsw::simt
