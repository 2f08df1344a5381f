#include "tools/sweep/sweep.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <system_error>

#include "code/degrees.h"
#include "code/density.h"
#include "code/rank.h"
#include "gpu/gpu_minsum.h"
#include "gpu/kernel_runner.h"
#include "sweep/input.h"
#include "sweep/report.h"

namespace ldpcsw::sweep {

namespace {

// Workers a device stands for when the rounds are sized.
constexpr std::int64_t GPU_ROUND_WORKERS = 256;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// True on every process when `ok` holds on every process.
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

}  // namespace

SweepSettings run_settings(const SweepOptions& o, const SweepCode& code) {
  SweepSettings settings{{"matrix", hex64(code_fingerprint(code))},
          {"n", std::to_string(code.n)},
          {"m", std::to_string(code.m)},
          {"decoder", decoder_name(o.decoder)},
          {"seed", std::to_string(o.seed)},
          {"blocks", std::to_string(o.blocks)},
          {"max_frame_errors", std::to_string(o.max_frame_errors)}};
  add_minsum_settings(o, settings);
  return settings;
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

// Rank 0: creates the CSV (and its settings file) or reads it back for --resume, truncating an
// unfinished last row. A refused resume changes no file; a start that fails leaves neither the
// CSV nor its settings file behind. Returns an exit status, -1 for "go on".
int prepare_csv(const SweepOptions& o, const SweepCode& code, const CodeLimits& limits,
                CsvLock& lock, CsvFile& csv, ResumeState& state, std::string& error) {
  namespace fs = std::filesystem;
  const std::string settings_file = settings_path(o.csv);
  const SweepSettings settings = run_settings(o, code);
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
    const CsvRules rules{code.n, o.blocks, o.max_frame_errors, csv.settings};
    if (!parse_sweep_csv(text, o.csv, rules, state, error)) return 1;
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
    if (state.keep_bytes == 0 && !csv.write_line(CSV_HEADER, error)) return 1;
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
  if (!csv.write_line(CSV_HEADER, error)) return fail_start();
  return -1;
}

std::string format_duration(double seconds) {
  if (!(seconds >= 0.0) || seconds > 1e8) return "?";
  const auto s = static_cast<long long>(seconds + 0.5);
  char buf[48];
  if (s >= 3600) std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  else std::snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
  return buf;
}

}  // namespace

// The threshold p* of the ensemble whose node-perspective degree distributions are the
// matrix's own (each degree's share of the columns and of the rows), by density evolution.
bool threshold_of_degrees(const SweepCode& code, double& threshold, std::string& error) {
  auto distribution = [](const std::vector<int>& ptr, int nodes) {
    std::map<int, int> count;
    for (int i = 0; i < nodes; ++i) ++count[ptr[i + 1] - ptr[i]];
    DegreeDistribution d;
    for (const auto& [degree, how_many] : count) {
      d.degrees.push_back(degree);
      d.fractions.push_back(static_cast<double>(how_many) / nodes);
    }
    return d;
  };
  const DegreeDistribution columns = distribution(code.col_ptr, code.n);
  const DegreeDistribution rows = distribution(code.ir, code.m);
  if (columns.degrees.front() < 1 || rows.degrees.front() < 1) {
    error = std::string("--threshold auto: the matrix has ") +
            (columns.degrees.front() < 1 ? "a column" : "a row") +
            " without ones; density evolution needs every degree >= 1 (give --threshold P)";
    return false;
  }
  return code_threshold(columns, rows, DensityOptions{}, threshold, error);
}

// Why density evolution finds no p > 0 at which the matrix's ensemble converges.
static std::string no_threshold_reason(const SweepCode& code) {
  int degree_one = 0;
  for (int c = 0; c < code.n; ++c) degree_one += code.col_ptr[c + 1] - code.col_ptr[c] == 1;
  if (degree_one > 0)
    return std::to_string(degree_one) +
           " columns have a single one, and belief propagation leaves their error probability "
           "above 0 at every p > 0, so the ensemble's threshold p* is 0";
  return "density evolution converges at no p > 0, so the ensemble's threshold p* is 0";
}

// Rank 0: the code's rate, limit and, when asked for, threshold. Returns an exit status, -1
// for "go on".
int find_limits(const SweepOptions& o, const SweepCode& code, CodeLimits& limits,
                std::string& warning, std::string& error) {
  limits = code_limits(gf2_rank(code.n, code.m, code.ir.data(), code.jc.data()), code.n, code.m);
  if (o.threshold >= 0.0) {
    limits.threshold = o.threshold;
    limits.threshold_source = "given";
  } else if (o.threshold_auto) {
    double t = 0.0;
    if (!threshold_of_degrees(code, t, error)) {
      error = o.matrix + ": " + error;
      return 1;
    }
    if (t > 0.0) {
      limits.threshold = t;
      limits.threshold_source = "degrees";
    } else {
      // p* = 0 is no threshold --threshold or the plot would take: none is recorded.
      warning = "--threshold auto: " + o.matrix + ": " + no_threshold_reason(code) +
                "; no threshold recorded";
    }
  }
  return -1;
}

int run_sweep(const SweepOptions& o, Collective& group, const std::atomic<bool>* stop,
              const SweepIo& io) {
  const bool root = group.rank() == 0;
  std::string error;

  SweepCode code;
  bool loaded = load_sweep_code(o.matrix, o.format, code, error);
  if (loaded && is_minsum(o.decoder) && !prepare_minsum_code(code, error))
    loaded = false, error = o.matrix + ": " + error;
  if (!loaded) std::fprintf(io.err, "ldpcsw-sweep: %s\n", error.c_str());
  if (!all_ok(group, loaded)) return 1;

  // --device gpu: every process opens its own device decoder on the matrix before anything
  // is written, so a machine without a usable device refuses the sweep at once.
  GpuMinsum gpu;
  if (o.device == SweepDevice::gpu) {
    std::string why;
    bool ok = gpu_minsum_available(why);
    if (ok && !gpu.open(code.minsum, gpu_minsum_batch_capacity(code.minsum), why,
                        o.device_index))
      ok = false;
    if (!ok) std::fprintf(io.err, "ldpcsw-sweep: --device gpu: %s\n", why.c_str());
    if (!all_ok(group, ok)) return 1;
    // A build without CUDA runs the kernels through the SIMT emulation: the same counts, but
    // far slower than the CPU decoders, which the user should not learn from the clock.
    if (root && std::strcmp(device_backend_name(), "host") == 0)
      std::fprintf(io.err,
                   "ldpcsw-sweep: --device gpu: this build has no CUDA; the kernels run on the "
                   "host backend (SIMT emulation on the CPU), far slower than --device cpu\n");
  }

  // Rank 0 prepares the output and tells every process where the sweep starts.
  CsvLock lock;
  CsvFile csv;
  ResumeState state;
  CodeLimits limits;
  std::int64_t shared[9] = {0, 0, 0, 0, 0, 0, 0, 0, 0};  // status, finished, partial?, counts
  if (root) {
    int status = -1;
    if (!o.csv.empty()) status = check_output_paths(o, error);
    std::string warning;
    if (status < 0) status = find_limits(o, code, limits, warning, error);
    if (!warning.empty()) std::fprintf(io.err, "ldpcsw-sweep: %s\n", warning.c_str());
    if (status < 0 && !o.csv.empty()) {
      if (lock.acquire(o.csv, error) != 0) status = 1;
      if (status < 0) status = prepare_csv(o, code, limits, lock, csv, state, error);
    }
    if (status >= 0) std::fprintf(io.err, "ldpcsw-sweep: %s\n", error.c_str());
    shared[0] = status + 1;  // 0 means go on
    shared[1] = static_cast<std::int64_t>(state.finished.size());
    shared[2] = state.has_partial ? 1 : 0;
    shared[3] = state.partial.counts.blocks;
    shared[4] = state.partial.counts.frame_errors;
    shared[5] = state.partial.counts.bit_errors;
    shared[6] = state.partial.counts.iterations;
    shared[7] = state.partial.counts.bit_errors_sq;
    shared[8] = state.partial.counts.undetected_errors;
  }
  group.sum(shared, 9);
  if (shared[0] != 0) return static_cast<int>(shared[0] - 1);
  const std::size_t first_point = static_cast<std::size_t>(shared[1]);
  const PointCounts resumed{shared[3], shared[4], shared[5], shared[6], shared[7], shared[8]};
  if (root && state.torn_tail)
    std::fprintf(io.err, "ldpcsw-sweep: %s ended inside a row (a cut-off write); dropped it\n",
                 o.csv.c_str());

  // Threads beyond MAX_THREADS_PER_CORE per core, or beyond one per block of this process's
  // share of a point, would only idle and hold memory. A thread the system refuses to start
  // leaves the pool with those that did: the sweep goes on with them (the counts do not
  // depend on the thread count) and says so.
  const int cores = available_cores();
  const std::int64_t share = (o.blocks + group.size() - 1) / group.size();
  const int wanted = useful_workers(o.threads, share, cores);
  const int core_cap = useful_workers(o.threads, 0, cores);
  if (root && core_cap < o.threads)
    std::fprintf(io.err,
                 "ldpcsw-sweep: --threads %d: running at most %d, %d per core of the %d this "
                 "process may use (more only cost memory)\n",
                 o.threads, core_cap, MAX_THREADS_PER_CORE, cores);
  WorkerPool pool(wanted);
  if (!pool.start_error().empty())
    std::fprintf(io.err,
                 "ldpcsw-sweep: --threads: only %d of %d threads could start (%s); running "
                 "with %d\n",
                 pool.size(), wanted, pool.start_error().c_str(), pool.size());

  // A device counts as GPU_ROUND_WORKERS workers in the rounds' sizes, so that its rounds are
  // long enough to fill it (round sizes never change a count).
  std::int64_t total_workers = o.device == SweepDevice::gpu ? GPU_ROUND_WORKERS : pool.size();
  group.sum(&total_workers, 1);

  const int p_width = table_p_width(o.ps);
  if (root) {
    std::fputs(format_limits_line(limits).c_str(), io.out);
    std::fputs(format_table_header(p_width).c_str(), io.out);
    for (const PointRow& row : state.finished)
      std::fputs(format_table_row(row, code.n, limits.rate, p_width).c_str(), io.out);
    std::fflush(io.out);
  }

  std::vector<BlockWorkspace> workspaces;
  workspaces.reserve(static_cast<std::size_t>(pool.size()));
  for (int w = 0; w < pool.size(); ++w) workspaces.emplace_back(code);

  for (std::size_t i = first_point; i < o.ps.size(); ++i) {
    const bool continues = i == first_point && shared[2] != 0;
    const PointCounts start = continues ? resumed : PointCounts{};
    const double earlier_seconds = continues && root ? state.partial.seconds : 0.0;
    const PointTask task{o.ps[i], o.blocks, o.max_frame_errors, o.seed, o.minsum,
                         gpu.is_open() ? &gpu : nullptr};
    std::int64_t write_failed = 0;

    const Clock::time_point t0 = Clock::now();
    Clock::time_point last_draw = t0;
    ProgressFn progress;
    if (root && io.progress) {
      progress = [&, i](const PointCounts& settled, std::int64_t in_round) {
        const Clock::time_point now = Clock::now();
        if (now - last_draw < std::chrono::milliseconds(250)) return;
        last_draw = now;
        const double elapsed = std::chrono::duration<double>(now - t0).count();
        const std::int64_t done = std::min(o.blocks, settled.blocks + in_round * group.size());
        const double speed = elapsed > 0.0 ? static_cast<double>(done - start.blocks) / elapsed : 0.0;
        double left_blocks = static_cast<double>(o.blocks - done);
        if (o.max_frame_errors > 0 && settled.frame_errors > 0)
          left_blocks = std::min(left_blocks, static_cast<double>(o.max_frame_errors - settled.frame_errors) *
                                                  static_cast<double>(settled.blocks) /
                                                  static_cast<double>(settled.frame_errors));
        char limit[32] = "";
        if (o.max_frame_errors > 0)
          std::snprintf(limit, sizeof limit, "/%lld", static_cast<long long>(o.max_frame_errors));
        const std::string left = speed > 0.0 ? format_duration(left_blocks / speed) : "?";
        std::fprintf(io.err,
                     "\rp %s (point %zu/%zu)  blocks %lld/%lld  frame errors %lld%s  %.0f blocks/s"
                     "  %s left\033[K",
                     format_number(task.p).c_str(), i + 1, o.ps.size(),
                     static_cast<long long>(done), static_cast<long long>(o.blocks),
                     static_cast<long long>(settled.frame_errors), limit, speed, left.c_str());
        std::fflush(io.err);
      };
    }

    const PointResult r =
        run_point(code, o.decoder, task, start, pool, workspaces, group, total_workers, stop, progress);
    // A failed device ends the sweep on every process after the blocks settled so far are
    // recorded, as an interruption does, but with exit status 1.
    std::int64_t device_failed = r.device_error.empty() ? 0 : 1;
    if (device_failed != 0) std::fprintf(io.err, "ldpcsw-sweep: %s\n", r.device_error.c_str());
    if (o.device == SweepDevice::gpu) group.sum(&device_failed, 1);
    // A stop that comes as the last point completes has nothing left to cut short.
    const bool cut_short = r.interrupted && !(r.finished && i + 1 == o.ps.size());

    if (root) {
      if (io.progress) std::fputs("\r\033[K", io.err);
      PointRow row{task.p, r.counts, earlier_seconds + seconds_since(t0), !r.finished};
      const bool write = r.counts.blocks > 0;  // a point with no block decoded says nothing
      if (write) {
        std::fputs(format_table_row(row, code.n, limits.rate, p_width).c_str(), io.out);
        std::fflush(io.out);
      }
      if (write && csv.file != nullptr && !csv.write_line(format_csv_row(row, code.n, csv.settings, csv.chain), error)) {
        std::fprintf(io.err, "ldpcsw-sweep: %s\n", error.c_str());
        write_failed = 1;
      }
      if (cut_short) {
        if (r.finished)
          std::fprintf(io.err, "ldpcsw-sweep: interrupted after point p = %s.\n",
                       format_number(task.p).c_str());
        else
          std::fprintf(io.err,
                       "ldpcsw-sweep: interrupted; point p = %s stopped after %lld blocks%s.\n",
                       format_number(task.p).c_str(), static_cast<long long>(r.counts.blocks),
                       csv.file != nullptr && write ? " (written as a partial row)" : "");
        if (csv.file != nullptr)
          std::fprintf(io.err, "Run the same command with --resume to continue.\n");
      }
    }
    // A failed write on rank 0 ends the sweep on every process.
    group.sum(&write_failed, 1);
    if (write_failed != 0) return 1;
    if (device_failed != 0) return 1;
    if (cut_short) return EXIT_INTERRUPTED;
  }
  return 0;
}

}  // namespace ldpcsw::sweep
