// What a sweep writes: the table on standard output, the CSV rows, the settings file that lets
// --resume check it continues the same sweep, and reading a CSV back for --resume.
//
// CSV: the header line below, then one row per point in sweep order, each written and flushed
// when its point ends. A point cut short by an interruption is written with an extra last
// field `partial`; it is always the last row. Numbers are written in the shortest form that
// reads back to the same double, so avg_iterations * blocks recovers the iteration total.
//
// Every row carries a check: 16 hex digits of a 64-bit FNV-1a digest over the run's settings
// (the text of FILE.run's fields that must match for a resume), the previous row's check and
// the row's own text without its check. A row that was edited, moved, dropped from the middle
// or copied from another run no longer matches its check. The check guards against edits and
// damage, not against a forger who runs the same computation.
//
// Error policy: a CSV or settings file that does not read back gets a message naming the file,
// the line and what is wrong, and a false return.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "sweep/engine.h"

namespace ldpcsw::sweep {

inline constexpr const char* CSV_HEADER =
    "p,h_p,blocks,frame_errors,bit_errors,fer,fer_lo,fer_hi,ber,ber_lo,ber_hi,avg_iterations,"
    "seconds,blocks_per_second,bit_errors_sq,undetected_errors,check";
// The header of files written before undetected errors were counted: read by the plot, not
// continued by a sweep (see parse_sweep_csv).
inline constexpr const char* CSV_HEADER_NO_UNDETECTED =
    "p,h_p,blocks,frame_errors,bit_errors,fer,fer_lo,fer_hi,ber,ber_lo,ber_hi,avg_iterations,"
    "seconds,blocks_per_second,bit_errors_sq,check";
// The header of files written by earlier versions: no bit_errors_sq, no check. Such a file is
// still read by the plot, but a sweep does not continue it (see parse_sweep_csv).
inline constexpr const char* CSV_HEADER_UNCHECKED =
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

// The check of a row: `settings` is format_settings of the run's settings, `previous` the
// check of the row before ("" for the first row), `body` the row's text without its check.
std::string row_check(const std::string& settings, const std::string& previous,
                      const std::string& body);

// The CSV row of a point (no end of line); BER counts bits over counts.blocks * n. `chain`
// holds the previous row's check ("" before the first row) and receives this row's.
std::string format_csv_row(const PointRow& row, int n, const std::string& settings,
                           std::string& chain);

// Any checked row: the fields joined by commas, the check, and the partial mark when `partial`.
std::string format_checked_row(const std::vector<std::string>& fields, bool partial,
                               const std::string& settings, std::string& chain);

// The table's heading line and one point's line (each ends with a newline). `rate` is the
// code's rate as a compressor, rank(H)/n; each line states the gap H(p) - rate, which is
// negative below the Slepian-Wolf limit (a NaN rate shows "?").
// The p column is `p_width` characters wide (table_p_width of the run's points); p is written
// with six significant digits, or with as many as it needs to read back when six do not.
std::string format_table_header(int p_width = 8);
std::string format_table_row(const PointRow& row, int n, double rate, int p_width = 8);
int table_p_width(const std::vector<double>& ps);
// p as the table shows it (the rule above).
std::string table_p(double p);

// What was read back from a CSV for --resume.
struct ResumeState {
  std::vector<PointRow> finished;  // complete points, in file order
  bool has_partial = false;
  PointRow partial;                // the unfinished point, when has_partial
  std::uintmax_t keep_bytes = 0;   // length of the file up to the end of the last finished row
  bool torn_tail = false;          // the file ended inside a row (a write cut off); dropped
  std::string chain;               // the check of the last finished row ("" when none)
  bool crlf = false;               // the header ends in CR LF: rows appended end so too
};

// What a row must agree with: the run that is being continued.
struct CsvRules {
  int n = 0;                          // block length
  std::int64_t blocks = 0;            // --blocks
  std::int64_t max_frame_errors = 0;  // --max-frame-errors
  std::string settings;               // format_settings of the run's settings
};

// Parses a CSV written by the sweep for --resume. The header must match exactly; a final line
// without an end of line is a torn write and is dropped (torn_tail); blank lines at the end are
// ignored. Every row must be whole and consistent: counts within their bounds (blocks <= the
// limit, frame errors <= blocks, ...), finished unless it is the partial last row, every
// derived field exactly what the counts give, and its check matching. A file with the header
// of earlier versions is refused with the way out (--overwrite reproduces the same counts).
bool parse_sweep_csv(const std::string& text, const std::string& path, const CsvRules& rules,
                     ResumeState& state, std::string& error);

// The line reader behind parse_sweep_csv, for any CSV whose rows carry checks: `header` must be
// the first line (other_header, when given, may refuse it first with its own message); each row
// must have `fields` fields, its check and optionally the partial mark; take_row checks a row's
// fields (without check and mark) and keeps it, or says why not. Fills every field of `state`
// but its rows.
bool parse_checked_csv(const std::string& text, const std::string& path, const std::string& header,
                       std::size_t fields, const std::string& settings, ResumeState& state,
                       const std::function<bool(const std::string& line, std::string& error)>& other_header,
                       const std::function<bool(const std::vector<std::string>& f, bool partial,
                                                std::string& why)>& take_row,
                       std::string& error);

// Text to number, the whole text or nothing (no spaces, no trailing characters); counts are >= 0.
bool csv_to_int64(const std::string& text, std::int64_t& value);
bool csv_to_double(const std::string& text, double& value);

// The settings that must match for a resume: one "key=value" per line.
using SweepSettings = std::map<std::string, std::string>;
std::string format_settings(const SweepSettings& settings);
// Reads a settings file back. Refuses (false, with the line and what is wrong in `error`) a
// line without '=', an empty key, and a key given twice.
bool parse_settings(const std::string& text, SweepSettings& settings, std::string& error);

// What FILE.run and the table say about the code beside the settings: how far it is from
// what any decoder can do (the Slepian-Wolf limit) and what belief propagation over its
// ensemble can do (the threshold p*). These entries are informational: a resume does not
// compare them and the rows' checks do not cover them.
struct CodeLimits {
  long long rank = -1;           // GF(2) rank of H; -1 when not computed (too large)
  double rate = 0.0;             // rank / n, or m / n when the rank is unknown
  double sw_limit = 0.0;         // the p <= 1/2 with H(p) = rate
  double threshold = -1.0;       // p* of the code's ensemble; negative when not known
  std::string threshold_source;  // "given" (--threshold P) or "degrees" (the matrix's)
};

// Rate and limit of an m x n matrix of GF(2) rank `rank` (-1: unknown).
CodeLimits code_limits(long long rank, int n, int m);

// Adds rank, rate, sw_limit and, when known, threshold and threshold_source.
void add_limit_settings(const CodeLimits& limits, std::map<std::string, std::string>& settings);

// The settings-file keys that are informational (see CodeLimits).
bool is_informational_setting(const std::string& key);

// One line (with its end of line) stating the rate, the limit and the threshold.
std::string format_limits_line(const CodeLimits& limits);

// The settings file that belongs to a CSV file.
inline std::string settings_path(const std::string& csv) { return csv + ".run"; }

}  // namespace ldpcsw::sweep
