// What a sweep writes: the table on standard output, the CSV rows, the settings file that lets
// --resume check it continues the same sweep, and reading a CSV back for --resume.
//
// CSV: the header line below, then one row per point in sweep order, each written and flushed
// when its point ends. A point cut short by an interruption is written with an extra last
// field `partial`; it is always the last row. Numbers are written in the shortest form that
// reads back to the same double, so avg_iterations * blocks recovers the iteration total.
//
// Error policy: a CSV or settings file that does not read back gets a message naming the file,
// the line and what is wrong, and a false return.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tools/sweep/engine.h"

namespace ldpcsw::sweep {

inline constexpr const char* CSV_HEADER =
    "p,h_p,blocks,frame_errors,bit_errors,fer,fer_lo,fer_hi,ber,ber_lo,ber_hi,avg_iterations,"
    "seconds,blocks_per_second";
inline constexpr const char* PARTIAL_MARK = "partial";

struct PointRow {
  double p = 0.0;
  PointCounts counts;
  double seconds = 0.0;
  bool partial = false;
};

// Shortest decimal text that reads back to exactly `v`.
std::string format_number(double v);

// The CSV row of a point (no end of line); BER counts bits over counts.blocks * n.
std::string format_csv_row(const PointRow& row, int n);

// The table's two heading lines and one point's line (each ends with a newline).
std::string format_table_header();
std::string format_table_row(const PointRow& row, int n);

// What was read back from a CSV for --resume.
struct ResumeState {
  std::vector<PointRow> finished;  // complete points, in file order
  bool has_partial = false;
  PointRow partial;                // the unfinished point, when has_partial
  std::uintmax_t keep_bytes = 0;   // length of the file up to the end of the last finished row
  bool torn_tail = false;          // the file ended inside a row (a write cut off); dropped
};

// Parses a CSV written by the sweep. The header must match exactly; a final line without an
// end of line is a torn write and is dropped (torn_tail).
bool parse_sweep_csv(const std::string& text, const std::string& path, ResumeState& state,
                     std::string& error);

// The settings that must match for a resume: one "key=value" per line.
using SweepSettings = std::map<std::string, std::string>;
std::string format_settings(const SweepSettings& settings);
bool parse_settings(const std::string& text, SweepSettings& settings);

// The settings file that belongs to a CSV file.
inline std::string settings_path(const std::string& csv) { return csv + ".run"; }

}  // namespace ldpcsw::sweep
