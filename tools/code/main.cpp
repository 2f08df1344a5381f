// ldpcsw-code: builds, converts and inspects parity-check matrices.
//
//   ldpcsw-code build --n N --m M [--column-weight W] [--seed S] [--method peg|random]
//                     [--dat FILE] [--alist FILE] [--girth-limit L]
//                     [--column-degrees D:F,... | --lambda D:F,...]
//                     [--row-degrees D:F,... | --rho D:F,...] [--depth D]
//   ldpcsw-code threshold (--column-weight W | --column-degrees ... | --lambda ...)
//                         (--row-weight R | --row-degrees ... | --rho ... | --rate R)
//                         [--step S] [--range L]
//   ldpcsw-code convert IN OUT
//   ldpcsw-code info FILE [--girth-limit L]
//   ldpcsw-code rate-adapt MATRIX --out CHAIN [--seed S] [--steps K | --min-rate R] [--depth D]
//                                            [--follow W]
//   ldpcsw-code info CHAIN [--matrix MATRIX] [--codes C] [--girth-limit L]
//
// The form of a file is told by its extension: .dat is the row-list form, .alist the alist
// form. Defaults: column weight 3, seed 1, method peg, no girth limit (beyond n = 20000 a
// build bounds its search depth and its girth report). build refuses n below 21 and m above
// n, which the decoders refuse. Exit status 0 on success (and after -h/--help or --version),
// 1 for a bad file or a construction that fails, 2 for a bad command line; every failure
// prints one line on standard error.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include "code/convert.h"
#include "code/degrees.h"
#include "code/density.h"
#include "code/load.h"
#include "code/matrix.h"
#include "code/peg.h"
#include "code/rank.h"
#include "code/rate_adapt.h"
#include "code/writers.h"
#include "tools/version.h"

namespace {

using namespace ldpcsw;

constexpr const char* USAGE =
    "usage: ldpcsw-code build --n N --m M [--column-weight W] [--seed S] [--method peg|random]"
    " [--dat FILE] [--alist FILE] [--girth-limit L]\n"
    "                         [--column-degrees D:F,... | --lambda D:F,...]"
    " [--row-degrees D:F,... | --rho D:F,...] [--depth D]\n"
    "       ldpcsw-code threshold (--column-weight W | --column-degrees D:F,... | --lambda D:F,...)"
    " (--row-weight R | --row-degrees D:F,... | --rho D:F,... | --rate R) [--step S] [--range L]\n"
    "       ldpcsw-code convert IN OUT\n"
    "       ldpcsw-code info FILE [--girth-limit L]\n"
    "       ldpcsw-code rate-adapt MATRIX --out CHAIN [--seed S] [--steps K | --min-rate R]"
    " [--depth D] [--follow W]\n"
    "       ldpcsw-code info CHAIN [--matrix MATRIX] [--codes C] [--girth-limit L]\n"
    "       ldpcsw-code help | -h | --help          this text\n"
    "       ldpcsw-code --version                   the version\n"
    "Exit status: 0 done (help and --version too), 1 a bad file or a failed construction,\n"
    "2 a wrong command line.\n";

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

// Creates `path` and fills it with `write` (binary mode: the bytes are the same on every
// platform); a partly written file is removed.
template <typename Write>
bool write_new_file(const std::string& path, const Write& write, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    error = std::string("cannot open for writing: ") + std::strerror(errno);
    return false;
  }
  errno = 0;
  bool ok = write(file);
  const int write_errno = errno;
  if (std::fclose(file) != 0) ok = false;
  if (!ok) {
    const int cause = write_errno ? write_errno : errno;
    error = cause ? std::string("write failed: ") + std::strerror(cause) : "write failed";
    std::remove(path.c_str());
  }
  return ok;
}

// Writes `h` in the form told by the name.
bool save(const std::string& path, const ParityCheckMatrix& h, std::string& error) {
  const Form form = form_of(path);
  if (form == Form::unknown) {
    error = "unknown form; the name must end in .dat or .alist";
    return false;
  }
  return write_new_file(
      path,
      [&](std::FILE* file) {
        return form == Form::rows ? write_code_rows(file, h) : write_code_alist(file, h);
      },
      error);
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

// Beyond this many columns a build bounds its neighbourhood search and its girth report by
// default, so that it finishes in seconds; below it, both are exact.
constexpr int FULL_SEARCH_COLUMNS = CODE_FULL_SEARCH_COLUMNS;  // the texts below name it
constexpr int DEFAULT_GIRTH_LIMIT = 10;

// A degree distribution as given on the command line: by option name and text.
struct DistributionArgument {
  std::string option, text;
  bool given() const { return !option.empty(); }
};

// Reads the distribution of `arg` (node fractions unless the option is --lambda or --rho).
bool parse_distribution(const DistributionArgument& arg, DegreeDistribution& d,
                        std::string& error) {
  const DegreePerspective perspective = (arg.option == "--lambda" || arg.option == "--rho")
                                            ? DegreePerspective::edge
                                            : DegreePerspective::node;
  if (code_parse_degrees(arg.text, perspective, d, error)) return true;
  error = arg.option + " " + arg.text + ": " + error;
  return false;
}

// `degree:fraction,...` with six significant digits.
std::string format_fractions(const std::vector<int>& degrees, const std::vector<double>& values) {
  std::string text;
  char item[64];
  for (std::size_t i = 0; i < degrees.size(); ++i) {
    std::snprintf(item, sizeof item, "%s%d:%.6g", i ? "," : "", degrees[i], values[i]);
    text += item;
  }
  return text;
}

// The node degrees' distribution in both perspectives and as counts.
void print_realised(const char* what, const std::vector<int>& node_degrees, const char* edge_name) {
  std::vector<int> degrees;
  std::vector<double> fractions;
  for (int d : node_degrees) {
    const auto at = std::lower_bound(degrees.begin(), degrees.end(), d);
    const std::size_t i = static_cast<std::size_t>(at - degrees.begin());
    if (at == degrees.end() || *at != d) {
      degrees.insert(at, d);
      fractions.insert(fractions.begin() + static_cast<std::ptrdiff_t>(i), 0.0);
    }
    fractions[i] += 1;
  }
  for (double& f : fractions) f /= static_cast<double>(node_degrees.size());
  const DegreeDistribution realised{degrees, fractions};
  std::printf("%s %s (%s), %s %s, mean %.6g\n", what, format_fractions(degrees, fractions).c_str(),
              code_describe_degrees(node_degrees).c_str(), edge_name,
              format_fractions(degrees, code_edge_fractions(realised)).c_str(),
              code_mean_degree(realised));
}

void print_progress(int done, int n, void* context) {
  int& last = *static_cast<int*>(context);
  const int percent = static_cast<int>(static_cast<std::int64_t>(done) * 100 / n);
  if (percent == last) return;
  last = percent;
  std::fprintf(stderr, "\rpeg: %d of %d columns (%d%%)%s", done, n, percent,
               done == n ? "\n" : "");
  std::fflush(stderr);
}

int run_build(int argc, char** argv) {
  int n = 0, m = 0, column_weight = 3, girth_limit = 0, depth = -1;
  bool column_weight_given = false, girth_limit_given = false;
  std::uint64_t seed = 1;
  std::string method = "peg", dat_path, alist_path;
  DistributionArgument column_arg, row_arg;
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
      ok = parse_number(value, column_weight) && column_weight > 0, column_weight_given = true;
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
      ok = parse_girth_limit(value, girth_limit), girth_limit_given = true;
    else if (option == "--depth")
      ok = parse_number(value, depth) && depth >= 0;
    else if (option == "--column-degrees" || option == "--lambda") {
      if (column_arg.given())
        return usage_error(option + " and " + column_arg.option + " exclude each other");
      column_arg = {option, value};
    } else if (option == "--row-degrees" || option == "--rho") {
      if (row_arg.given())
        return usage_error(option + " and " + row_arg.option + " exclude each other");
      row_arg = {option, value};
    } else
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
  if (column_arg.given() && column_weight_given)
    return usage_error("--column-weight and " + column_arg.option + " exclude each other");
  if (method == "random" && (column_arg.given() || row_arg.given() || depth >= 0))
    return usage_error("--method random takes only --column-weight");

  // A regular peg build within the exact range, or with --depth 0, is the classic builder.
  const bool distributed = column_arg.given() || row_arg.given();
  const bool default_depth = depth < 0;
  if (default_depth && n <= CODE_FULL_SEARCH_COLUMNS) depth = 0;
  if (!girth_limit_given && n > FULL_SEARCH_COLUMNS) girth_limit = DEFAULT_GIRTH_LIMIT;

  ParityCheckMatrix h;
  std::string error;
  bool built;
  int progress_last = -1;
  if (method == "random") {
    built = build_random_code(n, m, column_weight, seed, h, error);
  } else if (!distributed && depth == 0) {
    built = build_peg_code(n, m, column_weight, seed, h, error);
  } else {
    DegreeDistribution columns = code_regular_degrees(column_weight), rows;
    if (column_arg.given() && !parse_distribution(column_arg, columns, error))
      return usage_error(error);
    if (row_arg.given() && !parse_distribution(row_arg, rows, error)) return usage_error(error);
    std::vector<int> column_degrees, row_degrees;
    if (!code_realise_degrees(n, m, columns, row_arg.given() ? &rows : nullptr, column_degrees,
                              row_degrees, error)) {
      std::fprintf(stderr, "ldpcsw-code: %s construction failed: %s\n", method.c_str(),
                   error.c_str());
      return 1;
    }
    // Whole numbers of nodes, and rows matched to the columns' ones, may not realise what was
    // asked for: the build goes on with the nearest realisation and says what changed.
    for (const auto& [arg, asked, realised, noun] :
         {std::tuple{&column_arg, &columns, &column_degrees, "columns"},
          std::tuple{&row_arg, &rows, &row_degrees, "rows"}}) {
      if (!arg->given()) continue;
      const std::string departures = code_degree_departures(*asked, *realised, noun);
      if (!departures.empty())
        std::fprintf(stderr,
                     "ldpcsw-code: warning: %s %s cannot be realised with n %d, m %d; built "
                     "the nearest (%s): %s\n",
                     arg->option.c_str(), arg->text.c_str(), n, m,
                     code_describe_degrees(*realised).c_str(), departures.c_str());
    }
    if (default_depth && depth < 0) depth = code_peg_build_depth(n, column_degrees, row_degrees);
    PegOptions options;
    options.depth_limit = depth;
    if (isatty(STDERR_FILENO)) {
      options.progress = &print_progress;
      options.progress_context = &progress_last;
    }
    built = build_peg_irregular(column_degrees, row_degrees, seed, options, h, error);
  }
  if (!built) {
    std::fprintf(stderr, "ldpcsw-code: %s construction failed: %s\n", method.c_str(),
                 error.c_str());
    return 1;
  }
  if (column_arg.given())
    std::printf("method %s, %s %s, seed %llu\n", method.c_str(), column_arg.option.c_str() + 2,
                column_arg.text.c_str(), static_cast<unsigned long long>(seed));
  else
    std::printf("method %s, column weight %d, seed %llu\n", method.c_str(), column_weight,
                static_cast<unsigned long long>(seed));
  if (method == "peg" && depth > 0)
    std::printf("search depth %d%s\n", depth,
                default_depth ? " (chosen by default beyond n = 20000; --depth 0 searches fully)"
                              : "");
  if (distributed) {
    const ColumnMatrix by_column = code_columns_of(h);
    std::vector<int> column_degrees(h.n), row_degrees(h.m);
    for (int c = 0; c < h.n; ++c)
      column_degrees[c] = by_column.col_ptr[c + 1] - by_column.col_ptr[c];
    for (int r = 0; r < h.m; ++r) row_degrees[r] = h.ir[r + 1] - h.ir[r];
    print_realised("columns", column_degrees, "lambda");
    print_realised("rows", row_degrees, "rho");
  }
  if (!girth_limit_given && n > FULL_SEARCH_COLUMNS)
    std::printf("girth searched up to %d (the default beyond n = %d; --girth-limit 0 searches "
                "fully)\n",
                girth_limit, FULL_SEARCH_COLUMNS);
  print_summary(h, girth_limit);
  for (const std::string& path : {dat_path, alist_path}) {
    if (path.empty()) continue;
    if (!save(path, h, error)) return file_error(path, error);
    std::printf("wrote %s\n", path.c_str());
  }
  return 0;
}

int run_threshold(int argc, char** argv) {
  int column_weight = 0, row_weight = 0;
  double rate = -1;
  DensityOptions options;
  DistributionArgument column_arg, row_arg;
  for (int i = 2; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return usage_error("option " + option + " needs a value");
    const char* value = argv[++i];
    bool ok = true;
    if (option == "--column-weight")
      ok = parse_number(value, column_weight) && column_weight > 0;
    else if (option == "--row-weight")
      ok = parse_number(value, row_weight) && row_weight > 0;
    else if (option == "--rate")
      ok = parse_number(value, rate) && rate > 0 && rate < 1;
    else if (option == "--step")
      ok = parse_number(value, options.step) && options.step >= 1.0 / 256 && options.step <= 1;
    else if (option == "--range")
      ok = parse_number(value, options.range) && options.range >= 4 && options.range <= 60;
    else if (option == "--column-degrees" || option == "--lambda") {
      if (column_arg.given())
        return usage_error(option + " and " + column_arg.option + " exclude each other");
      column_arg = {option, value};
    } else if (option == "--row-degrees" || option == "--rho") {
      if (row_arg.given())
        return usage_error(option + " and " + row_arg.option + " exclude each other");
      row_arg = {option, value};
    } else
      return usage_error("unknown option " + option);
    if (!ok) return usage_error("bad value '" + std::string(value) + "' for " + option);
  }
  if ((column_weight > 0) + column_arg.given() != 1)
    return usage_error("threshold needs one of --column-weight, --column-degrees, --lambda");
  if ((row_weight > 0) + row_arg.given() + (rate >= 0) != 1)
    return usage_error("threshold needs one of --row-weight, --row-degrees, --rho, --rate");
  DegreeDistribution columns = code_regular_degrees(column_weight), rows;
  std::string error;
  if (column_arg.given() && !parse_distribution(column_arg, columns, error))
    return usage_error(error);
  if (row_arg.given()) {
    if (!parse_distribution(row_arg, rows, error)) return usage_error(error);
  } else if (row_weight > 0) {
    rows = code_regular_degrees(row_weight);
  } else {
    rows = code_rows_for_rate(columns, rate);
  }
  const double design_rate = code_design_rate(columns, rows);
  if (!(design_rate > 0))
    return usage_error("the ensemble's rate " + std::to_string(design_rate) + " is not positive");
  std::printf("columns %s, lambda %s\n",
              format_fractions(columns.degrees, columns.fractions).c_str(),
              format_fractions(columns.degrees, code_edge_fractions(columns)).c_str());
  std::printf("rows %s, rho %s\n", format_fractions(rows.degrees, rows.fractions).c_str(),
              format_fractions(rows.degrees, code_edge_fractions(rows)).c_str());
  std::printf("design rate %.6g, grid step %.6g, range %.6g, bisection to %.6g\n", design_rate,
              options.step, options.range, options.tolerance);
  std::fflush(stdout);
  double threshold = 0;
  // On a terminal, each bisection step on stderr; the line is cleared at the end.
  const bool show = ::isatty(STDERR_FILENO) == 1;
  ThresholdProgress progress;
  if (show)
    progress = [](int step, int steps, double lo, double hi) {
      std::fprintf(stderr, "\rdensity evolution: step %d/%d, p* in [%.5f, %.5f]\033[K", step,
                   steps, lo, hi);
      std::fflush(stderr);
    };
  const bool found = code_threshold(columns, rows, options, threshold, error, progress);
  if (show) std::fputs("\r\033[K", stderr);
  if (!found) return usage_error(error);
  const double limit = code_slepian_wolf_limit(design_rate);
  std::printf("threshold p* %.5f, Slepian-Wolf limit %.5f, gap %.5f\n", threshold, limit,
              limit - threshold);
  if (!(threshold > 0.0))
    std::printf("p* is 0: %s\n",
                columns.degrees.front() == 1
                    ? "columns of degree 1 keep an error probability above 0 at every p > 0"
                    : "density evolution converges at no p > 0");
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

// Reads a chain file through the shared loader.
bool load_chain(const std::string& path, RateAdaptChain& chain, std::string& error) {
  return load_rate_adapt(path, chain, error) == LoadStatus::ok;
}

// Whether the file at `path` is a chain file, told by its first word.
bool is_chain_file(const std::string& path) {
  std::FILE* file = std::fopen(path.c_str(), "r");
  if (file == nullptr) return false;
  const bool chain = starts_as_rate_adapt(file);
  std::fclose(file);
  return chain;
}

// Writes the chain; a partly written file is removed.
bool save_chain(const std::string& path, const RateAdaptChain& chain, std::string& error) {
  return write_new_file(path, [&](std::FILE* file) { return write_rate_adapt(file, chain); },
                        error);
}

// The codes of the chain at `count` steps spread evenly from 0 to the last (both included):
// rows, rank, rate = rank / n, row and column weights and girth.
void print_chain_codes(const ParityCheckMatrix& h, const RateAdaptChain& chain, int count,
                       int girth_limit) {
  std::vector<long long> ranks;
  const bool ranked = rate_adapt_ranks(h, chain, ranks, DENSE_RANK_MAX_BITS);
  const int steps = chain.steps();
  if (ranked)
    std::printf("rates (rank / n) from %.6f down to %.6f\n",
                static_cast<double>(ranks.front()) / h.n, static_cast<double>(ranks.back()) / h.n);
  else
    std::printf("rank not computed: m * n = %llu bits is beyond the dense elimination's %llu; "
                "rows / n is an upper bound of each rate\n",
                static_cast<unsigned long long>(h.m) * static_cast<unsigned long long>(h.n),
                static_cast<unsigned long long>(DENSE_RANK_MAX_BITS));
  std::printf("%7s %7s %7s %9s %9s %9s %6s  %s\n", "step", "rows", "rank", "rate", "columns",
              "rows", "girth", "row weights (count x weight)");
  std::vector<int> shown;
  const int wanted = std::min(count, steps + 1);
  for (int i = 0; i < wanted; ++i) {
    const int k = wanted == 1 ? 0
                              : static_cast<int>(static_cast<long long>(steps) * i / (wanted - 1));
    if (shown.empty() || shown.back() != k) shown.push_back(k);
  }
  for (int k : shown) {
    const ParityCheckMatrix code = rate_adapt_code(h, chain, k);
    const CodeWeights w = code_weights(code);
    std::vector<int> row_weights(static_cast<std::size_t>(code.m));
    for (int r = 0; r < code.m; ++r) row_weights[r] = code.ir[r + 1] - code.ir[r];
    const int girth = code_girth(code, girth_limit);
    char rank_text[24], rate_text[24], girth_text[24], columns[24], rows[24];
    if (ranked) {
      std::snprintf(rank_text, sizeof rank_text, "%lld", ranks[k]);
      std::snprintf(rate_text, sizeof rate_text, "%.6f", static_cast<double>(ranks[k]) / h.n);
    } else {
      std::snprintf(rank_text, sizeof rank_text, "-");
      std::snprintf(rate_text, sizeof rate_text, "<=%.6f", static_cast<double>(code.m) / h.n);
    }
    if (girth > 0) std::snprintf(girth_text, sizeof girth_text, "%d", girth);
    else if (girth == 0 && girth_limit > 0) std::snprintf(girth_text, sizeof girth_text, ">%d", girth_limit);
    else std::snprintf(girth_text, sizeof girth_text, girth == 0 ? "inf" : "-");
    std::snprintf(columns, sizeof columns, "%d..%d", w.min_column, w.max_column);
    std::snprintf(rows, sizeof rows, "%d..%d", w.min_row, w.max_row);
    std::printf("%7d %7d %7s %9s %9s %9s %6s  %s\n", k, code.m, rank_text, rate_text, columns,
                rows, girth_text, code_describe_degrees(row_weights).c_str());
  }
}

// ldpcsw-code info CHAIN [--matrix MATRIX] [--codes C] [--girth-limit L]
int run_chain_info(int argc, char** argv) {
  std::string matrix_path;
  int count = 11, girth_limit = 8;
  for (int i = 3; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return usage_error("option " + option + " needs a value");
    const char* value = argv[++i];
    bool ok = true;
    if (option == "--matrix")
      matrix_path = value;
    else if (option == "--codes")
      ok = parse_number(value, count) && count >= 1;
    else if (option == "--girth-limit")
      ok = parse_girth_limit(value, girth_limit);
    else
      return usage_error("unknown option " + option + " for a rate adaptation file");
    if (!ok) return usage_error("bad value '" + std::string(value) + "' for " + option);
  }
  const std::string path = argv[2];
  RateAdaptChain chain;
  std::string error;
  if (!load_chain(path, chain, error)) return file_error(path, error);
  std::printf("rate adaptation chain of %d merges for a matrix of n %d, m %d (fingerprint %s)\n",
              chain.steps(), chain.n, chain.m,
              rate_adapt_fingerprint_text(chain.fingerprint).c_str());
  std::printf("rows from %d down to %d (rows / n from %.6f down to %.6f)\n", chain.m,
              chain.m - chain.steps(), static_cast<double>(chain.m) / chain.n,
              static_cast<double>(chain.m - chain.steps()) / chain.n);
  if (matrix_path.empty()) {
    std::printf("give --matrix MATRIX for the rank, rate and degrees of its codes\n");
    return 0;
  }
  ParityCheckMatrix h;
  if (!load(matrix_path, h, error)) return file_error(matrix_path, error);
  if (!rate_adapt_check_matrix(chain, h, error)) return file_error(path, error);
  print_chain_codes(h, chain, count, girth_limit);
  return 0;
}

// ldpcsw-code rate-adapt MATRIX --out CHAIN [--seed S] [--steps K | --min-rate R] [--depth D]
//                       [--follow W]
int run_rate_adapt(int argc, char** argv) {
  if (argc < 3 || argv[2][0] == '-') return usage_error("rate-adapt needs MATRIX");
  const std::string matrix_path = argv[2];
  std::string out;
  RateAdaptOptions options;
  options.depth = 0;
  options.follow = -1;
  int steps = -1;
  double min_rate = -1;
  std::string min_rate_text;
  for (int i = 3; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) return usage_error("option " + option + " needs a value");
    const char* value = argv[++i];
    bool ok = true;
    if (option == "--out")
      out = value;
    else if (option == "--seed")
      ok = parse_number(value, options.seed);
    else if (option == "--steps")
      ok = parse_number(value, steps) && steps >= 1;
    else if (option == "--min-rate")
      ok = parse_number(value, min_rate) && min_rate > 0 && min_rate < 1, min_rate_text = value;
    else if (option == "--depth")
      ok = parse_number(value, options.depth) && options.depth >= 1;
    else if (option == "--follow")
      ok = parse_number(value, options.follow) && options.follow >= 0;
    else
      return usage_error("unknown option " + option);
    if (!ok) return usage_error("bad value '" + std::string(value) + "' for " + option);
  }
  if (out.empty()) return usage_error("rate-adapt needs --out CHAIN");
  const bool default_depth = options.depth == 0;
  if (steps >= 0 && min_rate >= 0) return usage_error("--steps and --min-rate exclude each other");
  ParityCheckMatrix h;
  std::string error;
  if (!load(matrix_path, h, error)) return file_error(matrix_path, error);
  if (steps >= 0) {
    if (steps > h.m - 1)
      return usage_error("--steps " + std::to_string(steps) + " exceeds " +
                         std::to_string(h.m - 1) + ", the merges that leave one of the " +
                         std::to_string(h.m) + " rows");
    options.steps = steps;
  } else if (min_rate >= 0) {
    options.steps = rate_adapt_steps_for_rate(h.n, h.m, min_rate);
    if (options.steps == 0)
      return usage_error("--min-rate " + min_rate_text +
                         " leaves nothing to merge: the matrix's " + std::to_string(h.m) +
                         " rows over n " + std::to_string(h.n) + " are already at or below it");
  } else {
    // By default the rows are merged down to a quarter: groups of about four.
    options.steps = h.m - std::max(1, (h.m + 3) / 4);
    if (options.steps == 0) return usage_error("the matrix has one row; there is nothing to merge");
  }
  if (options.follow < 0) options.follow = rate_adapt_default_follow(h);
  if (default_depth) options.depth = rate_adapt_default_depth(h, options.follow);
  RateAdaptChain chain;
  if (!rate_adapt_build(h, options, chain, error)) {
    std::fprintf(stderr, "ldpcsw-code: rate-adapt failed: %s\n", error.c_str());
    return 1;
  }
  const std::string followed =
      options.follow == 0 ? "" : " through columns of up to " + std::to_string(options.follow) + " rows";
  std::printf("%d merges, seed %llu, depth %d%s: rows from %d down to %d (rows / n from %.6f down "
              "to %.6f)\n",
              chain.steps(), static_cast<unsigned long long>(options.seed), options.depth,
              followed.c_str(), h.m,
              h.m - chain.steps(), static_cast<double>(h.m) / h.n,
              static_cast<double>(h.m - chain.steps()) / h.n);
  if (!save_chain(out, chain, error)) return file_error(out, error);
  std::printf("wrote %s\n", out.c_str());
  return 0;
}

int run_info(int argc, char** argv) {
  if (argc >= 3 && is_chain_file(argv[2])) return run_chain_info(argc, argv);
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
  if (command == "threshold") return run_threshold(argc, argv);
  if (command == "rate-adapt") return run_rate_adapt(argc, argv);
  return usage_error("unknown command " + command);
}
