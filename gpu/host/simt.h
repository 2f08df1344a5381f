// SIMT emulation: runs the project's CUDA kernels on the CPU, from the very same source text.
//
// What a kernel sees:
//   - __global__, __device__, __host__ and __forceinline__ mean nothing special on the host;
//   - __shared__ is static thread_local storage: a host thread runs one block at a time, so
//     its instance of each __shared__ variable is the shared memory of the block it runs (it
//     keeps the previous block's contents, which a correct kernel never reads before writing);
//   - threadIdx reads the index of the thread that runs now, through one pointer that the
//     scheduler sets on every switch (current_index); blockIdx, blockDim and gridDim are set when a block
//     starts (they do not change within a block);
//   - __syncthreads() is a barrier: no thread of the block goes past it before every thread
//     of the block that has not yet finished has reached it;
//   - atomicAdd is a sequentially consistent read-modify-write returning the old value;
//     __threadfence is a sequentially consistent fence.
//
// How a launch runs: the blocks are shared out among a few host threads (LDPCSW_SIMT_THREADS,
// default one per processor, 1 to 4), each taking the next block not yet taken, as a GPU
// runs blocks side by side; the launch returns when every block has ended. So blocks of one
// launch may run at the same time, and kernels that pass data between blocks must use
// atomicAdd and __threadfence as on the device. Within a host thread, thread 0 of a block
// starts on a fiber. If it finishes without reaching a barrier, the kernel needs
// no scheduling and the other threads of the block run as plain function calls, one after
// another. If it stops at a barrier, every other thread of the block runs on a fiber too,
// round-robin: a thread that reaches a barrier (or ends) switches straight to the next
// unfinished thread in index order, so a barrier is passed only when the last thread of the
// round has reached it. A thread that reaches a barrier while running as a plain call belongs
// to a kernel whose barriers are not reached by all threads: the emulation stops the process
// with a message.
//
// Fibers are Boost.Context fibers on 64 KiB stacks with a PROT_NONE guard page below each.
// They are made once and kept for later launches (one per thread index ever needed), since
// making 512 fibers would cost more than an arg-min launch itself.
//
// Fiber switches are announced to AddressSanitizer when the build uses it.
#pragma once

#include <cstddef>
#include <cstring>
#include <tuple>
#include <utility>

#define __global__
#define __device__
#define __host__
#define __forceinline__ inline
#define __shared__ static thread_local

struct uint3 {
  unsigned int x, y, z;
};

struct dim3 {
  unsigned int x, y, z;
  constexpr dim3(unsigned int vx = 1, unsigned int vy = 1, unsigned int vz = 1) : x(vx), y(vy), z(vz) {}
};

namespace ldpcsw::simt {

// The index of the emulated thread that runs now: the scheduler points it at the thread's
// own record on every switch (and at nothing outside a kernel).
extern thread_local const uint3* current_index;
extern thread_local uint3 current_block_index;
extern thread_local dim3 current_block_dim;
extern thread_local dim3 current_grid_dim;

void barrier();

using ThreadBody = void (*)(void* closure);

// Runs body(closure) once per thread of the grid, as described at the top of this file.
void run_grid(dim3 grid, dim3 block, ThreadBody body, void* closure);

// Launches `kernel` with the arguments converted to its parameter types, as a real launch
// does; every thread receives its own copy of the parameters.
template <class... P, class... A>
void launch(dim3 grid, dim3 block, void (*kernel)(P...), A&&... args) {
  const std::tuple<P...> params(std::forward<A>(args)...);
  auto call = [&] {
    std::tuple<P...> own = params;
    std::apply(kernel, std::move(own));
  };
  run_grid(grid, block, [](void* c) { (*static_cast<decltype(call)*>(c))(); }, &call);
}

// Statistics of the emulation, for tests: thread runs that took place on a fiber since the
// process began (the others were plain calls).
long fiber_runs();

}  // namespace ldpcsw::simt

#define threadIdx (static_cast<const uint3&>(*::ldpcsw::simt::current_index))
#define blockIdx (static_cast<const uint3&>(::ldpcsw::simt::current_block_index))
#define blockDim (static_cast<const dim3&>(::ldpcsw::simt::current_block_dim))
#define gridDim (static_cast<const dim3&>(::ldpcsw::simt::current_grid_dim))

inline void __syncthreads() { ::ldpcsw::simt::barrier(); }
inline void __threadfence() { __atomic_thread_fence(__ATOMIC_SEQ_CST); }
inline int atomicAdd(int* address, int value) {
  return __atomic_fetch_add(address, value, __ATOMIC_SEQ_CST);
}
inline unsigned int atomicAdd(unsigned int* address, unsigned int value) {
  return __atomic_fetch_add(address, value, __ATOMIC_SEQ_CST);
}
inline unsigned long long atomicAdd(unsigned long long* address, unsigned long long value) {
  return __atomic_fetch_add(address, value, __ATOMIC_SEQ_CST);
}
inline float __int_as_float(int bits) {
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}
inline int __float_as_int(float f) {
  int bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}
