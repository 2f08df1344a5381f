#include "tools/sweep/output.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <system_error>

namespace ldpcsw::sweep {

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

bool all_ok(Collective& group, bool ok) {
  std::int64_t failures = ok ? 0 : 1;
  group.sum(&failures, 1);
  return failures == 0;
}

bool read_whole(const std::string& path, std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream s;
  s << in.rdbuf();
  text = s.str();
  return true;
}

std::string hex64(std::uint64_t v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

std::string format_duration(double seconds) {
  if (!(seconds >= 0.0) || seconds > 1e8) return "?";
  const auto s = static_cast<long long>(seconds + 0.5);
  char buf[48];
  if (s >= 3600) std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
  return buf;
}


namespace {

std::string describe_setting(const std::string& key) {
  if (key == "matrix" || key == "n" || key == "m") return "matrix";
  if (key.rfind("minsum_", 0) == 0) return "fixed-point decoder setting";
  if (key == "max_frame_errors") return "--max-frame-errors";
  std::string option = "--";
  option += key;
  return option;
}

// "; give OPTION to continue it" for a setting whose earlier value an option reproduces.
std::string option_giving(const std::string& key, const std::string& was) {
  std::string option;
  if (key == "minsum_posterior_bits") option = "--posterior-bits " + was;
  else if (key == "minsum_q" && was != "auto") option = "--q " + was;
  else if (key == "minsum_iterations") option = "--iterations " + was;
  else if (key == "minsum_correction" && was.rfind("normalise ", 0) == 0)
    option = "--normalise " + was.substr(10);
  else if (key == "minsum_correction" && was.rfind("offset ", 0) == 0)
    option = "--offset " + was.substr(7);
  else if (key == "minsum_correction" && was == "by weight")
    option = "neither --offset nor --normalise";
  if (option.empty()) return "";
  return "; give " + option + " to continue it";
}

}  // namespace

// Refuses output paths that would destroy input or write where no file belongs: the CSV, its
// settings file or its lock file being the matrix (by any name), and a CSV or settings file
// that exists and is not a regular file (a device, a folder, a pipe). Returns an exit status,
// -1 for "go on".
int check_output_paths(const SweepOptions& o, std::string& error) {
  struct stat matrix {};
  const bool have_matrix = ::stat(o.matrix.c_str(), &matrix) == 0;
  const std::string run_file = settings_path(o.csv);
  const std::string outputs[] = {o.csv, run_file, CsvLock::path_for(o.csv)};
  for (const std::string& out : outputs) {
    struct stat st {};
    if (::stat(out.c_str(), &st) != 0) continue;
    if (have_matrix && st.st_dev == matrix.st_dev && st.st_ino == matrix.st_ino) {
      error = "--csv " + o.csv + ": " + (out == o.csv ? "it" : out) + " is the matrix file " +
              o.matrix + "; the sweep would overwrite it";
      return 2;
    }
    if (out != outputs[2] && !S_ISREG(st.st_mode)) {
      error = "--csv " + o.csv + ": " + (out == o.csv ? "it" : out) +
              " exists and is not a regular file";
      return 2;
    }
  }
  return -1;
}

// Checks the settings file of a CSV being resumed against this run's settings: every key
// this run has must be there with its value, and every other key must be an informational one.
// Returns false with the message.
bool settings_match(const SweepSettings& now, const SweepSettings& old, const std::string& csv,
                    const std::string& settings_file, std::string& error) {
  for (const auto& [key, value] : now) {
    const auto it = old.find(key);
    // Settings files from before the a-posteriori width was recorded were all made with 8-bit
    // layered a-posteriori values.
    const std::string was = it != old.end() ? it->second
                            : key == "minsum_posterior_bits" ? "8"
                                                             : "unknown";
    if (was != value) {
      error = "cannot resume " + csv + ": it was made with another " + describe_setting(key) +
              " (" + key + " " + was + ", now " + value + ")" + option_giving(key, was);
      return false;
    }
  }
  for (const auto& [key, value] : old) {
    if (now.count(key) > 0 || is_informational_setting(key)) continue;
    error = key.rfind("minsum_", 0) == 0
                ? "cannot resume " + csv + ": it was made with another " + describe_setting(key) +
                      " (" + key + " " + value + ", now none)"
                : settings_file + ": unknown key '" + key + "'";
    return false;
  }
  return true;
}

// Writes `text` to `path` whole: to path.new first, then renamed over it, so that a crash or a
// full disk leaves the old file or the new one, never a part.
bool replace_file(const std::string& path, const std::string& text, std::string& error) {
  const std::string fresh = path + ".new";
  std::FILE* f = std::fopen(fresh.c_str(), "wb");
  bool ok = f != nullptr;
  int cause = errno;
  if (ok) {
    ok = std::fwrite(text.data(), 1, text.size(), f) == text.size() && std::fflush(f) == 0 &&
         ::fsync(::fileno(f)) == 0;
    cause = errno;
    ok = std::fclose(f) == 0 && ok;
    if (ok && std::rename(fresh.c_str(), path.c_str()) != 0) ok = false, cause = errno;
  }
  if (!ok) {
    std::remove(fresh.c_str());
    error = path + ": cannot write: " + std::strerror(cause);
  }
  return ok;
}

int prepare_csv(const SweepOptions& o, const SweepSettings& settings, const CodeLimits& limits,
                const CsvFormat& format, CsvLock& lock, CsvFile& csv, ResumeState& state,
                std::string& error) {
  namespace fs = std::filesystem;
  const std::string settings_file = settings_path(o.csv);
  csv.settings = format_settings(settings);
  std::error_code ec;
  const bool exists = fs::exists(o.csv, ec);
  const bool has_rows = exists && fs::file_size(o.csv, ec) > 0 && !ec;
  csv.path = o.csv;
  state = ResumeState{};

  if (o.resume && has_rows) {
    std::string text, settings_text;
    if (!read_whole(settings_file, settings_text)) {
      error = "cannot resume " + o.csv + ": its settings file " + settings_file +
              " cannot be read, so the matrix, decoder and seed it was made with are unknown";
      return 1;
    }
    SweepSettings old;
    std::string why;
    if (!parse_settings(settings_text, old, why)) {
      error = settings_file + ": " + why;
      return 1;
    }
    if (!settings_match(settings, old, o.csv, settings_file, error)) return 1;
    if (!read_whole(o.csv, text)) {
      error = o.csv + ": cannot read: " + std::strerror(errno);
      return 1;
    }
    if (!format.parse(text, csv.settings, state, error)) return 1;
    csv.chain = state.chain;
    if (state.crlf) csv.line_end = "\r\n";
    const std::size_t rows = state.finished.size() + (state.has_partial ? 1 : 0);
    if (rows > o.ps.size()) {
      error = "cannot resume " + o.csv + ": it holds " + std::to_string(rows) +
              " points, --p gives only " + std::to_string(o.ps.size());
      return 1;
    }
    for (std::size_t i = 0; i < rows; ++i) {
      const double p = i < state.finished.size() ? state.finished[i].p : state.partial.p;
      if (p != o.ps[i]) {
        error = "cannot resume " + o.csv + ": its point " + std::to_string(i + 1) + " has p = " +
                format_number(p) + ", --p gives " + format_number(o.ps[i]);
        return 1;
      }
    }
    // Appending after the finished rows: the unfinished row and any torn tail go when the
    // first new row is written (the file is opened in append mode, so writes follow the cut).
    csv.file = std::fopen(o.csv.c_str(), "a");
    if (csv.file == nullptr) {
      error = o.csv + ": cannot open for appending: " + std::strerror(errno);
      return 1;
    }
    // The resume is accepted: a threshold given now is added to the settings file; the
    // compared settings stay as they were.
    if (limits.threshold >= 0.0) {
      add_limit_settings(limits, old);
      if (!replace_file(settings_file, format_settings(old), error)) return 1;
    }
    if (state.keep_bytes < text.size()) csv.truncate_to = static_cast<long long>(state.keep_bytes);
    if (state.keep_bytes == 0 && !csv.write_line(format.header, error)) return 1;
    return -1;
  }

  if (has_rows && !o.resume && !o.overwrite) {
    error = o.csv + " already exists; give --resume to continue that sweep or --overwrite to "
                    "replace it";
    return 2;
  }
  // The CSV is opened without truncating, locked by inode, and only then emptied, so that a
  // sweep writing it under another name keeps its rows.
  const int fd = ::open(o.csv.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = o.csv + ": cannot create: " + std::strerror(errno);
    return 1;
  }
  const int locked_fd = ::dup(fd);
  if (locked_fd < 0 || lock.lock_csv(locked_fd, o.csv, error) != 0) {
    if (locked_fd < 0) error = o.csv + ": cannot lock: " + std::strerror(errno);
    ::close(fd);
    return 1;
  }
  // From here a failure removes what this start made: an empty CSV and a settings file
  // without rows would be taken by a later run for a sweep that began.
  auto fail_start = [&]() {
    std::remove(o.csv.c_str());
    std::remove(settings_file.c_str());
    return 1;
  };
  if (::ftruncate(fd, 0) != 0) {
    error = o.csv + ": cannot empty: " + std::strerror(errno);
    ::close(fd);
    return 1;
  }
  csv.file = ::fdopen(fd, "w");
  if (csv.file == nullptr) {
    error = o.csv + ": cannot create: " + std::strerror(errno);
    ::close(fd);
    return fail_start();
  }
  // The rank, rate, limit and threshold are recorded for the plot; they follow from the
  // matrix (or the user), so a resume does not compare them.
  SweepSettings recorded = settings;
  add_limit_settings(limits, recorded);
  if (!replace_file(settings_file, format_settings(recorded), error)) return fail_start();
  if (!csv.write_line(format.header, error)) return fail_start();
  return -1;
}


bool finish_point(std::FILE* out, std::FILE* err, CsvFile& csv, double p, std::int64_t blocks,
                  bool finished, bool cut_short, const std::string& table_line,
                  const std::string& csv_line) {
  bool ok = true;
  const bool write = blocks > 0;  // a point with no block decoded says nothing
  if (write) {
    std::fputs(table_line.c_str(), out);
    std::fflush(out);
  }
  std::string error;
  if (write && csv.file != nullptr && !csv.write_line(csv_line, error)) {
    std::fprintf(err, "ldpcsw-sweep: %s\n", error.c_str());
    ok = false;
  }
  if (cut_short) {
    if (finished)
      std::fprintf(err, "ldpcsw-sweep: interrupted after point p = %s.\n", format_number(p).c_str());
    else
      std::fprintf(err, "ldpcsw-sweep: interrupted; point p = %s stopped after %lld blocks%s.\n",
                   format_number(p).c_str(), static_cast<long long>(blocks),
                   csv.file != nullptr && write ? " (written as a partial row)" : "");
    if (csv.file != nullptr) std::fprintf(err, "Run the same command with --resume to continue.\n");
  }
  return ok;
}

}  // namespace ldpcsw::sweep
