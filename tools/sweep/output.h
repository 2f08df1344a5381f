// The output side of ldpcsw-sweep shared by its two kinds of run (error rates and critical
// rates): the CSV file and its lock, the settings file beside it, and the checks that a resume
// continues the same run. Rank 0 only; nothing here decodes.
#pragma once

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <system_error>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "sweep/engine.h"
#include "sweep/report.h"
#include "tools/sweep/options.h"

namespace ldpcsw::sweep {

using Clock = std::chrono::steady_clock;
double seconds_since(Clock::time_point t0);
// True on every process when `ok` holds on every process.
bool all_ok(Collective& group, bool ok);
bool read_whole(const std::string& path, std::string& text);
std::string hex64(std::uint64_t v);
// "m:ss" or "h:mm:ss"; "?" for what is not a sensible duration.
std::string format_duration(double seconds);

// The CSV output of rank 0: appends rows and flushes each to the disk at once. A resumed file
// keeps its unfinished last row until the first new row replaces it, so a run that dies in
// between still leaves that row for the next --resume.
struct CsvFile {
  std::FILE* file = nullptr;
  std::string path;
  long long truncate_to = -1;  // cut the file to this length before the next row
  std::string settings;        // the run's settings, which every row's check covers
  std::string chain;           // the check of the last row written or kept
  const char* line_end = "\n";  // a resumed file's own line ending (CRLF kept as CRLF)
  ~CsvFile() {
    if (file != nullptr) std::fclose(file);
  }
  bool write_line(const std::string& line, std::string& error) {
    if (truncate_to >= 0) {
      if (std::fflush(file) != 0 || ::ftruncate(::fileno(file), truncate_to) != 0) {
        error = path + ": cannot drop the unfinished row: " + std::strerror(errno);
        return false;
      }
      truncate_to = -1;
    }
    if (std::fputs(line.c_str(), file) < 0 || std::fputs(line_end, file) < 0 ||
        std::fflush(file) != 0) {
      error = path + ": cannot write: " + std::strerror(errno);
      return false;
    }
    ::fsync(::fileno(file));
    return true;
  }
};

// An exclusive advisory lock on FILE.lock beside the CSV (beside the file a link points to),
// held for the whole run so that two sweeps never write one CSV. flock locks go with the open
// file, so the kernel drops the lock when the process ends in any way, a crash included; the
// file then stays with the old holder's line, which the next holder overwrites. The file is
// removed on release; a process that locked it just before the removal sees that the name
// now leads elsewhere and tries again.
class CsvLock {
 public:
  CsvLock() = default;
  CsvLock(const CsvLock&) = delete;
  CsvLock& operator=(const CsvLock&) = delete;
  ~CsvLock() {
    if (csv_fd_ >= 0) ::close(csv_fd_);
    if (fd_ < 0) return;
    ::unlink(path_.c_str());
    ::close(fd_);
  }

  // Locks the CSV file itself, by its device and inode, so that a second sweep that reaches
  // the same file through another name (a hard link) is refused too: FILE.lock goes by name.
  // `fd` is an open descriptor of the CSV, kept until the end of the run; a CSV locked
  // already is not locked again. Returns 0 when locked, 1 with a message when another sweep
  // holds it.
  int lock_csv(int fd, const std::string& csv, std::string& error) {
    if (csv_fd_ >= 0) {
      ::close(fd);
      return 0;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int cause = errno;
      ::close(fd);
      error = cause == EWOULDBLOCK
                  ? csv + " is in use by another sweep that writes the same file under another "
                          "name (a hard link); wait for it to end or choose another --csv"
                  : csv + ": cannot lock: " + std::strerror(cause);
      return 1;
    }
    csv_fd_ = fd;
    return 0;
  }

  static std::string path_for(const std::string& csv) {
    std::error_code ec;
    const std::filesystem::path real = std::filesystem::weakly_canonical(csv, ec);
    return (ec ? csv : real.string()) + ".lock";
  }

  // Returns 0 when the lock is held, 1 with a message when it is not.
  int acquire(const std::string& csv, std::string& error) {
    path_ = path_for(csv);
    for (int attempt = 0; attempt < 16; ++attempt) {
      const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
      if (fd < 0) {
        error = path_ + ": cannot create the lock file: " + std::strerror(errno);
        return 1;
      }
      if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int cause = errno;
        std::string holder;
        if (cause == EWOULDBLOCK) {
          char buf[256];
          const ssize_t got = ::pread(fd, buf, sizeof buf - 1, 0);
          holder.assign(buf, got > 0 ? static_cast<std::size_t>(got) : 0);
          while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\r'))
            holder.pop_back();
        }
        ::close(fd);
        if (cause != EWOULDBLOCK) {
          error = path_ + ": cannot lock: " + std::strerror(cause);
          return 1;
        }
        error = csv + " is in use by another sweep (" +
                (holder.empty() ? std::string("holder unknown") : holder) + ", lock " + path_ +
                "); wait for it to end or choose another --csv";
        return 1;
      }
      struct stat held {}, named {};
      if (::fstat(fd, &held) == 0 && ::stat(path_.c_str(), &named) == 0 &&
          held.st_dev == named.st_dev && held.st_ino == named.st_ino) {
        fd_ = fd;
        char host[256] = "?";
        ::gethostname(host, sizeof host - 1);
        host[sizeof host - 1] = '\0';
        char when[32] = "?";
        const std::time_t now = std::time(nullptr);
        std::tm utc {};
        if (::gmtime_r(&now, &utc) != nullptr)
          std::strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
        const std::string line = "pid " + std::to_string(::getpid()) + " on host " + host +
                                 ", since " + when + "\n";
        if (::ftruncate(fd, 0) != 0 ||
            ::pwrite(fd, line.data(), line.size(), 0) != static_cast<ssize_t>(line.size())) {
          // The lock holds all the same; only the holder's line is missing.
        }
        // An existing CSV is locked by inode before anything reads or truncates it; a new one
        // when it is created (one that cannot be opened here is refused when it is opened
        // for writing).
        const int csv_fd = ::open(csv.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
        return csv_fd < 0 ? 0 : lock_csv(csv_fd, csv, error);
      }
      ::close(fd);  // removed by its previous holder after we opened it: take the new one
    }
    error = path_ + ": cannot lock: the file keeps being replaced";
    return 1;
  }

 private:
  int fd_ = -1;
  int csv_fd_ = -1;  // the CSV itself, locked by inode
  std::string path_;
};

// Refuses output paths that would destroy input or write where no file belongs: the CSV, its
// settings file or its lock file being the matrix (by any name), and a CSV or settings file
// that exists and is not a regular file (a device, a folder, a pipe). Returns an exit status,
// -1 for "go on".
int check_output_paths(const SweepOptions& o, std::string& error);

// Checks the settings file of a CSV being resumed against this run's settings: every key
// this run has must be there with its value, and every other key must be an informational one.
// Returns false with the message.
bool settings_match(const SweepSettings& now, const SweepSettings& old, const std::string& csv,
                    const std::string& settings_file, std::string& error);

// Writes `text` to `path` whole: to path.new first, then renamed over it, so that a crash or a
// full disk leaves the old file or the new one, never a part.
bool replace_file(const std::string& path, const std::string& text, std::string& error);

// A kind of CSV: its header, and the reader that takes a file of that kind back for --resume
// (given the run's settings text; it fills the finished rows' and the partial row's p in
// `state`, which prepare_csv compares with --p).
struct CsvFormat {
  const char* header;
  std::function<bool(const std::string& text, const std::string& settings, ResumeState& state,
                     std::string& error)>
      parse;
};

// Rank 0: creates the CSV (and its settings file) or reads it back for --resume, truncating an
// unfinished last row. A refused resume changes no file; a start that fails leaves neither the
// CSV nor its settings file behind. Returns an exit status, -1 for "go on".
int prepare_csv(const SweepOptions& o, const SweepSettings& settings, const CodeLimits& limits,
                const CsvFormat& format, CsvLock& lock, CsvFile& csv, ResumeState& state,
                std::string& error);

// The progress line's pace during a point: due() at most every 250 ms, and the rate of the
// blocks decoded since the point (or its continuation) began.
class ProgressPace {
 public:
  bool due() {
    const Clock::time_point now = Clock::now();
    if (now - last_ < std::chrono::milliseconds(250)) return false;
    last_ = now;
    return true;
  }
  double blocks_per_second(std::int64_t new_blocks) const {
    const double elapsed = seconds_since(start_);
    return elapsed > 0.0 ? static_cast<double>(new_blocks) / elapsed : 0.0;
  }
  double seconds() const { return seconds_since(start_); }

 private:
  Clock::time_point start_ = Clock::now();
  Clock::time_point last_ = start_;
};

// Rank 0, after a point: its table line on `out` and its CSV row (when any block was decoded,
// `blocks` > 0), then, for a run cut short, what was kept and how to continue on `err`. Returns
// false when the row could not be written (said on `err`).
bool finish_point(std::FILE* out, std::FILE* err, CsvFile& csv, double p, std::int64_t blocks,
                  bool finished, bool cut_short, const std::string& table_line,
                  const std::string& csv_line);

}  // namespace ldpcsw::sweep
