#include "tools/sweep/options.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "tools/version.h"

namespace ldpcsw::sweep {

namespace {

constexpr std::int64_t MAX_POINTS = 100000;

// A whole decimal number, nothing before or after it.
bool parse_double(const std::string& text, double& value) {
  if (text.empty()) return false;
  const char* begin = text.data();
  const char* end = begin + text.size();
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  return ec == std::errc() && ptr == end && std::isfinite(value);
}

template <typename Int>
bool parse_integer(const std::string& text, Int& value) {
  if (text.empty()) return false;
  const char* begin = text.data();
  const char* end = begin + text.size();
  const auto [ptr, ec] = std::from_chars(begin, end, value);
  return ec == std::errc() && ptr == end;
}

// The shortest text that reads back to v, so that two values a message names differ.
std::string shortest(double v) {
  char buf[64];
  const auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, ptr) : std::string("nan");
}

double round12(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.12g", v);
  return std::strtod(buf, nullptr);
}

// The items of a --p value: separated by commas or white space (white space around a comma is
// ignored). An empty item, as in "0.1," or "0.1,,0.2", comes back as an empty token, which
// no number matches.
std::vector<std::string> p_tokens(const std::string& text) {
  std::vector<std::string> tokens;
  std::string token;
  bool after_comma = false;  // the next item must follow
  std::size_t i = 0;
  auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\n'; };
  while (i < text.size() || after_comma || tokens.empty()) {
    while (i < text.size() && blank(text[i])) ++i;
    token.clear();
    while (i < text.size() && text[i] != ',' && !blank(text[i])) token += text[i++];
    while (i < text.size() && blank(text[i])) ++i;
    tokens.push_back(token);
    after_comma = i < text.size() && text[i] == ',';
    if (after_comma) ++i;
    if (i >= text.size() && !after_comma) break;
  }
  return tokens;
}

std::vector<std::string> split(const std::string& text, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(text);
  while (std::getline(in, part, sep)) parts.push_back(part);
  if (!text.empty() && text.back() == sep) parts.emplace_back();
  return parts;
}

// Options that take a value, as the command line may spell them.
const char* const VALUE_OPTIONS[] = {"--matrix", "--format",  "--p",       "--blocks",
                                     "--max-frame-errors", "--decoder", "--seed", "--threads",
                                     "--csv", "--q", "--normalise", "--offset", "--iterations",
                                     "--simd-target", "--threshold", "--device",
                                     "--rate-adaptive", "--search"};

// The option a command-line word names: "--csv" and "--csv=x" both name --csv.
std::string option_of(const std::string& word) {
  return word.substr(0, word.find('='));
}

// Why the option parser refused the line, in the sweep's own words: found from the line itself
// (an option given twice, an option without its value, a word that belongs to no option).
std::string refusal_of(const CLI::ParseError& e, const CLI::App& app, int argc,
                       const char* const* argv) {
  if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
    for (const char* name : {"--matrix", "--p"})
      if (app.count(name) == 0) return std::string(name) + " is required";
  }
  for (const char* name : VALUE_OPTIONS) {
    int given = 0;
    bool missing_value = false;
    for (int i = 1; i < argc; ++i) {
      const std::string word = argv[i];
      if (option_of(word) != name) continue;
      ++given;
      if (word.find('=') == std::string::npos &&
          (i + 1 >= argc || std::string(argv[i + 1]).rfind("--", 0) == 0))
        missing_value = true;
    }
    if (missing_value) return std::string(name) + " needs a value";
    if (given > 1 && std::string(name) != "--p")
      return std::string(name) + " is given " + std::to_string(given) + " times; give it once";
  }
  if (dynamic_cast<const CLI::ExtrasError*>(&e) != nullptr) {
    const std::vector<std::string> extras = app.remaining();
    if (!extras.empty()) {
      const std::string& word = extras.front();
      if (word.size() > 1 && word[0] == '-') return "unknown option " + option_of(word);
      return "unexpected argument '" + word + "' (every value follows its option)";
    }
  }
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const std::string name = option_of(word);
    if (word.find('=') != std::string::npos &&
        (name == "--resume" || name == "--overwrite" || name == "--quiet" || name == "-q"))
      return name + " takes no value";
  }
  return "the command line cannot be read";
}

// True when `text` is a decimal number, digits with an optional fraction and exponent
// (1e6, 2.5E3), whose exact value is a whole number above `limit`. Exact: the digits are
// shifted by the exponent as text, never rounded through a double.
bool decimal_above(const std::string& text, std::uint64_t limit) {
  std::size_t i = 0;
  std::string digits;
  long long exponent = 0;
  while (i < text.size() && text[i] >= '0' && text[i] <= '9') digits += text[i++];
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
      digits += text[i];
      --exponent;
    }
  }
  if (digits.empty()) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    long long e = 0;
    if (!parse_integer(text.substr(i + 1), e) || e > 1000000 || e < -1000000) return false;
    exponent += e;
    i = text.size();
  }
  if (i != text.size()) return false;
  digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size()));
  while (!digits.empty() && digits.back() == '0') digits.pop_back(), ++exponent;
  if (digits.empty() || exponent < 0) return false;  // zero, or not whole
  if (static_cast<long long>(digits.size()) + exponent > 20) return true;
  digits.append(static_cast<std::size_t>(exponent), '0');
  std::uint64_t whole = 0;
  return !parse_integer(digits, whole) || whole > limit;
}

// A count that must be whole and lie in min..2^53 (beyond 2^53 a double, in which the counts
// may be written as 1e6, no longer holds every whole number). Empty when it does, else why not.
std::string count_problem(const std::string& option, const std::string& text, double min,
                          double& value) {
  constexpr double LIMIT = 9007199254740992.0;  // 2^53
  const std::string head = option + ": '" + text + "' ";
  // The count is compared with 2^53 in decimal, before it becomes a double: as a double,
  // 2^53 + 1 (written out or as 9.007199254740993e15) would round to 2^53 and pass.
  if (decimal_above(text, static_cast<std::uint64_t>(LIMIT)))
    return head + "is above 2^53 = 9007199254740992, the largest count taken";
  if (!parse_double(text, value)) return head + "is not a number";
  if (value != std::floor(value)) return head + "is not a whole number";
  if (value < min)
    return head + "is below " + std::to_string(static_cast<long long>(min));
  if (value > LIMIT) return head + "is above 2^53 = 9007199254740992, the largest count taken";
  return "";
}

}  // namespace

bool parse_p_list(const std::vector<std::string>& items, std::vector<double>& ps,
                  std::string& error) {
  ps.clear();
  for (const std::string& item : items) {
    for (const std::string& token : p_tokens(item)) {
      const std::vector<std::string> parts = split(token, ':');
      if (parts.size() == 1) {
        double p = 0.0;
        if (!parse_double(token, p)) {
          error = "--p: '" + token + "' is not a number or a range FIRST:LAST:STEP";
          return false;
        }
        ps.push_back(p);
      } else if (parts.size() == 3) {
        double first = 0.0, last = 0.0, step = 0.0;
        if (!parse_double(parts[0], first) || !parse_double(parts[1], last) ||
            !parse_double(parts[2], step)) {
          error = "--p: range '" + token + "' is not FIRST:LAST:STEP with three numbers";
          return false;
        }
        if (!(step > 0.0) || last < first) {
          error = "--p: range '" + token + "' needs STEP > 0 and FIRST <= LAST";
          return false;
        }
        const double span = (last - first) / step;
        if (span + 1 > static_cast<double>(MAX_POINTS)) {
          error = "--p: range '" + token + "' has more than " + std::to_string(MAX_POINTS) +
                  " points";
          return false;
        }
        const auto count = static_cast<std::int64_t>(std::floor(span + 1e-9)) + 1;
        for (std::int64_t i = 0; i < count; ++i)
          ps.push_back(round12(first + static_cast<double>(i) * step));
      } else {
        error = "--p: '" + token + "' is not a number or a range FIRST:LAST:STEP";
        return false;
      }
      if (static_cast<std::int64_t>(ps.size()) > MAX_POINTS) {
        error = "--p: more than " + std::to_string(MAX_POINTS) + " points";
        return false;
      }
    }
  }
  if (ps.empty()) {
    error = "--p: no crossover probability given";
    return false;
  }
  // The noise is drawn with probability t / 2^32 (t = noise_threshold(p)): a p whose t is 0
  // draws no noise, and two p with the same t are the same channel.
  std::vector<double> seen;
  std::vector<std::uint64_t> seen_noise;
  for (double p : ps) {
    if (!(p > 0.0 && p <= 0.5)) {
      char buf[64];
      std::snprintf(buf, sizeof buf, "%g", p);
      error = std::string("--p: ") + buf + " is outside (0, 0.5]";
      return false;
    }
    const std::uint64_t noise = noise_threshold(p);
    if (noise == 0) {
      error = "--p: " + shortest(p) +
              " is below 2^-33, the smallest crossover probability the noise drawing resolves";
      return false;
    }
    const auto same = std::find(seen_noise.begin(), seen_noise.end(), noise);
    if (same != seen_noise.end()) {
      const double other = seen[static_cast<std::size_t>(same - seen_noise.begin())];
      error = "--p: " + shortest(p) +
              (other == p ? " is given twice"
                          : " and " + shortest(other) +
                                " draw the same noise (p is resolved to 2^-32); give one of them");
      return false;
    }
    seen.push_back(p);
    seen_noise.push_back(noise);
  }
  return true;
}

void add_minsum_settings(const SweepOptions& options,
                         std::map<std::string, std::string>& settings) {
  if (!is_minsum(options.decoder)) return;
  const minsum::MinsumParams& ms = options.minsum;
  settings["minsum_q"] = ms.q == 0 ? "auto" : std::to_string(ms.q);
  if (ms.check == minsum::CheckRule::min_sum)
    settings["minsum_correction"] =
        ms.correction == minsum::Correction::offset ? "offset " + std::to_string(ms.beta)
        : ms.correction == minsum::Correction::normalise
            ? "normalise " + std::to_string(ms.norm_num) + "/" + std::to_string(1 << ms.norm_shift)
            : "by weight";
  settings["minsum_iterations"] = std::to_string(ms.max_iterations);
  if (schedule_of(options.decoder) == minsum::Schedule::layered)
    settings["minsum_posterior_bits"] = std::to_string(ms.posterior_bits);
}

int parse_sweep_options(int argc, const char* const* argv, SweepOptions& options,
                        std::string& message) {
  CLI::App app{
      "Sweeps the frame and bit error rates of LDPC syndrome decoding against the crossover\n"
      "probability p of the side information. For every p, blocks of equiprobable source bits\n"
      "are drawn, their syndrome is formed, and the decoder recovers them from the syndrome and\n"
      "a copy seen through a binary symmetric channel with crossover p. Counts are identical for\n"
      "any --threads and any number of MPI processes.",
      "ldpcsw-sweep"};
  app.get_formatter()->column_width(32);
  app.footer(
      "Examples:\n"
      "  ldpcsw-sweep --matrix data/Reg504252.dat --p 0.02:0.10:0.005 --csv sweep.csv\n"
      "  ldpcsw-sweep --matrix data/Reg504252.alist --decoder plain --p 0.05,0.06 --blocks 1e6\n"
      "  mpirun -np 4 ldpcsw-sweep --matrix H.dat --p 0.04:0.08:0.01 --csv run.csv --resume\n"
      "\n"
      "Exit status: 0 done, 1 unreadable matrix or output file, 2 wrong command line,\n"
      "130 interrupted (finished points and the unfinished point's counts are in the CSV;\n"
      "run again with --resume to continue).");

  std::string format = "detect", decoder = "adaptive", blocks_text = "100000", k_text = "100",
              seed_text = "1", threads_text;
  std::vector<std::string> p_items;

  app.add_option("--matrix", options.matrix, "Parity-check matrix file (row-list or alist)")
      ->required()
      ->option_text("FILE");
  app.add_option("--format", format, "Matrix layout: detect (by content; default),\nrows or alist")
      ->option_text("LAYOUT");
  app.add_option("--p", p_items,
                 "Crossover probabilities in (0, 0.5]: values and\nranges FIRST:LAST:STEP, separated by commas or\n"
                 "spaces, e.g. 0.02:0.10:0.005 or 0.04,0.06")
      ->required()
      ->option_text("P...");
  app.add_option("--blocks", blocks_text,
                 "Blocks per point at most, 1 to 2^53; may be\nwritten 1e6 (default 100000)")
      ->option_text("N");
  app.add_option("--max-frame-errors", k_text,
                 "End a point after K failed blocks\n(default 100; 0: run all blocks)")
      ->option_text("K");
  app.add_option("--decoder", decoder,
                 "adaptive (up to 50 iterations; default),\nplain (up to 100 iterations), or the\n"
                 "fixed-point minsum-flooding, minsum-layered\nor spa-layered (sum-product)")
      ->option_text("NAME")
      ;
  std::string q_text, offset_text, normalise_text, iterations_text, posterior_text;
  app.add_option("--q", q_text,
                 "Fixed-point: channel magnitude Q, 1..127 (default\n16; spa-layered: ln((1-p)/p) in "
                 "1/8 nat)")
      ->option_text("Q");
  app.add_option("--normalise", normalise_text,
                 "Min-sum: check magnitudes times A/D, D a power\nof two up to 128 (default: each "
                 "check's\ncorrection from its weight)")
      ->option_text("A/D");
  app.add_option("--offset", offset_text,
                 "Min-sum: subtract B (0..127) from check magnitudes\ninstead of normalising")
      ->option_text("B");
  app.add_option("--iterations", iterations_text, "Fixed-point: iteration limit (default 50)")
      ->option_text("N");
  app.add_option("--posterior-bits", posterior_text,
                 "Layered fixed-point: a-posteriori values of 16\nbits (default) or 8 (the former "
                 "rule)")
      ->option_text("16|8");
  app.add_option("--simd-target", options.simd_target,
                 "Min-sum: force a SIMD target (avx2, sse4, scalar,\n...; default: the widest, or LDPCSW_SIMD_TARGET)")
      ->option_text("NAME");
  std::string device_text = "cpu";
  app.add_option("--device", device_text,
                 "Min-sum: decode on the cpu (default) or the gpu;\nthe counts are the same")
      ->option_text("cpu|gpu");
  std::string threshold_text;
  app.add_option("--threshold", threshold_text,
                 "Threshold p* of the code's ensemble, in (0, 0.5),\nor auto: density evolution of the "
                 "matrix's\ndegrees (may take a minute); recorded in FILE.run\nfor the plot")
      ->option_text("P|auto");
  app.add_option("--seed", seed_text, "Seed of the block streams (default 1)")
      ->option_text("S");
  app.add_option("--threads", threads_text,
                 "Decoding threads per process, 1 to 4096 (default:\nthe machine's cores, shared among its processes)")
      ->option_text("T");
  app.add_option("--csv", options.csv, "Write one row per point to this CSV file\n(and the run's settings to FILE.run)")
      ->option_text("FILE");
  app.add_option("--rate-adaptive", options.rate_adaptive,
                 "Critical-rate run: for every block, the lowest rate of\nthis rate-adaptive chain "
                 "(ldpcsw-code rate-adapt)\nat which the decoder recovers it, and per point\nthe "
                 "mean rate and its efficiency against H(p)");
  std::string search_text = "bisect";
  app.add_option("--search", search_text,
                 "--rate-adaptive: bisect (gallop from a guess, then\nbisect; default) or scan "
                 "(every step from the\nlowest rate up, as a protocol releases bits)");
  app.add_flag("--resume", options.resume,
               "Continue the sweep recorded in --csv: skip its\nfinished points, go on with an unfinished one\nfrom its next block");
  app.add_flag("--overwrite", options.overwrite, "Replace an existing --csv file");
  app.add_flag("-q,--quiet", options.quiet, "No progress line on a terminal");
  app.set_version_flag("--version", std::string("ldpcsw-sweep ") + LDPCSW_VERSION,
                       "Print the version and exit");

  auto fail = [&message](const std::string& what) {
    message = "ldpcsw-sweep: " + what + "\nRun 'ldpcsw-sweep --help' for the options.\n";
    return 2;
  };

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp&) {
    message = app.help();
    return 0;
  } catch (const CLI::CallForAllHelp&) {
    message = app.help("", CLI::AppFormatMode::All);
    return 0;
  } catch (const CLI::CallForVersion& e) {
    message = std::string(e.what()) + "\n";
    return 0;
  } catch (const CLI::ParseError& e) {
    return fail(refusal_of(e, app, argc, argv));
  }

  if (format == "detect") options.format = MatrixFormat::detect;
  else if (format == "rows") options.format = MatrixFormat::rows;
  else if (format == "alist") options.format = MatrixFormat::alist;
  else return fail("--format: '" + format + "' is not one of detect, rows, alist");

  if (decoder == "adaptive") options.decoder = DecoderKind::adaptive;
  else if (decoder == "plain") options.decoder = DecoderKind::plain;
  else if (decoder == "minsum-flooding") options.decoder = DecoderKind::minsum_flooding;
  else if (decoder == "minsum-layered") options.decoder = DecoderKind::minsum_layered;
  else if (decoder == "spa-layered") options.decoder = DecoderKind::spa_layered;
  else
    return fail("--decoder: '" + decoder +
                "' is not one of adaptive, plain, minsum-flooding, minsum-layered, spa-layered");

  // The fixed-point parameters apply to the fixed-point decoders only.
  for (const char* name : {"--q", "--offset", "--normalise", "--iterations", "--simd-target",
                           "--posterior-bits"})
    if (app.count(name) > 0 && !is_minsum(options.decoder))
      return fail(std::string(name) + " applies to the fixed-point decoders only");
  for (const char* name : {"--offset", "--normalise"})
    if (app.count(name) > 0 && options.decoder == DecoderKind::spa_layered)
      return fail(std::string(name) + " applies to the min-sum decoders only");
  if (app.count("--posterior-bits") > 0 && options.decoder == DecoderKind::minsum_flooding)
    return fail("--posterior-bits applies to the layered decoders only");
  if (app.count("--offset") > 0 && app.count("--normalise") > 0)
    return fail("--offset and --normalise exclude each other");
  minsum::MinsumParams& ms = options.minsum;
  ms = minsum::default_params(schedule_of(options.decoder));
  if (options.decoder == DecoderKind::spa_layered) {
    ms.check = minsum::CheckRule::sum_product;
    ms.q = 0;  // from each point's p, unless --q gives it
  }
  if (!posterior_text.empty()) {
    if (posterior_text == "8") ms.posterior_bits = 8;
    else if (posterior_text == "16") ms.posterior_bits = 16;
    else return fail("--posterior-bits: '" + posterior_text + "' is neither 16 nor 8");
  }
  if (!offset_text.empty()) ms.correction = minsum::Correction::offset;
  if (!q_text.empty() && (!parse_integer(q_text, ms.q) || ms.q < 1 || ms.q > minsum::MSG_MAX))
    return fail("--q: '" + q_text + "' is not a whole number in 1..127");
  if (!offset_text.empty() &&
      (!parse_integer(offset_text, ms.beta) || ms.beta < 0 || ms.beta > minsum::MSG_MAX))
    return fail("--offset: '" + offset_text + "' is not a whole number in 0..127");
  if (!normalise_text.empty()) {
    const std::vector<std::string> parts = split(normalise_text, '/');
    int num = 0, den = 0, shift = 0;
    const bool ok = parts.size() == 2 && parse_integer(parts[0], num) &&
                    parse_integer(parts[1], den) && den >= 1 && den <= 128 &&
                    (den & (den - 1)) == 0 && num >= 1 && num <= den;
    if (!ok)
      return fail("--normalise: '" + normalise_text +
                  "' is not A/D with D a power of two up to 128 and 1 <= A <= D");
    while ((1 << shift) < den) ++shift;
    ms.correction = minsum::Correction::normalise;
    ms.norm_num = num;
    ms.norm_shift = shift;
  }
  if (!iterations_text.empty() &&
      (!parse_integer(iterations_text, ms.max_iterations) || ms.max_iterations < 1 ||
       ms.max_iterations > minsum::MAX_ITERATION_LIMIT))
    return fail("--iterations: '" + iterations_text + "' is not a whole number in 1..100000");
  if (device_text == "cpu") options.device = SweepDevice::cpu;
  else if (device_text == "gpu") options.device = SweepDevice::gpu;
  else return fail("--device: '" + device_text + "' is not one of cpu, gpu");
  if (search_text == "scan") options.critical_scan = true;
  else if (search_text != "bisect")
    return fail("--search: '" + search_text + "' is not one of bisect, scan");
  if (app.count("--search") > 0 && app.count("--rate-adaptive") == 0)
    return fail("--search applies to --rate-adaptive runs only");
  if (app.count("--rate-adaptive") > 0) {
    if (options.rate_adaptive.empty()) return fail("--rate-adaptive: the file name is empty");
    if (app.count("--max-frame-errors") > 0)
      return fail("--max-frame-errors does not apply to --rate-adaptive: a critical-rate run "
                  "searches every one of its --blocks");
  }
  if (options.device == SweepDevice::gpu && !is_minsum(options.decoder))
    return fail(std::string("--device gpu: the ") + decoder_name(options.decoder) +
                " decoder runs on the cpu only; the gpu runs minsum-flooding, minsum-layered and "
                "spa-layered");
  if (app.count("--simd-target") > 0 && options.simd_target.empty())
    return fail("--simd-target: the name is empty");
  if (is_minsum(options.decoder)) {
    if (app.count("--simd-target") == 0) {
      const char* env = std::getenv("LDPCSW_SIMD_TARGET");
      if (env != nullptr) options.simd_target = env;
    }
    std::string target_error;
    if (!minsum::minsum_force_target_by_name(options.simd_target, target_error))
      return fail((app.count("--simd-target") > 0 ? "--simd-target: " : "LDPCSW_SIMD_TARGET: ") +
                  target_error);
  }

  double blocks = 0.0;
  std::string problem = count_problem("--blocks", blocks_text, 1.0, blocks);
  if (!problem.empty()) return fail(problem);
  options.blocks = static_cast<std::int64_t>(blocks);

  double k = 0.0;
  problem = count_problem("--max-frame-errors", k_text, 0.0, k);
  if (!problem.empty()) return fail(problem);
  options.max_frame_errors = options.rate_adaptive.empty() ? static_cast<std::int64_t>(k) : 0;

  if (!parse_integer(seed_text, options.seed))
    return fail("--seed: '" + seed_text + "' is not a whole number in 0..18446744073709551615");

  options.threads = 0;
  if (app.count("--threads") > 0) {
    int threads = 0;
    if (!parse_integer(threads_text, threads))
      return fail("--threads: '" + threads_text + "' is not a whole number in 1..4096");
    if (threads < 1 || threads > 4096)
      return fail("--threads: " + std::to_string(threads) + " is outside 1..4096");
    options.threads = threads;
  }

  if (app.count("--threshold") > 0 && threshold_text.empty())
    return fail("--threshold: '' is neither auto nor a number in (0, 0.5)");
  if (threshold_text == "auto") {
    options.threshold_auto = true;
  } else if (!threshold_text.empty()) {
    double t = 0.0;
    const char* first = threshold_text.c_str();
    char* end = nullptr;
    t = std::strtod(first, &end);
    if (end == first || *end != '\0' || !(t > 0.0 && t < 0.5))
      return fail("--threshold: '" + threshold_text + "' is neither auto nor a number in (0, 0.5)");
    options.threshold = t;
  }

  std::string error;
  if (!parse_p_list(p_items, options.ps, error)) return fail(error);

  if (app.count("--csv") > 0 && options.csv.empty()) return fail("--csv: the file name is empty");
  if (options.resume && options.csv.empty()) return fail("--resume needs --csv FILE");
  if (options.resume && options.overwrite)
    return fail("--resume and --overwrite exclude each other");
  return -1;
}

}  // namespace ldpcsw::sweep
