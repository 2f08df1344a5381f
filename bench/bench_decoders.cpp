// Both sum-product decoders on the shipped matrix, in nanoseconds per edge per iteration,
// next to the cost of the two phi evaluations that every edge needs in every iteration,
// which bounds that figure from below.
//
// The blocks are the experiment's 200 (its generator from the start, crossover 0.08); each
// decode call starts from x_hat = 0 so that every pass over the blocks does the same work.
// The adaptive decoder runs without its estimation step.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "code/alist.h"
#include "code/blocks.h"
#include "code/matrix.h"
#include "decode/adaptive.h"
#include "decode/phi.h"
#include "decode/plain.h"
#include "decode/scratch.h"
#include "platform/crt.h"

namespace {

using namespace ldpcsw;

constexpr int BLOCKS = 200;
constexpr double P_SRC = 0.5;
constexpr double P_CROSS = 0.08;

struct Workload {
  ParityCheckMatrix rows;
  ColumnMatrix cols;
  std::vector<std::vector<std::int8_t>> y, s;
};

std::FILE* open_data(const char* name) {
  const std::string path = std::string(LDPCSW_DATA_DIR) + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) {
    std::fprintf(stderr, "%s: cannot open\n", path.c_str());
    std::exit(1);
  }
  return f;
}

const Workload& workload() {
  static const Workload w = [] {
    Workload w;
    std::string error;
    std::FILE* f = open_data("Reg504252.dat");
    if (!read_code_rows(f, w.rows, error)) {
      std::fprintf(stderr, "Reg504252.dat: %s\n", error.c_str());
      std::exit(1);
    }
    std::fclose(f);
    f = open_data("Reg504252.alist");
    if (!read_code_alist(f, w.cols, error)) {
      std::fprintf(stderr, "Reg504252.alist: %s\n", error.c_str());
      std::exit(1);
    }
    std::fclose(f);
    const int n = w.rows.n, m = w.rows.m;
    std::vector<std::int8_t> x(n);
    crt_rand_reset();
    for (int b = 0; b < BLOCKS; ++b) {
      std::vector<std::int8_t> y(n), s(m);
      draw_block(x.data(), y.data(), n, P_SRC, P_CROSS);
      compute_syndrome(w.rows.ir.data(), w.rows.jc.data(), m, x.data(), s.data());
      w.y.push_back(std::move(y));
      w.s.push_back(std::move(s));
    }
    return w;
  }();
  return w;
}

// Time per unit of `units`, as a counter: seconds per unit, printed with its prefix ("52ns").
benchmark::Counter time_per(double units) {
  return benchmark::Counter(units, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// One benchmark iteration decodes all the blocks, so that every iteration does the same work.
template <typename Decode>
void run_decoder(benchmark::State& state, int edges, int n, int m, Decode decode) {
  const Workload& w = workload();
  std::vector<std::int8_t> x_hat(n);
  std::vector<std::int8_t> bytes(byte_scratch_size(edges, m));
  std::vector<double> numbers(number_scratch_size(edges, n));
  double edge_iterations = 0;
  std::int64_t iterations_run = 0, calls = 0;
  for (auto _ : state) {
    for (int b = 0; b < BLOCKS; ++b) {
      std::fill(x_hat.begin(), x_hat.end(), 0);
      int iterations = 0;
      const int result = decode(w.y[b].data(), w.s[b].data(), x_hat.data(), bytes.data(),
                                numbers.data(), &iterations);
      benchmark::DoNotOptimize(result);
      benchmark::DoNotOptimize(x_hat.data());
      edge_iterations += static_cast<double>(edges) * iterations;
      iterations_run += iterations;
      ++calls;
    }
  }
  state.counters["per_edge_iter"] = time_per(edge_iterations);
  state.counters["iter/call"] = static_cast<double>(iterations_run) / static_cast<double>(calls);
}

void BM_PlainDecoder(benchmark::State& state) {
  const ColumnMatrix& h = workload().cols;
  run_decoder(state, h.edges(), h.n, h.m,
              [&h](const std::int8_t* y, const std::int8_t* s, std::int8_t* x_hat,
                   std::int8_t* bytes, double* numbers, int* iterations) {
                return decode_syndrome(h.row_index.data(), h.col_ptr.data(), h.m, h.n, y, s,
                                       x_hat, bytes, numbers, P_SRC, P_CROSS, iterations);
              });
}
BENCHMARK(BM_PlainDecoder)->Unit(benchmark::kMillisecond);

void BM_AdaptiveDecoder(benchmark::State& state) {
  const ParityCheckMatrix& h = workload().rows;
  run_decoder(state, h.edges(), h.n, h.m,
              [&h](const std::int8_t* y, const std::int8_t* s, std::int8_t* x_hat,
                   std::int8_t* bytes, double* numbers, int* iterations) {
                return decode_syndrome_adaptive_with(h.ir.data(), h.jc.data(), h.m, h.n, y, s,
                                                     x_hat, bytes, numbers, P_SRC, P_CROSS,
                                                     nullptr, nullptr, iterations);
              });
}
BENCHMARK(BM_AdaptiveDecoder)->Unit(benchmark::kMillisecond);

// The lower bound: the two phi evaluations of one edge in one iteration, on values a decoder
// meets. For each block, the plain decoder's bit-to-check messages where its call ended give
// the first argument (their magnitude); the second is the edge's check sum of phi magnitudes
// less its own, formed from those same messages.
void BM_TwoPhiPerEdge(benchmark::State& state) {
  const Workload& w = workload();
  const ColumnMatrix& h = w.cols;
  const int edges = h.edges(), n = h.n, m = h.m;
  std::vector<std::int8_t> x_hat(n), bytes(byte_scratch_size(edges, m));
  std::vector<double> numbers(number_scratch_size(edges, n));
  std::vector<double> magnitude, rest, sum(m);
  for (int b = 0; b < BLOCKS; ++b) {
    std::fill(x_hat.begin(), x_hat.end(), 0);
    decode_syndrome(h.row_index.data(), h.col_ptr.data(), m, n, w.y[b].data(), w.s[b].data(),
                    x_hat.data(), bytes.data(), numbers.data(), P_SRC, P_CROSS);
    const std::size_t first = magnitude.size();
    std::fill(sum.begin(), sum.end(), 0.0);
    for (int e = 0; e < edges; ++e) {
      magnitude.push_back(std::fabs(numbers[n + e]));
      sum[h.row_index[e]] += phi(magnitude.back());
    }
    for (int e = 0; e < edges; ++e)
      rest.push_back(sum[h.row_index[e]] - phi(magnitude[first + e]));
  }

  const std::size_t count = magnitude.size();
  std::vector<double> out(count);
  double evaluated = 0;
  for (auto _ : state) {
    for (std::size_t e = 0; e < count; ++e) out[e] = phi(magnitude[e]) + phi(rest[e]);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
    evaluated += static_cast<double>(count);
  }
  state.counters["per_edge"] = time_per(evaluated);
}
BENCHMARK(BM_TwoPhiPerEdge)->Unit(benchmark::kMillisecond);

}  // namespace
