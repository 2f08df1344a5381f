#include "tools/sweep/report.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <sstream>

#include "tools/sweep/stats.h"

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
      wilson_interval(c.frame_errors, c.blocks), wilson_interval(c.bit_errors, c.blocks * n),
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

std::string format_number(double v) {
  char buf[64];
  const auto [ptr, ec] = std::to_chars(buf, buf + sizeof buf, v);
  return ec == std::errc() ? std::string(buf, ptr) : std::string("nan");
}

std::string format_csv_row(const PointRow& row, int n) {
  const PointCounts& c = row.counts;
  const DerivedStats d = derive(row, n);
  const Interval& fer = d.fer;
  const Interval& ber = d.ber;
  std::string s = format_number(row.p) + ',' + format_number(binary_entropy(row.p)) + ',' +
                  std::to_string(c.blocks) + ',' + std::to_string(c.frame_errors) + ',' +
                  std::to_string(c.bit_errors) + ',' + format_number(fer.estimate) + ',' +
                  format_number(fer.lo) + ',' + format_number(fer.hi) + ',' +
                  format_number(ber.estimate) + ',' + format_number(ber.lo) + ',' +
                  format_number(ber.hi) + ',' + format_number(d.avg_iterations) + ',' +
                  format_number(row.seconds) + ',' + format_number(d.blocks_per_second);
  if (row.partial) s += std::string(",") + PARTIAL_MARK;
  return s;
}

std::string format_table_header() {
  char buf[256];
  std::snprintf(buf, sizeof buf, "%-8s %-7s %10s %8s %11s  %-30s  %-30s %7s %9s %9s\n", "p",
                "H(p)", "blocks", "frame_e", "bit_e", "FER [95% interval]",
                "BER [95% interval]", "avg_it", "seconds", "blocks/s");
  return buf;
}

std::string format_table_row(const PointRow& row, int n) {
  const PointCounts& c = row.counts;
  const DerivedStats d = derive(row, n);
  const Interval& fer = d.fer;
  const Interval& ber = d.ber;
  char f[64], b[64], line[320];
  std::snprintf(f, sizeof f, "%.3e [%.2e, %.2e]", fer.estimate, fer.lo, fer.hi);
  std::snprintf(b, sizeof b, "%.3e [%.2e, %.2e]", ber.estimate, ber.lo, ber.hi);
  std::snprintf(line, sizeof line, "%-8.6g %-7.4f %10lld %8lld %11lld  %-30s  %-30s %7.2f %9.2f %9.0f%s\n",
                row.p, binary_entropy(row.p), static_cast<long long>(c.blocks),
                static_cast<long long>(c.frame_errors), static_cast<long long>(c.bit_errors), f,
                b, d.avg_iterations, row.seconds, d.blocks_per_second,
                row.partial ? "  (partial)" : "");
  return line;
}

bool parse_sweep_csv(const std::string& text, const std::string& path, ResumeState& state,
                     std::string& error) {
  state = ResumeState{};
  std::string::size_type pos = 0;
  int line_number = 0;
  bool header_seen = false;
  while (pos < text.size()) {
    const auto eol = text.find('\n', pos);
    ++line_number;
    if (eol == std::string::npos) {  // cut off while being written
      state.torn_tail = true;
      break;
    }
    std::string line = text.substr(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto line_end = eol + 1;
    pos = line_end;
    auto bad = [&](const std::string& what) {
      error = path + ": line " + std::to_string(line_number) + ": " + what;
      return false;
    };
    if (!header_seen) {
      if (line != CSV_HEADER) return bad("not the sweep's CSV header");
      header_seen = true;
      state.keep_bytes = line_end;
      continue;
    }
    if (state.has_partial) return bad("a row follows the partial row");
    std::vector<std::string> f = split_fields(line);
    PointRow row;
    if (f.size() == 15 && f[14] == PARTIAL_MARK) {
      row.partial = true;
      f.pop_back();
    }
    if (f.size() != 14) return bad(std::to_string(f.size()) + " fields instead of 14");
    double avg_it = 0.0;
    if (!to_double(f[0], row.p)) return bad("p '" + f[0] + "' is not a number");
    if (!to_int64(f[2], row.counts.blocks) || !to_int64(f[3], row.counts.frame_errors) ||
        !to_int64(f[4], row.counts.bit_errors))
      return bad("blocks, frame_errors or bit_errors is not a count");
    if (!to_double(f[11], avg_it) || !to_double(f[12], row.seconds))
      return bad("avg_iterations or seconds is not a number");
    if (row.counts.frame_errors > row.counts.blocks || row.counts.blocks == 0)
      return bad("frame_errors exceeds blocks, or no blocks");
    row.counts.iterations =
        std::llround(avg_it * static_cast<double>(row.counts.blocks));
    if (row.partial) {
      state.has_partial = true;
      state.partial = row;
    } else {
      state.finished.push_back(row);
      state.keep_bytes = line_end;
    }
  }
  if (!header_seen && !state.torn_tail && !text.empty()) {
    error = path + ": no CSV header";
    return false;
  }
  if (!header_seen && state.torn_tail) {
    error = path + ": not the sweep's CSV header";
    return false;
  }
  return true;
}

std::string format_settings(const SweepSettings& settings) {
  std::string s;
  for (const auto& [k, v] : settings) s += k + '=' + v + '\n';
  return s;
}

bool parse_settings(const std::string& text, SweepSettings& settings) {
  settings.clear();
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) {
    if (line.empty()) continue;
    const auto eq = line.find('=');
    if (eq == std::string::npos) return false;
    settings[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return true;
}

}  // namespace ldpcsw::sweep
