// ldpcsw-plain [FILE]: the fixed experiment's 200 blocks, drawn the same way, decoded by the
// plain decoder over a parity-check matrix read from an alist file (default
// "Reg504252.alist" in the working folder). Ends with the experiment's two report lines:
//   Running time: <seconds>s
//   FER = <fer>, BER = <ber>
// Exit status 0 after a complete run (and after -h/--help or --version); 1 when the file
// cannot be opened or is refused; 2 for a wrong command line.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "code/load.h"
#include "code/blocks.h"
#include "decode/plain.h"
#include "decode/scratch.h"
#include "platform/crt.h"
#include "tools/version.h"

namespace {

constexpr const char* DEFAULT_FILE = "Reg504252.alist";

constexpr const char* USAGE =
    "usage: ldpcsw-plain [FILE]\n"
    "       ldpcsw-plain -h | --help | --version    this text; the version\n"
    "Decodes the fixed experiment's 200 blocks (crossover 0.08) with the plain decoder over the\n"
    "alist matrix FILE (default Reg504252.alist in the working folder) and prints the running\n"
    "time, FER and BER.\n"
    "A FILE whose name begins with '-' is given as ./-name.\n"
    "Exit status: 0 done (--help and --version too), 1 missing or refused file, 2 wrong command\n"
    "line.\n";

// Reads the matrix; on failure prints what went wrong and returns false.
bool load_matrix(const char* path, ldpcsw::ColumnMatrix& h) {
  ldpcsw::LoadedCode code;
  std::string error;
  const ldpcsw::LoadStatus status =
      ldpcsw::load_code(path, ldpcsw::CodeLayout::alist, code, error);
  if (status == ldpcsw::LoadStatus::cannot_open) {
    // The experiment's own line on standard output, then which file and why on standard error.
    std::cout << "LDPC code file doesn't exist!" << std::endl;
    std::fprintf(stderr, "%s: %s\n", path, error.c_str());
    return false;
  }
  if (status != ldpcsw::LoadStatus::ok) {
    if (code.looks_like == ldpcsw::CodeLayout::rows)
      error += "; convert it with ldpcsw-code convert FILE.dat FILE.alist";
    std::fprintf(stderr, "%s: %s\n", path, error.c_str());
    return false;
  }
  h = std::move(code.columns);
  return true;
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
      std::printf("ldpcsw-plain %s\n", ldpcsw::LDPCSW_VERSION);
      return 0;
    }
  }
  if (argc > 2) {
    std::fprintf(stderr, "ldpcsw-plain: %d arguments given, at most one (FILE) expected\n%s",
                 argc - 1, USAGE);
    return 2;
  }
  if (argc == 2 && argv[1][0] == '-' && argv[1][1] != '\0') {
    std::fprintf(stderr, "ldpcsw-plain: unknown option %s\n%s", argv[1], USAGE);
    return 2;
  }
  const char* path = argc == 2 ? argv[1] : DEFAULT_FILE;

  ldpcsw::ColumnMatrix h;
  if (!load_matrix(path, h)) return 1;
  const int n = h.n, m = h.m, edges = h.edges();

  std::vector<std::int8_t> x(n), x_hat(n, 0), y(n), s(m);
  std::vector<std::int8_t> byte_scratch(ldpcsw::byte_scratch_size(edges, m));
  std::vector<double> number_scratch(ldpcsw::number_scratch_size(edges, n));

  double fer_sum = 0.0, ber_sum = 0.0;
  const long t0 = ldpcsw::crt_clock();
  for (int block = 0; block < ldpcsw::EXPERIMENT_BLOCKS; ++block) {
    ldpcsw::draw_block(x.data(), y.data(), n, ldpcsw::EXPERIMENT_P_SOURCE,
                       ldpcsw::EXPERIMENT_P_CROSS);
    ldpcsw::compute_syndrome_columns(h.row_index.data(), h.col_ptr.data(), n, m, x.data(),
                                     s.data());
    // x_hat carries the previous block's decisions in, as in the experiment.
    ldpcsw::decode_syndrome(h.row_index.data(), h.col_ptr.data(), m, n, y.data(), s.data(),
                            x_hat.data(), byte_scratch.data(), number_scratch.data(),
                            ldpcsw::EXPERIMENT_P_SOURCE, ldpcsw::EXPERIMENT_P_CROSS);
    const int errors = ldpcsw::count_bit_errors(x_hat.data(), x.data(), n);
    ber_sum += errors;
    fer_sum += errors > 0 ? 1 : 0;
  }
  const long t1 = ldpcsw::crt_clock();

  const double elapsed =
      static_cast<int>(t1 - t0) / static_cast<double>(ldpcsw::CRT_CLOCKS_PER_SEC);
  std::cout << "Running time: " << elapsed << "s" << std::endl;
  // The divisor is the int product 200 n, formed wide so that a huge n cannot overflow it.
  const double ber =
      ber_sum / static_cast<double>(static_cast<std::int64_t>(ldpcsw::EXPERIMENT_BLOCKS) * n);
  const double fer = fer_sum / ldpcsw::EXPERIMENT_BLOCKS;
  std::cout << "FER = " << fer << ", " << "BER = " << ber << std::endl;
  return 0;
}
