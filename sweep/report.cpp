#include "sweep/report.h"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "sweep/stats.h"

namespace ldpcsw::sweep {

namespace {

double rate(std::int64_t count, double seconds) {
  return seconds > 0.0 ? static_cast<double>(count) / seconds : 0.0;
}

// What a point's row shows beside its counts, the same in the table and in the CSV.
struct DerivedStats {
  Interval fer, ber;
  double avg_iterations, blocks_per_second;
};

DerivedStats derive(const PointRow& row, int n) {
  const PointCounts& c = row.counts;
  return DerivedStats{
      wilson_interval(c.frame_errors, c.blocks),
      cluster_interval(c.bit_errors, c.bit_errors_sq, c.blocks, n),
      c.blocks > 0 ? static_cast<double>(c.iterations) / static_cast<double>(c.blocks) : 0.0,
      rate(c.blocks, row.seconds)};
}

std::vector<std::string> split_fields(const std::string& line) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  for (;;) {
    const auto comma = line.find(',', start);
    fields.push_back(line.substr(start, comma - start));
    if (comma == std::string::npos) break;
    start = comma + 1;
  }
  return fields;
}

bool to_double(const std::string& s, double& v) {
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return !s.empty() && ec == std::errc() && ptr == s.data() + s.size();
}

bool to_int64(const std::string& s, std::int64_t& v) {
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
  return !s.empty() && ec == std::errc() && ptr == s.data() + s.size() && v >= 0;
}

}  // namespace

bool csv_to_int64(const std::string& text, std::int64_t& value) { return to_int64(text, value); }
bool csv_to_double(const std::string& text, double& value) { return to_double(text, value); }

std::string format_number(double v) {
  char buf[64];
  const auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, ptr) : std::string("nan");
}

namespace {

// The row's fields before its check, and the partial mark when there is one.
std::vector<std::string> row_fields(const PointRow& row, int n) {
  const PointCounts& c = row.counts;
  const DerivedStats d = derive(row, n);
  return {format_number(row.p),          format_number(binary_entropy(row.p)),
          std::to_string(c.blocks),      std::to_string(c.frame_errors),
          std::to_string(c.bit_errors),  format_number(d.fer.estimate),
          format_number(d.fer.lo),       format_number(d.fer.hi),
          format_number(d.ber.estimate), format_number(d.ber.lo),
          format_number(d.ber.hi),       format_number(d.avg_iterations),
          format_number(row.seconds),    format_number(d.blocks_per_second),
          std::to_string(c.bit_errors_sq), std::to_string(c.undetected_errors)};
}

std::string join(const std::vector<std::string>& fields, std::size_t count) {
  std::string s;
  for (std::size_t i = 0; i < count; ++i) {
    if (i > 0) s += ',';
    s += fields[i];
  }
  return s;
}

std::string body_of(const std::vector<std::string>& fields, std::size_t count, bool partial) {
  std::string body = join(fields, count);
  if (partial) body += std::string(",") + PARTIAL_MARK;
  return body;
}

}  // namespace

std::string row_check(const std::string& settings, const std::string& previous,
                      const std::string& body) {
  std::uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a, 64 bits
  auto feed = [&h](const std::string& text) {
    for (unsigned char ch : text) {
      h ^= ch;
      h *= 0x100000001b3ull;
    }
  };
  feed(settings);
  feed("\n");
  feed(previous);
  feed("\n");
  feed(body);
  char buf[20];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

std::string format_checked_row(const std::vector<std::string>& fields, bool partial,
                               const std::string& settings, std::string& chain) {
  chain = row_check(settings, chain, body_of(fields, fields.size(), partial));
  std::string s = join(fields, fields.size()) + ',' + chain;
  if (partial) s += std::string(",") + PARTIAL_MARK;
  return s;
}

std::string format_csv_row(const PointRow& row, int n, const std::string& settings,
                           std::string& chain) {
  return format_checked_row(row_fields(row, n), row.partial, settings, chain);
}

// p in the table: six significant digits, or the shortest text that reads back to p when six
// would not (so that two points never show the same p).
std::string table_p(double p) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6g", p);
  return std::strtod(buf, nullptr) == p ? std::string(buf) : format_number(p);
}

int table_p_width(const std::vector<double>& ps) {
  std::size_t width = 8;
  for (double p : ps) width = std::max(width, table_p(p).size());
  return static_cast<int>(width);
}

std::string format_table_header(int p_width) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "%-*s %-7s %-8s %10s %8s %7s %11s  %-30s  %-30s %7s %9s %9s\n",
                p_width, "p", "H(p)", "H(p)-R", "blocks", "frame_e", "undet_e", "bit_e", "FER [95% interval]",
                "BER [95% interval]", "avg_it", "seconds", "blocks/s");
  return buf;
}

std::string format_table_row(const PointRow& row, int n, double code_rate, int p_width) {
  const PointCounts& c = row.counts;
  const DerivedStats d = derive(row, n);
  const Interval& fer = d.fer;
  const Interval& ber = d.ber;
  char f[64], b[64], g[32], line[352];
  const double h = binary_entropy(row.p);
  if (std::isnan(code_rate)) std::snprintf(g, sizeof g, "?");
  else std::snprintf(g, sizeof g, "%+.4f", h - code_rate);
  std::snprintf(f, sizeof f, "%.3e [%.2e, %.2e]", fer.estimate, fer.lo, fer.hi);
  std::snprintf(b, sizeof b, "%.3e [%.2e, %.2e]", ber.estimate, ber.lo, ber.hi);
  std::snprintf(line, sizeof line,
                "%-*s %-7.4f %-8s %10lld %8lld %7lld %11lld  %-30s  %-30s %7.2f %9.2f %9.0f%s\n",
                p_width, table_p(row.p).c_str(), h, g, static_cast<long long>(c.blocks),
                static_cast<long long>(c.frame_errors),
                static_cast<long long>(c.undetected_errors), static_cast<long long>(c.bit_errors), f,
                b, d.avg_iterations, row.seconds, d.blocks_per_second,
                row.partial ? "  (partial)" : "");
  return line;
}

CodeLimits code_limits(long long rank, int n, int m) {
  CodeLimits limits;
  limits.rank = rank;
  if (n > 0) limits.rate = static_cast<double>(rank >= 0 ? rank : m) / n;
  // The limit: H(p) = rate, by bisection on [0, 1/2] where H rises.
  if (limits.rate >= 1.0) {
    limits.sw_limit = 0.5;
  } else {
    double lo = 0.0, hi = 0.5;
    for (int i = 0; i < 100; ++i) {
      const double mid = 0.5 * (lo + hi);
      (binary_entropy(mid) < limits.rate ? lo : hi) = mid;
    }
    limits.sw_limit = 0.5 * (lo + hi);
  }
  return limits;
}

void add_limit_settings(const CodeLimits& limits, std::map<std::string, std::string>& settings) {
  settings["rank"] = limits.rank >= 0 ? std::to_string(limits.rank) : "unknown";
  settings["rate"] = format_number(limits.rate);
  settings["sw_limit"] = format_number(limits.sw_limit);
  if (limits.threshold >= 0.0) {
    settings["threshold"] = format_number(limits.threshold);
    settings["threshold_source"] = limits.threshold_source;
  }
}

bool is_informational_setting(const std::string& key) {
  return key == "rank" || key == "rate" || key == "sw_limit" || key == "threshold" ||
         key == "threshold_source";
}

std::string format_limits_line(const CodeLimits& limits) {
  char buf[256];
  int used = std::snprintf(buf, sizeof buf, "rate %s = %.5f, Slepian-Wolf limit p = %.5f",
                           limits.rank >= 0 ? "rank(H)/n" : "m/n (rank not computed)",
                           limits.rate, limits.sw_limit);
  if (limits.threshold >= 0.0 && used > 0 && used < static_cast<int>(sizeof buf))
    used += std::snprintf(buf + used, sizeof buf - used, ", threshold p* = %.5f (%s)",
                          limits.threshold,
                          limits.threshold_source == "degrees" ? "the matrix's degrees"
                                                                : "given");
  return std::string(buf) + "\n";
}

namespace {

bool blank(const std::string& line) {
  return line.find_first_not_of(" \t\r") == std::string::npos;
}

constexpr const char* FIELD_NAMES[] = {
    "p",   "h_p",    "blocks", "frame_errors",   "bit_errors", "fer",     "fer_lo",
    "fer_hi", "ber", "ber_lo", "ber_hi", "avg_iterations", "seconds", "blocks_per_second",
    "bit_errors_sq", "undetected_errors"};
constexpr std::size_t ROW_FIELDS = 16;  // before the check

// Checks one row's fields (check and partial mark removed) and fills `row`. On failure
// returns the reason.
bool read_row(const std::vector<std::string>& f, const CsvRules& rules, PointRow& row,
              std::string& why) {
  PointCounts& c = row.counts;
  double avg_it = 0.0;
  if (!to_double(f[0], row.p) || !(row.p > 0.0 && row.p <= 0.5)) {
    why = "p '" + f[0] + "' is not a probability in (0, 0.5]";
    return false;
  }
  if (!to_int64(f[2], c.blocks) || !to_int64(f[3], c.frame_errors) ||
      !to_int64(f[4], c.bit_errors) || !to_int64(f[14], c.bit_errors_sq) ||
      !to_int64(f[15], c.undetected_errors)) {
    why = "blocks, frame_errors, bit_errors, bit_errors_sq or undetected_errors is not a count";
    return false;
  }
  if (!to_double(f[11], avg_it) || !to_double(f[12], row.seconds) || !(avg_it >= 0.0) ||
      !(row.seconds >= 0.0)) {
    why = "avg_iterations or seconds is not a number >= 0";
    return false;
  }
  const std::string counts = "blocks " + f[2] + ", frame_errors " + f[3] + ", bit_errors " +
                             f[4] + ", bit_errors_sq " + f[14] + ", undetected_errors " + f[15];
  if (c.blocks == 0) {
    why = "no blocks";
    return false;
  }
  if (c.blocks > rules.blocks) {
    why = "blocks " + f[2] + " exceeds the run's limit of " + std::to_string(rules.blocks);
    return false;
  }
  if (rules.max_frame_errors > 0 && c.frame_errors > rules.max_frame_errors) {
    why = "frame_errors " + f[3] + " exceeds the run's limit of " +
          std::to_string(rules.max_frame_errors);
    return false;
  }
  // Every failed block has between 1 and n wrong bits, e_i^2 lies between e_i and n * e_i, and
  // sum e_i^2 >= (sum e_i)^2 / failed blocks.
  using U = unsigned __int128;
  const U fe = static_cast<U>(c.frame_errors), be = static_cast<U>(c.bit_errors),
          sq = static_cast<U>(c.bit_errors_sq), n = static_cast<U>(rules.n);
  if (c.frame_errors > c.blocks || be < fe || be > fe * n || sq < be || sq > be * n ||
      sq * fe < be * be || c.undetected_errors > c.frame_errors) {
    why = "the counts cannot all hold (" + counts + ", n " + std::to_string(rules.n) + ")";
    return false;
  }
  c.iterations = std::llround(avg_it * static_cast<double>(c.blocks));
  const bool finished = point_finished(c, rules.blocks, rules.max_frame_errors);
  if (finished == row.partial) {
    why = row.partial ? "a partial row whose counts already finish the point (" + counts + ")"
                      : "the point is not finished (" + counts +
                            ") but the row is not marked partial";
    return false;
  }
  const std::vector<std::string> expect = row_fields(row, rules.n);
  for (std::size_t i = 0; i < ROW_FIELDS; ++i) {
    if (i == 1) {
      // H(p) goes through log2, which may differ in the last digit between C libraries.
      double h = 0.0;
      const double want = binary_entropy(row.p);
      if (!to_double(f[1], h) || !(std::fabs(h - want) <= 1e-12 * want)) {
        why = "h_p " + f[1] + " is not H(p) = " + expect[1];
        return false;
      }
    } else if (f[i] != expect[i]) {
      why = std::string(FIELD_NAMES[i]) + " " + f[i] + " does not follow from the counts (" +
            counts + ", seconds " + f[12] + " give " + expect[i] + ")";
      return false;
    }
  }
  return true;
}

}  // namespace

bool parse_checked_csv(const std::string& text, const std::string& path, const std::string& header,
                       std::size_t fields, const std::string& settings, ResumeState& state,
                       const std::function<bool(const std::string& line, std::string& error)>& other_header,
                       const std::function<bool(const std::vector<std::string>& f, bool partial,
                                                std::string& why)>& take_row,
                       std::string& error) {
  state = ResumeState{};
  std::string::size_type pos = 0;
  int line_number = 0;
  int blank_line = 0;  // the first blank line after the header, when any
  bool header_seen = false;
  while (pos < text.size()) {
    const auto eol = text.find('\n', pos);
    ++line_number;
    std::string line = text.substr(pos, eol == std::string::npos ? eol : eol - pos);
    auto bad = [&](const std::string& what) {
      error = path + ": line " + std::to_string(line_number) + ": " + what;
      return false;
    };
    if (eol == std::string::npos) {  // cut off while being written, or blank
      if (!blank(line)) state.torn_tail = true;
      break;
    }
    const bool crlf = !line.empty() && line.back() == '\r';
    if (crlf) line.pop_back();
    const auto line_end = eol + 1;
    pos = line_end;
    if (!header_seen) {
      if (other_header && !other_header(line, error)) return false;
      if (line != header) return bad("not the sweep's CSV header");
      header_seen = true;
      state.crlf = crlf;
      state.keep_bytes = line_end;
      continue;
    }
    if (blank(line)) {  // harmless at the end of the file; refused before a row
      if (blank_line == 0) blank_line = line_number;
      continue;
    }
    if (blank_line != 0) {
      line_number = blank_line;
      return bad("a blank line between rows");
    }
    if (state.has_partial) return bad("a row follows the partial row");
    std::vector<std::string> f = split_fields(line);
    bool partial = false;
    if (f.size() == fields + 2 && f.back() == PARTIAL_MARK) {
      partial = true;
      f.pop_back();
    }
    if (f.size() != fields + 1)
      return bad(std::to_string(f.size()) + " fields instead of " + std::to_string(fields + 1));
    std::string why;
    if (!take_row(f, partial, why)) return bad(why);
    const std::string check = row_check(settings, state.chain, body_of(f, fields, partial));
    if (f[fields] != check)
      return bad("the row does not match its check: it was edited, moved, or comes from "
                 "another run or file");
    if (partial) {
      state.has_partial = true;
    } else {
      state.keep_bytes = line_end;
      state.chain = check;
    }
  }
  if (!header_seen && !state.torn_tail && !text.empty() && blank_line == 0 &&
      text.find_first_not_of(" \t\r\n") != std::string::npos) {
    error = path + ": no CSV header";
    return false;
  }
  if (!header_seen && state.torn_tail) {
    error = path + ": not the sweep's CSV header";
    return false;
  }
  return true;
}

bool parse_sweep_csv(const std::string& text, const std::string& path, const CsvRules& rules,
                     ResumeState& state, std::string& error) {
  std::vector<PointRow> finished;
  PointRow partial_row;
  const auto older = [&](const std::string& line, std::string& why) {
    const char* lacks = line == CSV_HEADER_UNCHECKED
                            ? "its rows carry neither a check nor the sums of squared bit errors"
                        : line == CSV_HEADER_NO_UNDETECTED ? "its rows do not count undetected errors"
                                                           : nullptr;
    if (lacks == nullptr) return true;
    why = path + " was written by an earlier version of ldpcsw-sweep: " + lacks +
          ", so it cannot be continued. Run the same command with --overwrite instead of "
          "--resume: the same settings give the same counts";
    return false;
  };
  const auto take = [&](const std::vector<std::string>& f, bool partial, std::string& why) {
    PointRow row;
    row.partial = partial;
    if (!read_row(f, rules, row, why)) return false;
    if (partial) partial_row = row;
    else finished.push_back(row);
    return true;
  };
  if (!parse_checked_csv(text, path, CSV_HEADER, ROW_FIELDS, rules.settings, state, older, take,
                         error))
    return false;
  state.finished = std::move(finished);
  if (state.has_partial) state.partial = partial_row;
  return true;
}

std::string format_settings(const SweepSettings& settings) {
  std::string s;
  for (const auto& [k, v] : settings) s += k + '=' + v + '\n';
  return s;
}

bool parse_settings(const std::string& text, SweepSettings& settings, std::string& error) {
  settings.clear();
  std::istringstream in(text);
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (line.empty()) continue;
    const auto eq = line.find('=');
    const std::string where = "line " + std::to_string(number) + ": ";
    if (eq == std::string::npos || eq == 0) {
      error = where + "'" + line + "' is not key=value; not a settings file of the sweep";
      return false;
    }
    const std::string key = line.substr(0, eq);
    if (!settings.emplace(key, line.substr(eq + 1)).second) {
      error = where + "the key '" + key + "' is given twice";
      return false;
    }
  }
  return true;
}

}  // namespace ldpcsw::sweep
