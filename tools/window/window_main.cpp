// ldpcsw-window FILE: the window search at work on a probability profile.
//
// FILE holds n probabilities of a one, one per line. For every odd width W from 1 to
// min(n, 1249) prints "w W CPU KERNEL": window_error for W, and the entry for W of the
// 625-candidate table that GPU_findbest1 computes on the device backend in use (%.9g, a NaN
// as "nan"). Then "bestw W", the CPU search's choice ("bestw none" when n < 21), and
// "argmin T", what min_idx_kernel returns over the table. -h/--help prints the usage and
// --version the project's version (exit 0); a wrong argument count or a bad file exits 1.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "decode/window.h"
#include "gpu/kernel_runner.h"
#include "tools/version.h"
#include "tools/window/profile_file.h"

namespace {

constexpr const char* USAGE =
    "usage: ldpcsw-window FILE\n"
    "       ldpcsw-window -h | --help | --version   this text; the version\n"
    "FILE holds n probabilities of a one, one per line. Prints, for every odd width W up to\n"
    "min(n, 1249), 'w W CPU KERNEL' (the window error on the CPU and from the kernel), then\n"
    "'bestw W' (the CPU search's choice) and 'argmin T' (the kernel's arg-min).\n"
    "Exit status: 0 done (--help and --version too), 1 wrong command line, bad file or kernel\n"
    "failure.\n";

constexpr int CANDIDATES = 625;
constexpr int MAX_WIDTH = 2 * CANDIDATES - 1;  // 1249

std::string number(float v) {
  if (std::isnan(v)) return "nan";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.9g", static_cast<double>(v));
  return buf;
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("ldpcsw-window %s\n", ldpcsw::LDPCSW_VERSION);
      return 0;
    }
  }
  if (argc != 2) {
    if (argc < 2)
      std::fprintf(stderr, "ldpcsw-window: no FILE given\n%s", USAGE);
    else
      std::fprintf(stderr, "ldpcsw-window: %d arguments given, one (FILE) expected\n%s", argc - 1,
                   USAGE);
    return 1;
  }
  std::vector<float> p;
  std::string error;
  if (!ldpcsw::read_profile(argv[1], p, error)) {
    std::fprintf(stderr, "ldpcsw-window: %s\n", error.c_str());
    return 1;
  }
  const int n = static_cast<int>(p.size());

  std::vector<float> table(CANDIDATES);
  int argmin = -1;
  if (!ldpcsw::run_findbest1(p.data(), n, 1, 25, 25, table.data()) ||
      !ldpcsw::run_min_idx(table.data(), CANDIDATES, 2, &argmin)) {
    std::fprintf(stderr, "ldpcsw-window: the %s device backend could not run the kernels\n",
                 ldpcsw::device_backend_name());
    return 1;
  }

  std::vector<float> bias(static_cast<std::size_t>(n));
  std::string out;
  const int last = n < MAX_WIDTH ? n : MAX_WIDTH;
  for (int w = 1; w <= last; w += 2) {
    const float cpu = ldpcsw::window_error(bias.data(), p.data(), n, w);
    out += "w " + std::to_string(w) + " " + number(cpu) + " " + number(table[(w - 1) / 2]) + "\n";
  }
  if (n >= ldpcsw::FIRST_SEARCH_WIDTH)
    out += "bestw " + std::to_string(ldpcsw::best_window_width(bias.data(), p.data(), n)) + "\n";
  else
    out += "bestw none\n";
  out += "argmin " + std::to_string(argmin) + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 1;
}
