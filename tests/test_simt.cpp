// The SIMT emulation that runs the kernels on the CPU: barriers, per-block shared memory,
// the index variables across switches, atomics, the lazy switch to fibers, stack guards.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "gpu/host/simt.h"

using ldpcsw::simt::launch;

// Blocks of a launch run on three host threads here (unless the environment says otherwise),
// so that blocks running side by side are tested on every machine; the emulation reads this
// once, before the first launch.
const int host_threads_for_tests = setenv("LDPCSW_SIMT_THREADS", "3", 0);

namespace {

// Each thread marks its arrival, waits at a barrier, then counts the marks of its block:
// every thread must see all of them. Three rounds reuse the same shared array.
__global__ void barrier_kernel(int* missing, int rounds) {
  __shared__ int arrived[64];
  for (int r = 1; r <= rounds; ++r) {
    arrived[threadIdx.x] = r;
    __syncthreads();
    int seen = 0;
    for (unsigned int t = 0; t < blockDim.x; ++t) seen += arrived[t] == r;
    missing[blockIdx.x * blockDim.x + threadIdx.x] += static_cast<int>(blockDim.x) - seen;
    __syncthreads();
  }
}

// Records every index variable before and after each of several barriers.
__global__ void index_kernel(unsigned int* out, int barriers) {
  const unsigned int g = threadIdx.x + blockDim.x * (threadIdx.y + blockDim.y * (threadIdx.z +
                          blockDim.z * (blockIdx.x + gridDim.x * blockIdx.y)));
  unsigned int bad = 0;
  const uint3 t0 = threadIdx;
  const uint3 b0 = blockIdx;
  for (int k = 0; k < barriers; ++k) {
    __syncthreads();
    bad += threadIdx.x != t0.x || threadIdx.y != t0.y || threadIdx.z != t0.z;
    bad += blockIdx.x != b0.x || blockIdx.y != b0.y;
  }
  out[2 * g] = bad;
  out[2 * g + 1] = (t0.x << 24) | (t0.y << 16) | (t0.z << 8) | (b0.x << 4) | b0.y;
}

// Thread 0 stores its block index in shared memory; after the barrier every thread reads it.
__global__ void shared_kernel(int* wrong) {
  __shared__ int owner;
  if (threadIdx.x == 0) owner = static_cast<int>(blockIdx.x);
  __syncthreads();
  if (owner != static_cast<int>(blockIdx.x)) atomicAdd(wrong, 1);
}

// Block-wide tree sum in shared memory over 256 threads.
__global__ void tree_sum_kernel(const int* in, int* out) {
  __shared__ int part[256];
  part[threadIdx.x] = in[blockIdx.x * 256 + threadIdx.x];
  __syncthreads();
  for (unsigned int s = 128; s > 0; s >>= 1) {
    if (threadIdx.x < s) part[threadIdx.x] += part[threadIdx.x + s];
    __syncthreads();
  }
  if (threadIdx.x == 0) out[blockIdx.x] = part[0];
}

__global__ void ticket_kernel(int* counter, int* tickets) {
  tickets[threadIdx.x + blockIdx.x * blockDim.x] = atomicAdd(counter, 1);
}

// Changes its by-value parameter: other threads must still get the launch's value.
__global__ void param_kernel(int value, int* out) {
  out[threadIdx.x] = value;
  value += 1000;
  (void)value;
}

__global__ void uneven_barrier_kernel() {
  if (threadIdx.x == 1) __syncthreads();
}

int deep(int depth) {
  volatile char pad[4096];
  pad[0] = static_cast<char>(depth);
  return depth == 0 ? pad[0] : deep(depth - 1) + pad[0];
}

__global__ void deep_kernel(int* out) { out[threadIdx.x] = deep(64); }  // ~256 KiB of stack

}  // namespace

TEST(SimtBarrier, EveryThreadOfTheBlockArrivesBeforeAnyGoesOn) {
  for (unsigned int threads : {1u, 2u, 37u, 64u}) {
    std::vector<int> missing(3 * threads, 0);
    launch(dim3(3), dim3(threads), barrier_kernel, missing.data(), 3);
    for (int m : missing) ASSERT_EQ(m, 0) << threads << " threads";
  }
}

TEST(SimtBarrier, TreeReductionOverFullBlocks) {
  std::vector<int> in(512);
  for (int i = 0; i < 512; ++i) in[i] = i * 7 - 100;
  std::vector<int> out(2, -1);
  launch(dim3(2), dim3(256), tree_sum_kernel, in.data(), out.data());
  int s0 = 0, s1 = 0;
  for (int i = 0; i < 256; ++i) s0 += in[i], s1 += in[256 + i];
  EXPECT_EQ(out[0], s0);
  EXPECT_EQ(out[1], s1);
}

TEST(SimtIndices, StayRightAcrossSwitchesInThreeDimensions) {
  const dim3 grid(3, 2), block(4, 3, 2);
  const unsigned int total = 3 * 2 * 4 * 3 * 2;
  for (int barriers : {0, 1, 5}) {
    std::vector<unsigned int> out(2 * total, 0xFFFFFFFFu);
    launch(grid, block, index_kernel, out.data(), barriers);
    unsigned int g = 0;
    for (unsigned int by = 0; by < 2; ++by)
      for (unsigned int bx = 0; bx < 3; ++bx)
        for (unsigned int z = 0; z < 2; ++z)
          for (unsigned int y = 0; y < 3; ++y)
            for (unsigned int x = 0; x < 4; ++x, ++g) {
              ASSERT_EQ(out[2 * g], 0u) << "index changed across a barrier, thread " << g;
              ASSERT_EQ(out[2 * g + 1], (x << 24) | (y << 16) | (z << 8) | (bx << 4) | by) << g;
            }
  }
}

TEST(SimtShared, EachBlockSeesItsOwnValue) {
  int wrong = 0;
  launch(dim3(5), dim3(33), shared_kernel, &wrong);
  EXPECT_EQ(wrong, 0);
}

TEST(SimtAtomics, EveryThreadDrawsADistinctTicket) {
  int counter = 0;
  std::vector<int> tickets(3 * 25, -1);
  launch(dim3(3), dim3(25), ticket_kernel, &counter, tickets.data());
  EXPECT_EQ(counter, 75);
  std::vector<int> seen(75, 0);
  for (int t : tickets) {
    ASSERT_GE(t, 0);
    ASSERT_LT(t, 75);
    ++seen[t];
  }
  for (int s : seen) EXPECT_EQ(s, 1);
}

TEST(SimtLaunch, KernelWithoutBarriersRunsAsPlainCalls) {
  int counter = 0;
  std::vector<int> tickets(4 * 64);
  const long before = ldpcsw::simt::fiber_runs();
  launch(dim3(4), dim3(64), ticket_kernel, &counter, tickets.data());
  EXPECT_EQ(ldpcsw::simt::fiber_runs() - before, 4);  // thread 0 of each block only
  const long before_barrier = ldpcsw::simt::fiber_runs();
  std::vector<int> missing(2 * 64, 0);
  launch(dim3(2), dim3(64), barrier_kernel, missing.data(), 1);
  EXPECT_EQ(ldpcsw::simt::fiber_runs() - before_barrier, 2 * 64);
}

TEST(SimtLaunch, EachThreadGetsItsOwnCopyOfTheParameters) {
  std::vector<int> out(16, 0);
  launch(dim3(1), dim3(16), param_kernel, 7, out.data());
  for (int v : out) EXPECT_EQ(v, 7);
}

TEST(SimtLaunchDeathTest, BarrierReachedByOnlySomeThreadsStopsTheProcess) {
  EXPECT_DEATH(launch(dim3(1), dim3(4), uneven_barrier_kernel), "thread 0 ended without a barrier");
}

TEST(SimtLaunchDeathTest, StackOverflowHitsTheGuardPage) {
  std::vector<int> out(2);
  EXPECT_DEATH(launch(dim3(1), dim3(2), deep_kernel, out.data()), "");
}
