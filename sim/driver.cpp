#include "sim/driver.h"

#include <iostream>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "code/blocks.h"
#include "code/load.h"
#include "decode/adaptive.h"
#include "decode/scratch.h"
#include "decode/window.h"
#include "gpu/gpu_window_search.h"
#include "platform/crt.h"

namespace ldpcsw {
namespace {

constexpr const char* MATRIX_FILE = "Reg504252.dat";

}  // namespace

int run_experiment() {
  LoadedCode code;
  std::string error;
  const LoadStatus status = load_code(MATRIX_FILE, CodeLayout::rows, code, error);
  if (status == LoadStatus::cannot_open) {
    std::cout << "LDPC code file doesn't exist!" << std::endl;
    return 1;
  }
  if (status != LoadStatus::ok) {
    std::cerr << MATRIX_FILE << ": " << error << std::endl;
    return 1;
  }
  const ParityCheckMatrix& h = code.rows;

  const int n = h.n, m = h.m, num_edges = h.edges();
  // A few bytes can describe a matrix whose arrays do not fit in memory (a huge n, few ones):
  // refuse it with a line instead of ending on an uncaught std::bad_alloc. The largest array
  // comes first, so that a refusal comes before anything has been filled.
  std::vector<double> number_scratch;
  std::vector<std::int8_t> byte_scratch;
  // x, x_hat, y and s in one block of 3n + m bits. x_hat starts at zero so that every run
  // compares its first decisions with the same values.
  std::vector<std::int8_t> bits;
  try {
    number_scratch.resize(number_scratch_size(num_edges, n));
    byte_scratch.resize(byte_scratch_size(num_edges, m));
    bits.assign(3 * static_cast<std::size_t>(n) + static_cast<std::size_t>(m), 0);
  } catch (const std::bad_alloc&) {
    std::cerr << MATRIX_FILE << ": n = " << n << ", m = " << m << ", " << num_edges
              << " ones: not enough memory for the decoder's arrays" << std::endl;
    return 1;
  }
  std::int8_t* const x = bits.data();
  std::int8_t* const x_hat = x + n;
  std::int8_t* const y = x_hat + n;
  std::int8_t* const s = y + n;

  double fer_sum = 0.0, ber_sum = 0.0;
  const long t0 = crt_clock();
  for (int block = 0; block < EXPERIMENT_BLOCKS; ++block) {
    draw_block(x, y, n, EXPERIMENT_P_SOURCE, EXPERIMENT_P_CROSS);
    compute_syndrome(h.ir.data(), h.jc.data(), m, x, s);
    decode_syndrome_adaptive(h.ir.data(), h.jc.data(), m, n, y, s, x_hat, byte_scratch.data(),
                             number_scratch.data(), EXPERIMENT_P_SOURCE, EXPERIMENT_P_CROSS);
    const int errors = count_bit_errors(x_hat, x, n);
    ber_sum += errors;
    fer_sum += errors > 0 ? 1 : 0;
  }
  const long t1 = crt_clock();
  const double elapsed = static_cast<int>(t1 - t0) / static_cast<double>(CRT_CLOCKS_PER_SEC);
  std::cout << "Running time: " << elapsed << "s" << std::endl;

  // In double: 200 n overflows an int from n = 10,737,419 on.
  const double ber = ber_sum / (EXPERIMENT_BLOCKS * static_cast<double>(n));
  const double fer = fer_sum / EXPERIMENT_BLOCKS;
  std::cout << "FER = " << fer << ", " << "BER = " << ber << std::endl;

  // Averages over the completed device searches; with none, IEEE division gives NaN or inf.
  const double count = static_cast<double>(estimate_count);
  CPUtime /= count;
  GPUtime_thrust /= count;
  GPUtime_cublas /= count;
  GPUtime_kernel /= count;
  std::cout << "average CPU time = " << CPUtime << ", average GPU thrust time = " << GPUtime_thrust
            << ", average GPU cublas time = " << GPUtime_cublas
            << ", average GPU kernel time = " << GPUtime_kernel << std::endl;
  return 0;
}

}  // namespace ldpcsw
