// The window-search kernels and the arg-min's device variables. One source for both
// backends: nvcc compiles it for the GPU; on the host backend the host compiler compiles it
// through the SIMT emulation (gpu/host/simt.h), which the includer provides first.
//
// Every float and double operation below is rounded on its own, in the order written: the
// device build uses -fmad=false and IEEE division, the host build -ffp-contract=off, so both
// give the bits of the CPU function window_error.
#pragma once

#include "platform/fminmax.h"

namespace ldpcsw {

// The arg-min's partial results, one slot per block, and the count of blocks that have
// published theirs in the running launch. Zero when the device code is loaded; blk_num is
// returned to zero by the last block of every launch.
__device__ volatile float blk_vals[2];
__device__ volatile int blk_idxs[2];
__device__ int blk_num;

// The NaN that a candidate without a usable window receives.
__device__ __forceinline__ float candidate_nan() { return __int_as_float(0x7FFFFFFF); }

// GPU_findbest1: thread i computes the leave-one-out window error of width w + 2i over the
// n probabilities gamma, exactly as window_error does: running window sum in float, the
// unclamped mean at bit 0, the clamped mean (in double) at every later bit, the squared
// errors summed in float. Writes sigma2[i]; launch exactly as many threads as sigma2 holds.
//
// A width wider than n would read gamma beyond its end (the window set-up reads up to index
// u, the left-end updates up to 2u): such a candidate reads nothing and gets NaN, which the
// arg-min never chooses. So does a negative width.
__global__ void GPU_findbest1(float* sigma2, const float* gamma, int n, int w) {
  const int i = threadIdx.x + blockIdx.x * blockDim.x;
  const int u = (w + 2 * i) >> 1;
  if (u < 0 || 2 * u >= n) {
    sigma2[i] = candidate_nan();
    return;
  }
  float s2 = 0.0f;
  float sum = 0.0f;
  int truncw = u;
  for (int l = 1; l <= u; ++l) sum = sum + gamma[l];
  float bias = sum / static_cast<float>(truncw);  // bit 0: no clamp
  s2 = (gamma[0] - bias) * (gamma[0] - bias);
  for (int k = 1; k < n; ++k) {
    sum = (sum - gamma[k]) + gamma[k - 1];  // bit k leaves, bit k-1 enters
    if (k <= u) {                           // window still cut at the left end: grows
      sum = sum + gamma[k + u];
      truncw = truncw + 1;
    } else if (k + u < n) {  // whole window: slides
      sum = (sum - gamma[k - 1 - u]) + gamma[k + u];
    } else {  // cut at the right end: shrinks
      sum = sum - gamma[k - 1 - u];
      truncw = truncw - 1;
    }
    const float q = sum / static_cast<float>(truncw);
    bias = clamp_estimate(q);
    s2 = s2 + (gamma[k] - bias) * (gamma[k] - bias);
  }
  sigma2[i] = s2;
}

// The block-wide tree of the arg-min: strides 128 down to 1, a slot taking its partner's
// entry only when its own value is strictly greater (so equal values keep the lower slot,
// and a comparison with a NaN never moves anything); every thread of the block reaches the
// barrier after every stride.
__device__ void min_tree(volatile float* vals, volatile int* idxs, unsigned int tid) {
  for (int i = 128; i > 0; i >>= 1) {
    if (tid < static_cast<unsigned int>(i) && vals[tid] > vals[tid + i]) {
      vals[tid] = vals[tid + i];
      idxs[tid] = idxs[tid + i];
    }
    __syncthreads();
  }
}

// min_idx_kernel: writes to *result the position of the smallest of data[0 .. dsize-1]
// that is below 1e30, or -1 when there is none, in one launch of at most 2 blocks of
// exactly 256 threads.
//
// PHASE 1: each block scans its grid-stride share, reduces it in shared memory to one
// partial minimum, and thread 0 publishes the partial in blk_vals/blk_idxs[blockIdx.x].
// Thread 0 then takes a ticket from blk_num with atomicAdd; the block that draws ticket
// gridDim.x - 1 is the last to finish and alone goes on to phase 2. The __threadfence
// between publishing and taking the ticket makes the partial visible device-wide before the
// ticket is, so the last block reads every other block's partial, not a stale one.
// PHASE 2: the last block reduces the published partials the same way, writes the result
// and puts blk_num back to 0 for the next launch.
//
// Only a strictly smaller value replaces the best so far, so NaN, +inf and values not below
// 1e30 are never chosen, and among equal values the lower tree slot (and block) wins.
__global__ void min_idx_kernel(const float* data, const int dsize, int* result) {
  __shared__ volatile float vals[256];
  __shared__ volatile int idxs[256];
  __shared__ volatile int last_block;
  const unsigned int tid = threadIdx.x;

  // PHASE 1: this block's partial minimum.
  int idx = static_cast<int>(threadIdx.x + blockDim.x * blockIdx.x);
  last_block = 0;
  float my_val = 1e30f;
  int my_idx = -1;
  while (idx < dsize) {
    if (data[idx] < my_val) {
      my_val = data[idx];
      my_idx = idx;
    }
    idx += static_cast<int>(blockDim.x * gridDim.x);
  }
  vals[tid] = my_val;
  idxs[tid] = my_idx;
  __syncthreads();
  min_tree(vals, idxs, tid);
  if (tid == 0) {
    blk_vals[blockIdx.x] = vals[0];
    blk_idxs[blockIdx.x] = idxs[0];
    __threadfence();  // the partial is visible before the ticket
    const int ticket = atomicAdd(&blk_num, 1);
    if (ticket == static_cast<int>(gridDim.x) - 1) last_block = 1;
  }
  __syncthreads();
  if (!last_block) return;

  // PHASE 2: the last block reduces the partials of all blocks.
  idx = static_cast<int>(tid);
  my_val = 1e30f;
  my_idx = -1;
  while (static_cast<unsigned int>(idx) < gridDim.x) {
    if (blk_vals[idx] < my_val) {
      my_val = blk_vals[idx];
      my_idx = blk_idxs[idx];
    }
    idx += static_cast<int>(blockDim.x);
  }
  vals[tid] = my_val;
  idxs[tid] = my_idx;
  __syncthreads();
  min_tree(vals, idxs, tid);
  if (tid == 0) {
    *result = idxs[0];
    blk_num = 0;
  }
}

// GPU_findbest: the variant of GPU_findbest1 for probabilities in double that also writes
// the per-bit predictions. Each window update and each error addition is done in double
// and rounded to float; the predictions are clamped in double and stored as doubles.
// Thread i evaluates width w + 2i and writes its n predictions into its own row,
// bias[i*n .. i*n + n-1] (with one thread, bias is simply the n predictions), then reads
// each back to form the error. A candidate without a usable window (wider than n, or
// negative) gets NaN predictions and a NaN error without reading gamma.
__global__ void GPU_findbest(float* sigma2, double* bias, const double* gamma, int n, int w) {
  const int i = threadIdx.x + blockIdx.x * blockDim.x;
  double* const row = bias + static_cast<long long>(i) * n;
  const int u = (w + 2 * i) >> 1;
  if (u < 0 || 2 * u >= n) {
    for (int k = 0; k < n; ++k) row[k] = static_cast<double>(candidate_nan());
    sigma2[i] = candidate_nan();
    return;
  }
  float s2 = 0.0f;
  float sum = 0.0f;
  int truncw = u;
  for (int l = 1; l <= u; ++l) sum = static_cast<float>(static_cast<double>(sum) + gamma[l]);
  float q = sum / static_cast<float>(truncw);
  row[0] = static_cast<double>(q);  // bit 0: no clamp
  s2 = static_cast<float>((gamma[0] - row[0]) * (gamma[0] - row[0]));
  for (int k = 1; k < n; ++k) {
    sum = static_cast<float>(static_cast<double>(sum) - gamma[k]);
    sum = static_cast<float>(static_cast<double>(sum) + gamma[k - 1]);
    if (k <= u) {
      sum = static_cast<float>(static_cast<double>(sum) + gamma[k + u]);
      truncw = truncw + 1;
    } else if (k + u < n) {
      sum = static_cast<float>(static_cast<double>(sum) - gamma[k - 1 - u]);
      sum = static_cast<float>(static_cast<double>(sum) + gamma[k + u]);
    } else {
      sum = static_cast<float>(static_cast<double>(sum) - gamma[k - 1 - u]);
      truncw = truncw - 1;
    }
    q = sum / static_cast<float>(truncw);
    row[k] = crt_fmin(crt_fmax(static_cast<double>(q), 1e-6), 0.5);
    s2 = static_cast<float>(static_cast<double>(s2) + (gamma[k] - row[k]) * (gamma[k] - row[k]));
  }
  sigma2[i] = s2;
}

}  // namespace ldpcsw
