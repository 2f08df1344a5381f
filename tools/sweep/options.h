// The command line of ldpcsw-sweep. Error policy: a wrong command line is the user's error; the
// parser returns exit status 2 with one message saying which option and value are wrong.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sweep/engine.h"
#include "sweep/input.h"

namespace ldpcsw::sweep {

// Where the min-sum decoders run: the CPU's worker threads, or the device kernels (the host
// backend runs them through its emulation).
enum class SweepDevice { cpu, gpu };

struct SweepOptions {
  std::string matrix;
  MatrixFormat format = MatrixFormat::detect;
  std::vector<double> ps;
  std::int64_t blocks = 100000;
  std::int64_t max_frame_errors = 100;
  DecoderKind decoder = DecoderKind::adaptive;
  std::uint64_t seed = 1;
  int threads = 0;  // 0: one per core (shared among the processes of a machine)
  std::string csv;
  bool resume = false;
  bool overwrite = false;
  bool quiet = false;  // no progress line even on a terminal
  minsum::MinsumParams minsum;  // --q, --offset / --normalise, --iterations
  std::string simd_target;      // --simd-target or LDPCSW_SIMD_TARGET; empty: the widest
  SweepDevice device = SweepDevice::cpu;  // --device
  int device_index = 0;  // --device gpu: this process takes GPU device_index % (GPUs present)
  // --threshold: p* of the code's ensemble for FILE.run and the plot, given as a number
  // (threshold >= 0) or computed by density evolution from the matrix's degrees (auto).
  double threshold = -1.0;
  bool threshold_auto = false;
  // --rate-adaptive: the chain file of a critical-rate run; empty: an error-rate sweep.
  std::string rate_adaptive;
  bool critical_scan = false;  // --search scan
};

// Parses the command line. Returns -1 when the sweep should run, otherwise the exit status
// (0 after --help, 2 for an error) with the text to print in `message` (help: standard
// output; error: standard error).
int parse_sweep_options(int argc, const char* const* argv, SweepOptions& options,
                        std::string& message);

// The min-sum decoder's parameters as settings-file entries (minsum_q, minsum_correction,
// minsum_iterations); none for the exact decoders, whose settings files stay as they were.
void add_minsum_settings(const SweepOptions& options,
                         std::map<std::string, std::string>& settings);

// Parses the --p values: each item is a probability or an inclusive range FIRST:LAST:STEP;
// items may be separated by commas. Range points are FIRST + i * STEP rounded to 12
// significant digits, so 0.02:0.1:0.005 yields exactly 0.02, 0.025, ..., 0.1. Every p must lie
// in (0, 0.5] and appear once. On failure returns false with a message.
bool parse_p_list(const std::vector<std::string>& items, std::vector<double>& ps,
                  std::string& error);

}  // namespace ldpcsw::sweep
