// ldpcsw-code: builds, converts and inspects parity-check matrices.
//
//   ldpcsw-code build --n N --m M [--column-weight W] [--seed S] [--method peg|random]
//                     [--dat FILE] [--alist FILE] [--girth-limit L]
//   ldpcsw-code convert IN OUT
//   ldpcsw-code info FILE [--girth-limit L]
//
// The form of a file is told by its extension: .dat is the row-list form, .alist the alist
// form. Defaults: column weight 3, seed 1, method peg, no girth limit. build refuses n below
// 21 and m above n, which the decoders refuse. Exit status 0 on success (and after -h/--help
// or --version), 1 for a bad file or a construction that fails, 2 for a bad command line;
// every failure prints one line on standard error.
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "code/convert.h"
#include "code/load.h"
#include "code/peg.h"
#include "code/rank.h"
#include "code/writers.h"
#include "tools/version.h"

namespace {

using namespace ldpcsw;

constexpr const char* USAGE =
    "usage: ldpcsw-code build --n N --m M [--column-weight W] [--seed S] [--method peg|random]"
    " [--dat FILE] [--alist FILE] [--girth-limit L]\n"
    "       ldpcsw-code convert IN OUT\n"
    "       ldpcsw-code info FILE [--girth-limit L]\n";

int usage_error(const std::string& message) {
  std::fprintf(stderr, "ldpcsw-code: %s\n%s", message.c_str(), USAGE);
  return 2;
}

int file_error(const std::string& path, const std::string& message) {
  std::fprintf(stderr, "ldpcsw-code: %s: %s\n", path.c_str(), message.c_str());
  return 1;
}

enum class Form { unknown, rows, alist };

Form form_of(const std::string& path) {
  auto ends_with = [&](std::string_view suffix) {
    return path.size() > suffix.size() &&
           path.compare(path.size() - suffix.size(), suffix.size(), suffix) == 0;
  };
  if (ends_with(".dat")) return Form::rows;
  if (ends_with(".alist")) return Form::alist;
  return Form::unknown;
}

template <typename T>
bool parse_number(const char* text, T& value) {
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, value);
  return ec == std::errc() && ptr == end && ptr != text;
}

// Reads a matrix file of either form into the row-major form. The readers refuse repeated
// entries, which neither written form can hold meaningfully.
bool load(const std::string& path, ParityCheckMatrix& h, std::string& error) {
  const Form form = form_of(path);
  if (form == Form::unknown) {
    error = "unknown form; the name must end in .dat or .alist";
    return false;
  }
  LoadedCode code;
  if (load_code(path, form == Form::rows ? CodeLayout::rows : CodeLayout::alist, code, error) !=
      LoadStatus::ok) {
    if (code.looks_like == CodeLayout::alist) error += "; its name should end in .alist";
    if (code.looks_like == CodeLayout::rows) error += "; its name should end in .dat";
    return false;
  }
  h = form == Form::rows ? std::move(code.rows) : code_rows_of(code.columns);
  return true;
}

// Writes `h` in the form told by the name; a partly written file is removed.
bool save(const std::string& path, const ParityCheckMatrix& h, std::string& error) {
  const Form form = form_of(path);
  if (form == Form::unknown) {
    error = "unknown form; the name must end in .dat or .alist";
    return false;
  }
  // Binary mode: the bytes are the same on every platform.
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = std::string("cannot open for writing: ") + std::strerror(errno);
    return false;
  }
  errno = 0;
  bool ok = (form == Form::rows) ? write_code_rows(file, h) : write_code_alist(file, h);
  const int write_errno = errno;
  if (std::fclose(file) != 0) ok = false;
  if (!ok) {
    const int cause = write_errno ? write_errno : errno;
    error = cause ? std::string("write failed: ") + std::strerror(cause) : "write failed";
    std::remove(path.c_str());
  }
  return ok;
}

void print_summary(const ParityCheckMatrix& h, int girth_limit) {
  const CodeWeights w = code_weights(h);
  std::printf("n %d, m %d, edges %d, column weights %d..%d, row weights %d..%d\n", h.n, h.m,
              h.edges(), w.min_column, w.max_column, w.min_row, w.max_row);
  const int girth = code_girth(h, girth_limit);
  if (girth < 0)
    std::printf("girth not computed: the Tanner graph has more nodes than an int numbers\n");
  else if (girth > 0)
    std::printf("girth %d\n", girth);
  else if (girth_limit > 0)
    std::printf("girth above %d (cycles up to %d searched)\n", girth_limit, girth_limit);
  else
    std::printf("girth infinite (no cycle)\n");
}

bool parse_girth_limit(const char* text, int& limit) {
  return parse_number(text, limit) && limit >= 0;
}

int run_build(int argc, char** argv) {
  int n = 0, m = 0, column_weight = 3, girth_limit = 0;
  std::uint64_t seed = 1;
  std::string method = "peg", dat_path, alist_path;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return usage_error("option " + option + " needs a value");
    const char* value = argv[++i];
    bool ok = true;
    if (option == "--n")
      ok = parse_number(value, n) && n > 0;
    else if (option == "--m")
      ok = parse_number(value, m) && m > 0;
    else if (option == "--column-weight")
      ok = parse_number(value, column_weight) && column_weight > 0;
    else if (option == "--seed")
      ok = parse_number(value, seed);
    else if (option == "--method") {
      method = value;
      ok = method == "peg" || method == "random";
    } else if (option == "--dat")
      dat_path = value;
    else if (option == "--alist")
      alist_path = value;
    else if (option == "--girth-limit")
      ok = parse_girth_limit(value, girth_limit);
    else
      return usage_error("unknown option " + option);
    if (!ok) return usage_error("bad value '" + std::string(value) + "' for " + option);
  }
  if (n == 0 || m == 0) return usage_error("build needs --n and --m");
  // What the decoders refuse is not worth building: the row-list reader would refuse the file.
  if (n < MIN_SEARCH_BITS)
    return usage_error("--n " + std::to_string(n) + " is below " + std::to_string(MIN_SEARCH_BITS) +
                       ", the smallest block the decoders serve");
  if (m > n)
    return usage_error("--m " + std::to_string(m) + " exceeds --n " + std::to_string(n) +
                       "; the decoders need m <= n");
  if (!dat_path.empty() && form_of(dat_path) != Form::rows)
    return usage_error("the --dat file's name must end in .dat");
  if (!alist_path.empty() && form_of(alist_path) != Form::alist)
    return usage_error("the --alist file's name must end in .alist");

  ParityCheckMatrix h;
  std::string error;
  const bool built = (method == "peg") ? build_peg_code(n, m, column_weight, seed, h, error)
                                       : build_random_code(n, m, column_weight, seed, h, error);
  if (!built) {
    std::fprintf(stderr, "ldpcsw-code: %s construction failed: %s\n", method.c_str(),
                 error.c_str());
    return 1;
  }
  std::printf("method %s, column weight %d, seed %llu\n", method.c_str(), column_weight,
              static_cast<unsigned long long>(seed));
  print_summary(h, girth_limit);
  for (const std::string& path : {dat_path, alist_path}) {
    if (path.empty()) continue;
    if (!save(path, h, error)) return file_error(path, error);
    std::printf("wrote %s\n", path.c_str());
  }
  return 0;
}

int run_convert(int argc, char** argv) {
  if (argc != 4) return usage_error("convert needs IN and OUT");
  const std::string in = argv[2], out = argv[3];
  if (form_of(out) == Form::unknown)
    return file_error(out, "unknown form; the name must end in .dat or .alist");
  ParityCheckMatrix h;
  std::string error;
  if (!load(in, h, error)) return file_error(in, error);
  if (!save(out, h, error)) return file_error(out, error);
  return 0;
}

int run_info(int argc, char** argv) {
  int girth_limit = 0;
  if (argc == 5 && std::string(argv[3]) == "--girth-limit") {
    if (!parse_girth_limit(argv[4], girth_limit))
      return usage_error("bad value '" + std::string(argv[4]) + "' for --girth-limit");
  } else if (argc != 3) {
    return usage_error("info needs FILE");
  }
  const std::string path = argv[2];
  ParityCheckMatrix h;
  std::string error;
  if (!load(path, h, error)) return file_error(path, error);
  print_summary(h, girth_limit);
  // The rank, not m, is the number of syndrome bits that carry information.
  const long long rank = gf2_rank(h.n, h.m, h.ir.data(), h.jc.data());
  if (rank >= 0)
    std::printf("rank %lld over GF(2) (%lld of the %d rows depend on the others)\n", rank,
                h.m - rank, h.m);
  else
    std::printf("rank not computed: m * n = %llu bits is beyond the dense elimination's %llu\n",
                static_cast<unsigned long long>(h.m) * static_cast<unsigned long long>(h.n),
                static_cast<unsigned long long>(DENSE_RANK_MAX_BITS));
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  // -h/--help and --version answer wherever they stand, before any work.
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "-h" || arg == "--help" || (i == 1 && arg == "help")) {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("ldpcsw-code %s\n", LDPCSW_VERSION);
      return 0;
    }
  }
  if (argc < 2) return usage_error("no command given");
  const std::string command = argv[1];
  if (command == "build") return run_build(argc, argv);
  if (command == "convert") return run_convert(argc, argv);
  if (command == "info") return run_info(argc, argv);
  return usage_error("unknown command " + command);
}
