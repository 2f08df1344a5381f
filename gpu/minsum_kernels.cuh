// The min-sum decoding kernel: one sweep block per device thread, the blocks of a batch side by
// side in memory. One source for both backends, like kernels.cuh: nvcc compiles it for the GPU;
// on the host backend the host compiler compiles it through the SIMT emulation.
//
// Layout (edge-major, lane-minor): the value of edge e (or bit j, or check r) of the block in
// thread slot b lies at [e * batch + b], so the threads of a warp, which hold consecutive
// blocks, touch consecutive bytes at every step and their accesses coalesce.
//
// Each thread draws its block from the sweep's Philox streams (streams/block_streams.h), forms
// the syndrome, decodes with the rules of fixed/minsum_rules.h in the order the CPU decoders
// apply them, stops as soon as its decisions satisfy the syndrome or at the iteration limit,
// and adds its outcome to the batch's counts with atomic additions. Every step is integer
// arithmetic, so a block's decisions and iteration count are the CPU decoder's, bit for bit.
#pragma once

#include <cstdint>

#include "fixed/minsum_rules.h"
#include "streams/block_streams.h"

namespace ldpcsw {

// Everything one launch needs; passed by value.
struct MinsumBatchArgs {
  // H: row-major edges (ir, jc) and each column's edges (col_ptr, col_edge), as MinsumCode.
  const int* ir;
  const int* jc;
  const int* col_ptr;
  const int* col_edge;
  int n, m;
  // Per-block arrays, lane-minor with stride `batch`.
  std::int8_t* x;      // source bits          [j * batch + b]
  std::int8_t* y;      // side information     [j * batch + b]
  std::int8_t* s;      // syndrome             [r * batch + b]
  std::int8_t* x_hat;  // decisions            [j * batch + b]
  std::int8_t* msg;    // edge messages        [e * batch + b]
  std::int16_t* post;  // layered a-posteriori [j * batch + b] (8- or 16-bit values)
  std::int16_t* aux;   // a row's inputs t while the row is updated [e * batch + b]
  int batch;           // the stride: slots allocated per array
  int count;           // blocks in this launch (slots 0 .. count-1)
  unsigned long long first;  // sweep index of the block in slot 0
  std::uint32_t key0, key1;
  unsigned long long threshold;
  minsum::MinsumParams params;
  int layered;  // 1: layered schedule, 0: flooding
  int* outcomes;  // per slot: bit errors, iterations, success (decisions satisfy the syndrome)
  // frame errors, bit errors, squared bit errors, iterations, undetected errors
  unsigned long long* totals;
};

__device__ __forceinline__ int minsum_abs(int v) { return v < 0 ? -v : v; }

// A row's check rule reduced to four numbers: the parity of the syndrome bit and every input
// sign, the two smallest input magnitudes (MSG_MAX where absent) and the edge of the smallest
// (the first one on ties). Edge e then receives the sign parity ^ sign_bit(input e) and the
// corrected magnitude of min2 when e is that edge, of min1 otherwise: the smallest magnitude
// among the other inputs, exactly as the CPU decoders form it.
struct MinsumRow {
  int parity, min1, min2, pos;
};

__device__ __forceinline__ void minsum_row_take(MinsumRow& row, int v, int e) {
  row.parity ^= minsum::sign_bit(v);
  const int a = minsum_abs(v);
  if (a < row.min1) {
    row.min2 = row.min1;
    row.min1 = a;
    row.pos = e;
  } else if (a < row.min2) {
    row.min2 = a;
  }
}

// True when the decisions of slot b satisfy its syndrome.
__device__ __forceinline__ bool minsum_syndrome_ok(const MinsumBatchArgs& a, long long b) {
  const long long B = a.batch;
  for (int r = 0; r < a.m; ++r) {
    int parity = a.s[r * B + b];
    for (int e = a.ir[r]; e < a.ir[r + 1]; ++e) parity ^= a.x_hat[a.jc[e] * B + b];
    if (parity != 0) return false;
  }
  return true;
}

__global__ void minsum_batch_kernel(MinsumBatchArgs a) {
  using namespace minsum;
  const long long b = static_cast<long long>(blockIdx.x) * blockDim.x + threadIdx.x;
  if (b >= a.count) return;
  const long long B = a.batch;
  const MinsumParams& p = a.params;

  // The block, drawn where it is decoded, and its syndrome.
  streams::draw_block(a.key0, a.key1, a.first + static_cast<unsigned long long>(b), a.threshold,
                      a.x + b, a.y + b, a.n, B);
  for (int r = 0; r < a.m; ++r) {
    int parity = 0;
    for (int e = a.ir[r]; e < a.ir[r + 1]; ++e) parity ^= a.x[a.jc[e] * B + b];
    a.s[r * B + b] = static_cast<std::int8_t>(parity);
  }

  int k = 0;
  bool success = false;
  if (a.layered == 0) {
    // Flooding: msg holds bit-to-check messages before the check pass, check-to-bit after it.
    for (int r = 0; r < a.m; ++r)
      for (int e = a.ir[r]; e < a.ir[r + 1]; ++e)
        a.msg[e * B + b] = static_cast<std::int8_t>(channel_value(a.y[a.jc[e] * B + b], p.q));
    while (k < p.max_iterations && !success) {
      for (int r = 0; r < a.m; ++r) {
        MinsumRow row{a.s[r * B + b], MSG_MAX, MSG_MAX, -1};
        for (int e = a.ir[r]; e < a.ir[r + 1]; ++e) minsum_row_take(row, a.msg[e * B + b], e);
        const RowCorrection corr = row_correction(p, Schedule::flooding, a.ir[r + 1] - a.ir[r]);
        const int c1 = correct_magnitude(row.min1, corr), c2 = correct_magnitude(row.min2, corr);
        for (int e = a.ir[r]; e < a.ir[r + 1]; ++e) {
          const int sign = row.parity ^ sign_bit(a.msg[e * B + b]);
          a.msg[e * B + b] = static_cast<std::int8_t>(check_message(sign, e == row.pos ? c2 : c1));
        }
      }
      for (int j = 0; j < a.n; ++j) {
        int post = channel_value(a.y[j * B + b], p.q);
        for (int i = a.col_ptr[j]; i < a.col_ptr[j + 1]; ++i) post += a.msg[a.col_edge[i] * B + b];
        a.x_hat[j * B + b] = static_cast<std::int8_t>(decide(post));
        for (int i = a.col_ptr[j]; i < a.col_ptr[j + 1]; ++i) {
          std::int8_t& v = a.msg[a.col_edge[i] * B + b];
          v = static_cast<std::int8_t>(saturate_msg(post - v));
        }
      }
      ++k;
      success = minsum_syndrome_ok(a, b);
    }
  } else {
    // Layered: msg holds check-to-bit messages. A row first reads every input t = a - c (kept
    // whole with 16-bit a-posteriori values, saturated with 8-bit ones; the row's rule works
    // on sat(t)) into aux, from its last edge to its first; the sum-product rule leaves in msg
    // the magnitudes combined from the right. Then, in row order as on the CPU, each edge
    // gets its new message c and its bit a = t + c, so that a column met twice in a row reads
    // its value from before the row and keeps the later edge's, as the CPU decoders do.
    const bool wide = p.posterior_bits == 16;
    const bool spa = p.check == CheckRule::sum_product;
    for (int j = 0; j < a.n; ++j)
      a.post[j * B + b] = static_cast<std::int16_t>(channel_value(a.y[j * B + b], p.q));
    for (int r = 0; r < a.m; ++r)
      for (int e = a.ir[r]; e < a.ir[r + 1]; ++e) a.msg[e * B + b] = 0;
    while (k < p.max_iterations && !success) {
      for (int r = 0; r < a.m; ++r) {
        const int first = a.ir[r], last = a.ir[r + 1];
        MinsumRow row{a.s[r * B + b], MSG_MAX, MSG_MAX, -1};
        int right = -1;  // sum-product: the magnitudes so far combined from the right
        for (int e = last - 1; e >= first; --e) {
          const int whole0 = a.post[a.jc[e] * B + b] - a.msg[e * B + b];
          const int whole = wide ? saturate_post(whole0) : saturate_msg(whole0);
          a.aux[e * B + b] = static_cast<std::int16_t>(whole);
          const int t = saturate_msg(whole);
          minsum_row_take(row, t, e);
          if (spa) {
            right = right < 0 ? minsum_abs(t) : spa_combine(right, minsum_abs(t));
            a.msg[e * B + b] = static_cast<std::int8_t>(right);
          }
        }
        const RowCorrection corr = row_correction(p, Schedule::layered, last - first);
        const int c1 = correct_magnitude(row.min1, corr), c2 = correct_magnitude(row.min2, corr);
        int left = -1;  // sum-product: the magnitudes combined from the left
        for (int e = first; e < last; ++e) {
          const int whole = a.aux[e * B + b];
          const int t = saturate_msg(whole);
          int mag;
          if (!spa) mag = e == row.pos ? c2 : c1;
          else if (last - first == 1) mag = MSG_MAX;
          else if (e == first) mag = a.msg[(e + 1) * B + b];
          else if (e == last - 1) mag = left;
          else mag = spa_combine(left, a.msg[(e + 1) * B + b]);
          if (spa) left = left < 0 ? minsum_abs(t) : spa_combine(left, minsum_abs(t));
          const int c = check_message(row.parity ^ sign_bit(t), mag);
          a.msg[e * B + b] = static_cast<std::int8_t>(c);
          a.post[a.jc[e] * B + b] =
              static_cast<std::int16_t>(wide ? saturate_post(whole + c) : saturate_msg(whole + c));
        }
      }
      for (int j = 0; j < a.n; ++j)
        a.x_hat[j * B + b] = static_cast<std::int8_t>(decide(a.post[j * B + b]));
      ++k;
      success = minsum_syndrome_ok(a, b);
    }
  }

  int bit_errors = 0;
  for (int j = 0; j < a.n; ++j) bit_errors += a.x_hat[j * B + b] != a.x[j * B + b] ? 1 : 0;
  a.outcomes[3 * b] = bit_errors;
  a.outcomes[3 * b + 1] = k;
  a.outcomes[3 * b + 2] = success ? 1 : 0;
  atomicAdd(&a.totals[0], static_cast<unsigned long long>(bit_errors > 0 ? 1 : 0));
  atomicAdd(&a.totals[1], static_cast<unsigned long long>(bit_errors));
  atomicAdd(&a.totals[2], static_cast<unsigned long long>(bit_errors) *
                              static_cast<unsigned long long>(bit_errors));
  atomicAdd(&a.totals[3], static_cast<unsigned long long>(k));
  atomicAdd(&a.totals[4], static_cast<unsigned long long>(success && bit_errors > 0 ? 1 : 0));
}

}  // namespace ldpcsw
