#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "sweep/critical.h"
#include "sweep/report.h"
#include "sweep/stats.h"

namespace ldpcsw::sweep {

namespace {

constexpr std::size_t CRITICAL_FIELDS = 19;  // before the check
constexpr const char* CRITICAL_FIELD_NAMES[CRITICAL_FIELDS] = {
    "p",       "h_p",           "blocks",        "rate",      "rate_lo",  "rate_hi",
    "efficiency", "efficiency_lo", "efficiency_hi", "rate_q05", "rate_q50", "rate_q95",
    "undecoded", "undetected",   "decodes",       "iterations", "seconds", "blocks_per_second",
    "histogram"};

std::string histogram_text(const CriticalCounts& c) {
  std::string s;
  for (const auto& [k, count] : c.histogram) {
    if (!s.empty()) s += ' ';
    s += std::to_string(k) + ':' + std::to_string(count);
  }
  return s;
}

std::vector<std::string> critical_fields(const CriticalRow& row, const std::vector<long long>& ranks,
                                         int n) {
  const CriticalCounts& c = row.counts;
  const CriticalSummary s = summarize_critical(c, ranks, n);
  const double h = binary_entropy(row.p);
  const double speed = row.seconds > 0.0 ? static_cast<double>(c.blocks) / row.seconds : 0.0;
  return {format_number(row.p),        format_number(h),
          std::to_string(c.blocks),    format_number(s.rate),
          format_number(s.rate_lo),    format_number(s.rate_hi),
          format_number(s.rate / h),   format_number(s.rate_lo / h),
          format_number(s.rate_hi / h), format_number(s.q05),
          format_number(s.q50),        format_number(s.q95),
          std::to_string(s.undecoded), std::to_string(c.undetected),
          std::to_string(c.decodes),   std::to_string(c.iterations),
          format_number(row.seconds),  format_number(speed),
          histogram_text(c)};
}

// The histogram's items, ascending steps within the chain, each with at least one block.
bool read_histogram(const std::string& text, int steps, CriticalCounts& c, std::string& why) {
  c.histogram.clear();
  std::size_t pos = 0;
  int last = -2;
  while (pos <= text.size()) {
    const std::size_t end = std::min(text.find(' ', pos), text.size());
    const std::string item = text.substr(pos, end - pos);
    const std::size_t colon = item.find(':');
    std::int64_t step = 0, count = 0;
    const bool negative = colon != std::string::npos && item.rfind("-1:", 0) == 0;
    if (colon == std::string::npos ||
        !(negative || csv_to_int64(item.substr(0, colon), step)) ||
        !csv_to_int64(item.substr(colon + 1), count)) {
      why = "histogram item '" + item + "' is not STEP:BLOCKS";
      return false;
    }
    if (negative) step = -1;
    if (step > steps || count == 0 || step <= last) {
      why = "histogram item '" + item + "': steps must rise within -1.." + std::to_string(steps) +
            " and each hold at least one block";
      return false;
    }
    last = static_cast<int>(step);
    c.histogram[last] = count;
    pos = end + 1;
  }
  return true;
}

}  // namespace

std::string format_critical_csv_row(const CriticalRow& row, const std::vector<long long>& ranks,
                                    int n, const std::string& settings, std::string& chain) {
  return format_checked_row(critical_fields(row, ranks, n), row.partial, settings, chain);
}

bool parse_critical_csv(const std::string& text, const std::string& path,
                        const CriticalCsvRules& rules, ResumeState& state,
                        std::vector<CriticalRow>& finished, CriticalRow& partial,
                        std::string& error) {
  finished.clear();
  const int steps = static_cast<int>(rules.ranks->size()) - 1;
  const auto take = [&](const std::vector<std::string>& f, bool is_partial, std::string& why) {
    CriticalRow row;
    row.partial = is_partial;
    CriticalCounts& c = row.counts;
    if (!csv_to_double(f[0], row.p) || !(row.p > 0.0 && row.p <= 0.5)) {
      why = "p '" + f[0] + "' is not a probability in (0, 0.5]";
      return false;
    }
    if (!csv_to_int64(f[2], c.blocks) || !csv_to_int64(f[13], c.undetected) ||
        !csv_to_int64(f[14], c.decodes) || !csv_to_int64(f[15], c.iterations)) {
      why = "blocks, undetected, decodes or iterations is not a count";
      return false;
    }
    if (!csv_to_double(f[16], row.seconds) || !(row.seconds >= 0.0)) {
      why = "seconds is not a number >= 0";
      return false;
    }
    if (!read_histogram(f[18], steps, c, why)) return false;
    std::int64_t in_histogram = 0;
    for (const auto& [k, count] : c.histogram) in_histogram += count;
    const std::string counts = "blocks " + f[2] + ", decodes " + f[14] + ", undetected " + f[13];
    if (c.blocks == 0 || c.blocks > rules.blocks) {
      why = "blocks " + f[2] + " is not within 1.." + std::to_string(rules.blocks);
      return false;
    }
    // Every block is decoded at least once and at most once per step of the chain.
    if (in_histogram != c.blocks || c.undetected > c.blocks || c.decodes < c.blocks ||
        c.decodes / (steps + 1) > c.blocks) {
      why = "the counts cannot all hold (" + counts + ", histogram of " +
            std::to_string(in_histogram) + " blocks, " + std::to_string(steps) + " steps)";
      return false;
    }
    if ((c.blocks == rules.blocks) == is_partial) {
      why = is_partial ? "a partial row whose blocks already finish the point (" + counts + ")"
                       : "the point is not finished (" + counts + ") but the row is not marked partial";
      return false;
    }
    const std::vector<std::string> expect = critical_fields(row, *rules.ranks, rules.n);
    for (std::size_t i = 0; i < CRITICAL_FIELDS; ++i) {
      if (i == 1) {
        // H(p) goes through log2, which may differ in the last digit between C libraries; so do
        // the efficiencies divided by it.
        double h = 0.0;
        const double want = binary_entropy(row.p);
        if (!csv_to_double(f[1], h) || !(std::fabs(h - want) <= 1e-12 * want)) {
          why = "h_p " + f[1] + " is not H(p) = " + expect[1];
          return false;
        }
      } else if (i >= 6 && i <= 8) {
        double got = 0.0, want = 0.0;
        csv_to_double(expect[i], want);
        if (!csv_to_double(f[i], got) || !(std::fabs(got - want) <= 1e-12 * std::fabs(want))) {
          why = std::string(CRITICAL_FIELD_NAMES[i]) + " " + f[i] + " is not " + expect[i];
          return false;
        }
      } else if (f[i] != expect[i]) {
        why = std::string(CRITICAL_FIELD_NAMES[i]) + " " + f[i] + " does not follow from the counts (" +
              counts + " give " + expect[i] + ")";
        return false;
      }
    }
    if (is_partial) partial = row;
    else finished.push_back(row);
    return true;
  };
  return parse_checked_csv(text, path, CRITICAL_CSV_HEADER, CRITICAL_FIELDS, rules.settings, state,
                           {}, take, error);
}

std::string format_critical_table_header(int p_width) {
  char buf[256];
  std::snprintf(buf, sizeof buf, "%-*s %-7s %9s  %-26s %-22s %-20s %9s %7s %8s %9s %9s\n",
                p_width, "p", "H(p)", "blocks", "rate [95% interval]", "f = rate/H(p)",
                "rate q05/q50/q95", "undecoded", "undet", "probes", "seconds", "blocks/s");
  return buf;
}

std::string format_critical_table_row(const CriticalRow& row, const std::vector<long long>& ranks,
                                      int n, int p_width) {
  const CriticalCounts& c = row.counts;
  const CriticalSummary s = summarize_critical(c, ranks, n);
  const double h = binary_entropy(row.p);
  char rate[64], f[64], q[64], line[384];
  std::snprintf(rate, sizeof rate, "%.4f [%.4f, %.4f]", s.rate, s.rate_lo, s.rate_hi);
  std::snprintf(f, sizeof f, "%.4f [%.3f, %.3f]", s.rate / h, s.rate_lo / h, s.rate_hi / h);
  std::snprintf(q, sizeof q, "%.3f/%.3f/%.3f", s.q05, s.q50, s.q95);
  const double blocks = static_cast<double>(c.blocks);
  std::snprintf(line, sizeof line, "%-*s %-7.4f %9lld  %-26s %-22s %-20s %9lld %7lld %8.2f %9.2f %9.0f%s\n",
                p_width, table_p(row.p).c_str(), h, static_cast<long long>(c.blocks), rate, f, q,
                static_cast<long long>(s.undecoded), static_cast<long long>(c.undetected),
                blocks > 0 ? static_cast<double>(c.decodes) / blocks : 0.0, row.seconds,
                row.seconds > 0.0 ? blocks / row.seconds : 0.0, row.partial ? "  (partial)" : "");
  return line;
}

}  // namespace ldpcsw::sweep
