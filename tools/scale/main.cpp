// ldpcsw-scale FILE [--p P] [--bound-only]: reads one matrix and decodes one block over it,
// holding nothing but what the decoders need, so that the process's peak memory can be
// measured against those arrays (scripts/scale-check.sh runs it under /usr/bin/time -v).
//
// A .dat file is read by read_code_rows and decoded by decode_syndrome_adaptive (with the
// experiment's estimation step); an .alist file is read by read_code_alist and decoded by
// decode_syndrome. The block is drawn as the experiment draws it (source bits with
// probability 0.5, side information through crossover P, default 0.02).
//
// Prints one line per stage:
//   read: n N, m M, edges E, <seconds> s
//   needed: <bytes> bytes (matrix <bytes>, bits <bytes>, scratch <bytes>)
//   decoded: result R, iterations I, bit errors B, <seconds> s
// Exit status 0 when the block is decoded without error (and after -h/--help or --version),
// 3 when it is not, 1 for a file that cannot be opened or is refused or whose arrays do not
// fit in memory, 2 for a wrong command line. With --bound-only it stops after printing the
// needed bytes (exit 0), for checks of the reading alone.
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "code/blocks.h"
#include "code/load.h"
#include "decode/adaptive.h"
#include "decode/plain.h"
#include "decode/scratch.h"
#include "tools/version.h"

namespace {

using namespace ldpcsw;
using Clock = std::chrono::steady_clock;

constexpr const char* USAGE =
    "usage: ldpcsw-scale FILE.dat|FILE.alist [--p P] [--bound-only]\n"
    "       ldpcsw-scale -h | --help | --version    this text; the version\n"
    "Reads one matrix (.dat: row-list, decoded by the adaptive decoder; .alist: decoded by the\n"
    "plain decoder) and decodes one block at crossover P (default 0.02), holding only what the\n"
    "decoder needs. --bound-only stops after the reading.\n"
    "Exit status: 0 decoded without error (--help and --version too), 3 not, 1 missing or\n"
    "refused file or not enough memory, 2 wrong command line.\n";
constexpr double P_SRC = 0.5;

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Arrays owned without being filled first, so that only what the decoders touch is counted.
template <typename T>
std::unique_ptr<T[]> uninitialised(std::size_t count) {
  return std::unique_ptr<T[]>(new T[count]);
}

struct Needed {
  std::size_t matrix = 0, bits = 0, scratch = 0;
  std::size_t total() const { return matrix + bits + scratch; }
};

// x, y and x_hat (n bytes each), s (m bytes), and the two scratch arrays.
Needed needed_for(int n, int m, int edges, std::size_t matrix_ints) {
  Needed need;
  need.matrix = matrix_ints * sizeof(int);
  need.bits = 3 * static_cast<std::size_t>(n) + static_cast<std::size_t>(m);
  need.scratch = byte_scratch_size(edges, m) + number_scratch_size(edges, n) * sizeof(double);
  return need;
}

void print_needed(const Needed& need) {
  std::printf("needed: %zu bytes (matrix %zu, bits %zu, scratch %zu)\n", need.total(),
              need.matrix, need.bits, need.scratch);
}

bool ends_with(const std::string& text, const char* suffix) {
  const std::size_t length = std::strlen(suffix);
  return text.size() > length && text.compare(text.size() - length, length, suffix) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  // -h/--help and --version win over everything else on the line.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("ldpcsw-scale %s\n", LDPCSW_VERSION);
      return 0;
    }
  }
  if (argc < 2) {
    std::fprintf(stderr, "ldpcsw-scale: no FILE given\n%s", USAGE);
    return 2;
  }
  const std::string path = argv[1];
  double p_cross = 0.02;
  bool bound_only = false;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (option == "--bound-only") {
      bound_only = true;
    } else if (option == "--p" && i + 1 >= argc) {
      std::fprintf(stderr, "ldpcsw-scale: --p needs a value\n%s", USAGE);
      return 2;
    } else if (option == "--p") {
      const char* text = argv[++i];
      const char* end = text + std::strlen(text);
      auto [ptr, ec] = std::from_chars(text, end, p_cross);
      if (ec != std::errc() || ptr != end || !(p_cross > 0.0 && p_cross <= 0.5)) {
        std::fprintf(stderr, "ldpcsw-scale: --p %s is not a probability in (0, 0.5]\n%s", text,
                     USAGE);
        return 2;
      }
    } else {
      std::fprintf(stderr, "ldpcsw-scale: unknown option %s\n%s", option.c_str(), USAGE);
      return 2;
    }
  }
  const bool rows = ends_with(path, ".dat");
  if (!rows && !ends_with(path, ".alist")) {
    std::fprintf(stderr, "ldpcsw-scale: %s: the name must end in .dat or .alist\n", path.c_str());
    return 2;
  }

  const auto read_start = Clock::now();
  LoadedCode code;
  std::string error;
  if (load_code(path, rows ? CodeLayout::rows : CodeLayout::alist, code, error) != LoadStatus::ok) {
    if (code.looks_like != CodeLayout::detect)
      error += code.looks_like == CodeLayout::alist ? "; name it FILE.alist" : "; name it FILE.dat";
    std::fprintf(stderr, "ldpcsw-scale: %s: %s\n", path.c_str(), error.c_str());
    return 1;
  }
  const ParityCheckMatrix& row_form = code.rows;
  const ColumnMatrix& column_form = code.columns;
  const int n = rows ? row_form.n : column_form.n;
  const int m = rows ? row_form.m : column_form.m;
  const int edges = rows ? row_form.edges() : column_form.edges();
  std::printf("read: n %d, m %d, edges %d, %.2f s\n", n, m, edges, seconds_since(read_start));
  const std::size_t matrix_ints = rows ? row_form.ir.size() + row_form.jc.size()
                                       : column_form.col_ptr.size() + column_form.row_index.size();
  print_needed(needed_for(n, m, edges, matrix_ints));
  std::fflush(stdout);
  if (bound_only) return 0;

  std::unique_ptr<std::int8_t[]> x, y, x_hat, s, byte_scratch;
  std::unique_ptr<double[]> number_scratch;
  try {
    number_scratch = uninitialised<double>(number_scratch_size(edges, n));
    byte_scratch = uninitialised<std::int8_t>(byte_scratch_size(edges, m));
    x = uninitialised<std::int8_t>(n);
    y = uninitialised<std::int8_t>(n);
    x_hat = uninitialised<std::int8_t>(n);
    s = uninitialised<std::int8_t>(m);
  } catch (const std::bad_alloc&) {
    std::fprintf(stderr, "ldpcsw-scale: %s: not enough memory for the decoder's arrays\n",
                 path.c_str());
    return 1;
  }
  draw_block(x.get(), y.get(), n, P_SRC, p_cross);
  std::memset(x_hat.get(), 0, static_cast<std::size_t>(n));
  int result = 0, iterations = 0;
  const auto decode_start = Clock::now();
  if (rows) {
    compute_syndrome(row_form.ir.data(), row_form.jc.data(), m, x.get(), s.get());
    result = decode_syndrome_adaptive_with(row_form.ir.data(), row_form.jc.data(), m, n, y.get(),
                                           s.get(), x_hat.get(), byte_scratch.get(),
                                           number_scratch.get(), P_SRC, p_cross, estimation_step,
                                           nullptr, &iterations);
  } else {
    compute_syndrome_columns(column_form.row_index.data(), column_form.col_ptr.data(), n, m,
                             x.get(), s.get());
    result = decode_syndrome(column_form.row_index.data(), column_form.col_ptr.data(), m, n,
                             y.get(), s.get(), x_hat.get(), byte_scratch.get(),
                             number_scratch.get(), P_SRC, p_cross, &iterations);
  }
  const int errors = count_bit_errors(x.get(), x_hat.get(), n);
  std::printf("decoded: result %d, iterations %d, bit errors %d, %.2f s\n", result, iterations,
              errors, seconds_since(decode_start));
  return (result == 1 && errors == 0) ? 0 : 3;
}
