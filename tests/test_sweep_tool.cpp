// ldpcsw-sweep run as a process: exit statuses and messages, a real SIGINT in the middle of a
// point followed by --resume, and the CSV protected from a run that would overwrite or
// wrongly continue it.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fcntl.h>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support.h"

using ldpcsw::test::bin;
using ldpcsw::test::read_file;
using ldpcsw::test::run_process;
using ldpcsw::test::TempDir;
using ldpcsw::test::write_file;

namespace {

const std::string MATRIX = std::string(LDPCSW_DATA_DIR) + "/Reg504252.dat";

// The first five CSV fields (p, H(p), counts) and the average iterations of every row.
std::string counts_of(const std::string& csv_text) {
  std::istringstream in(csv_text);
  std::string line, out;
  while (std::getline(in, line)) {
    std::vector<std::string> f;
    std::stringstream s(line);
    std::string field;
    while (std::getline(s, field, ',')) f.push_back(field);
    if (f.size() < 12) return "short row: " + line;
    out += f[0] + "," + f[2] + "," + f[3] + "," + f[4] + "," + f[11] + "\n";
  }
  return out;
}

std::vector<std::string> sweep_args(const std::string& csv) {
  return {"--matrix", MATRIX, "--p", "0.04,0.06", "--blocks", "2500", "--max-frame-errors", "40",
          "--threads", "1", "--seed", "3", "--csv", csv};
}

}  // namespace

TEST(SweepTool, CommandLineErrorsExitTwoWithOneMessage) {
  TempDir dir;
  auto r = run_process(bin("ldpcsw-sweep"), {"--matrix", MATRIX, "--p", "0.02:0.1"}, dir.path);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("ldpcsw-sweep: --p: '0.02:0.1' is not a number or a range FIRST:LAST:STEP"), std::string::npos) << r.err;
  r = run_process(bin("ldpcsw-sweep"), {"--p", "0.1"}, dir.path);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("--matrix is required"), std::string::npos) << r.err;
  r = run_process(bin("ldpcsw-sweep"), {"--help"}, dir.path);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_NE(r.out.find("Usage: ldpcsw-sweep"), std::string::npos);
  r = run_process(bin("ldpcsw-sweep"), {"--matrix", "missing.dat", "--p", "0.1"}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("missing.dat: cannot open"), std::string::npos) << r.err;
}

TEST(SweepTool, InterruptedRunResumesToTheUninterruptedCounts) {
  TempDir dir;
  const auto whole = run_process(bin("ldpcsw-sweep"), sweep_args(dir.file("whole.csv")), dir.path);
  ASSERT_EQ(whole.exit_code, 0) << whole.err;

  // Start the same sweep and interrupt it once it has decoded for a moment.
  const std::string csv = dir.file("cut.csv");
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    const int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<std::string> args = sweep_args(csv);
    std::vector<char*> argv{const_cast<char*>("ldpcsw-sweep")};
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(bin("ldpcsw-sweep").c_str(), argv.data());
    _exit(127);
  }
  for (int i = 0; i < 200 && read_file(csv).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  kill(pid, SIGINT);
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 130) << "the sweep finished before the interrupt";
  const std::string cut = read_file(csv);
  ASSERT_NE(cut.find(",partial\n"), std::string::npos) << cut;

  std::vector<std::string> args = sweep_args(csv);
  args.push_back("--resume");
  const auto resumed = run_process(bin("ldpcsw-sweep"), args, dir.path);
  ASSERT_EQ(resumed.exit_code, 0) << resumed.err;
  const std::string text = read_file(csv);
  EXPECT_EQ(text.find("partial"), std::string::npos);
  EXPECT_EQ(counts_of(text), counts_of(read_file(dir.file("whole.csv"))));
}

TEST(SweepTool, CsvIsNeitherOverwrittenNorContinuedWithOtherSettings) {
  TempDir dir;
  const std::string csv = dir.file("s.csv");
  std::vector<std::string> args = {"--matrix", MATRIX, "--p", "0.03", "--blocks", "20",
                                   "--threads", "1", "--csv", csv};
  ASSERT_EQ(run_process(bin("ldpcsw-sweep"), args, dir.path).exit_code, 0);
  const std::string before = read_file(csv);

  auto r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  EXPECT_EQ(r.exit_code, 2);
  EXPECT_NE(r.err.find("already exists; give --resume"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(csv), before);

  args.insert(args.end(), {"--resume", "--seed", "9"});
  r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("another --seed (seed 1, now 9)"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(csv), before);

  // Resuming a finished sweep with one more point decodes only the new point.
  args.resize(args.size() - 2);
  args[3] = "0.03,0.04";
  r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::string after = read_file(csv);
  EXPECT_EQ(after.substr(0, before.size()), before);
  EXPECT_EQ(counts_of(after).substr(counts_of(before).size(), 5), "0.04,");
}

// A complete file of a few bytes can declare two billion columns: refused with a line, not an
// abort. The address-space limit makes the allocation fail on any machine; sanitizer
// runtimes reserve far more address space up front and cannot run under it.
#if defined(__SANITIZE_ADDRESS__)
#define LDPCSW_SWEEP_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define LDPCSW_SWEEP_UNDER_ASAN 1
#endif
#endif
TEST(SweepTool, MatrixTooLargeForMemoryIsRefusedWithOneLine) {
#ifdef LDPCSW_SWEEP_UNDER_ASAN
  GTEST_SKIP() << "an address-space limit cannot be combined with AddressSanitizer";
#endif
  ldpcsw::test::TempDir dir;
  // At the decoders' int sizes (E + 2n = 2^31 - 1, the largest accepted), beyond a 2 GB
  // address space: refused for memory.
  ldpcsw::test::write_file(dir.file("big.dat"), "1073741823 1 1\n5\n");
  const auto r = run_process(
      "/bin/sh",
      {"-c", "ulimit -v 2000000 && exec '" + bin("ldpcsw-sweep") + "' --matrix big.dat --p 0.05 -q"},
      dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "ldpcsw-sweep: big.dat: not enough memory for the matrix and the decoders' arrays\n");
  // One column more, and the two-billion-column file: refused for their size before anything
  // of n values is allocated, so the answer does not depend on the machine's memory (under the
  // same limit an attempt to allocate would give the memory line instead).
  ldpcsw::test::write_file(dir.file("over.dat"), "1073741824 1 1\n5\n");
  ldpcsw::test::write_file(dir.file("huge.dat"), "2147483647 1 1\n5\n");
  const std::pair<const char*, const char*> cases[] = {
      {"over.dat", "n = 1073741824, m = 1, 1 ones: the decoders' arrays would hold "
                   "E + 2n = 2147483649 numbers"},
      {"huge.dat", "n = 2147483647, m = 1, 1 ones: the decoders' arrays would hold "
                   "E + 2n = 4294967295 numbers"}};
  for (const auto& [name, what] : cases) {
    const auto h = run_process("/bin/sh",
                               {"-c", "ulimit -v 2000000 && exec '" + bin("ldpcsw-sweep") +
                                          "' --matrix " + name + " --p 0.05 -q"},
                               dir.path);
    EXPECT_EQ(h.exit_code, 1) << name;
    EXPECT_EQ(h.err, std::string("ldpcsw-sweep: ") + name + ": " + what +
                         ", beyond the int range (2147483647) of their sizes\n");
    EXPECT_EQ(h.out, "") << name;
  }
}

// ---- The CSV guards itself: one writer at a time, no output onto the matrix or a device,
// ---- no resume from rows the sweep did not write; a stop during start-up; the plot.

// A resume that is refused changes no file: not the CSV, not FILE.run (a --threshold given
// with the refused resume is not recorded). The refusals name what differs.
TEST(SweepTool, RefusedResumeWritesNothing) {
  TempDir dir;
  const std::string csv = dir.file("s.csv");
  std::vector<std::string> args = {"--matrix", MATRIX, "--p", "0.06,0.07", "--blocks", "200",
                                   "--max-frame-errors", "10", "--threads", "1", "-q",
                                   "--csv", csv};
  ASSERT_EQ(run_process(bin("ldpcsw-sweep"), args, dir.path).exit_code, 0);
  const std::string rows = read_file(csv), run = read_file(csv + ".run");

  args[3] = "0.06";
  for (const char* a : {"--resume", "--threshold", "0.05"}) args.push_back(a);
  auto r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("it holds 2 points, --p gives only 1"), std::string::npos) << r.err;
  EXPECT_EQ(read_file(csv + ".run"), run);

  std::string edited = rows;  // the first row's check, last digit changed
  const auto end_of_row = edited.find('\n', edited.find('\n') + 1) - 1;
  edited[end_of_row] = edited[end_of_row] == '0' ? '1' : '0';
  write_file(csv, edited);
  args[3] = "0.06,0.07";
  r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("s.csv: line 2: the row does not match its check"), std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(csv + ".run"), run);
  EXPECT_EQ(read_file(csv), edited);
  write_file(csv, rows);

  // FILE.run with a key twice, or a key no sweep writes: refused by name.
  for (const auto& [extra, message] :
       {std::pair{std::string("seed=1\n"), "s.csv.run: line 11: the key 'seed' is given twice"},
        std::pair{std::string("colour=blue\n"), "s.csv.run: unknown key 'colour'"},
        std::pair{std::string("minsum_q=16\n"),
                  "it was made with another fixed-point decoder setting (minsum_q 16, now none)"}}) {
    write_file(csv + ".run", run + extra);
    r = run_process(bin("ldpcsw-sweep"), args, dir.path);
    EXPECT_EQ(r.exit_code, 1) << extra;
    EXPECT_NE(r.err.find(message), std::string::npos) << r.err;
    EXPECT_EQ(read_file(csv), rows);
  }
  write_file(csv + ".run", run);

  // Another matrix of the same n, m and row weights (a PEG build of another seed): the
  // fingerprint tells them apart.
  for (const char* seed : {"1", "2"}) {
    const auto b = run_process(bin("ldpcsw-code"),
                               {"build", "--n", "96", "--m", "48", "--seed", seed, "--dat",
                                dir.file(std::string("peg") + seed + ".dat")},
                               dir.path);
    ASSERT_EQ(b.exit_code, 0) << b.err;
  }
  ASSERT_NE(read_file(dir.file("peg1.dat")), read_file(dir.file("peg2.dat")));
  std::vector<std::string> peg = {"--matrix", dir.file("peg1.dat"), "--p", "0.02", "--blocks",
                                  "20", "--threads", "1", "-q", "--csv", dir.file("peg.csv")};
  ASSERT_EQ(run_process(bin("ldpcsw-sweep"), peg, dir.path).exit_code, 0);
  const std::string peg_rows = read_file(dir.file("peg.csv"));
  peg[1] = dir.file("peg2.dat");
  peg[3] = "0.02,0.03";
  peg.push_back("--resume");
  r = run_process(bin("ldpcsw-sweep"), peg, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("cannot resume " + dir.file("peg.csv") + ": it was made with another "
                       "matrix (matrix "),
            std::string::npos)
      << r.err;
  EXPECT_EQ(read_file(dir.file("peg.csv")), peg_rows);
}

// A CSV with CR LF line ends stays one: the rows a resume appends end in CR LF too.
TEST(SweepTool, ResumedCrlfCsvKeepsItsLineEnds) {
  TempDir dir;
  const std::string csv = dir.file("s.csv");
  std::vector<std::string> args = {"--matrix", MATRIX, "--p", "0.06", "--blocks", "100",
                                   "--threads", "1", "-q", "--csv", csv};
  ASSERT_EQ(run_process(bin("ldpcsw-sweep"), args, dir.path).exit_code, 0);
  std::string crlf;
  for (char c : read_file(csv)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  write_file(csv, crlf);
  args[3] = "0.06,0.07";
  args.push_back("--resume");
  const auto r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string text = read_file(csv);
  EXPECT_EQ(text.substr(0, crlf.size()), crlf);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 3);
  EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 3) << text;
}

// A start that cannot write (a full disk, here a file-size limit of 0) leaves neither an empty
// CSV nor a settings file behind, which a later run would take for a sweep that began.
TEST(SweepTool, StartThatCannotWriteLeavesNoFiles) {
  TempDir dir;
  // The limit holds for regular files only: the messages go through a pipe to be read.
  const std::string command = "set -o pipefail; (ulimit -f 0; trap '' XFSZ; exec '" +
                              bin("ldpcsw-sweep") + "' --matrix '" + MATRIX +
                              "' --p 0.05 --blocks 10 -q --csv c.csv) 2>&1 | cat >&2";
  const auto r = run_process("/bin/bash", {"-c", command}, dir.path);
  EXPECT_EQ(r.exit_code, 1) << r.err;
  EXPECT_NE(r.err.find("c.csv.run: cannot write: "), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  for (const char* name : {"c.csv", "c.csv.run", "c.csv.run.new", "c.csv.lock"})
    EXPECT_FALSE(std::filesystem::exists(dir.file(name))) << name;
}

namespace {

// Starts ldpcsw-sweep in `cwd` with standard error into `err_file`; returns its pid.
pid_t start_sweep(const std::vector<std::string>& args, const std::string& cwd,
                  const std::string& err_file) {
  const pid_t pid = fork();
  if (pid == 0) {
    const int null = open("/dev/null", O_RDWR);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (null < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    dup2(null, 0);
    dup2(null, 1);
    dup2(err, 2);
    std::vector<std::string> copy = args;
    std::vector<char*> argv{const_cast<char*>("ldpcsw-sweep")};
    for (auto& a : copy) argv.push_back(a.data());
    argv.push_back(nullptr);
    execv(bin("ldpcsw-sweep").c_str(), argv.data());
    _exit(127);
  }
  return pid;
}

int wait_status(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Ends a started sweep that a failed assertion left running.
struct Reaper {
  pid_t pid = -1;
  ~Reaper() {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
  }
};

bool wait_for_file(const std::string& path) {
  for (int i = 0; i < 1000; ++i) {
    if (access(path.c_str(), F_OK) == 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

bool exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::vector<std::string> long_sweep(const std::string& csv) {
  return {"--matrix", MATRIX, "--p", "0.03", "--blocks", "1e6", "--threads", "1", "--csv", csv,
          "-q"};
}

}  // namespace

TEST(SweepToolCsv, SecondWriterIsRefusedWhileTheFirstHoldsTheLock) {
  TempDir dir;
  const std::string csv = dir.file("s.csv"), lock = csv + ".lock";
  const pid_t first = start_sweep(long_sweep(csv), dir.path, dir.file("first.err"));
  Reaper reap_first{first};
  ASSERT_TRUE(wait_for_file(lock));
  ASSERT_TRUE(wait_for_file(csv));

  for (const char* mode : {"--overwrite", "--resume"}) {
    std::vector<std::string> args = long_sweep(csv);
    args.push_back(mode);
    const auto r = run_process(bin("ldpcsw-sweep"), args, dir.path);
    EXPECT_EQ(r.exit_code, 1) << mode;
    EXPECT_NE(r.err.find("s.csv is in use by another sweep (pid " + std::to_string(first) +
                         " on host "),
              std::string::npos)
        << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
  // The same file under another name is the same file.
  ASSERT_EQ(symlink(csv.c_str(), dir.file("alias.csv").c_str()), 0);
  std::vector<std::string> alias = long_sweep(dir.file("alias.csv"));
  alias.push_back("--overwrite");
  auto r = run_process(bin("ldpcsw-sweep"), alias, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("is in use by another sweep"), std::string::npos) << r.err;

  // So is a hard link, which no name comparison sees: the file itself is locked.
  ASSERT_EQ(link(csv.c_str(), dir.file("hard.csv").c_str()), 0);
  const std::string rows_before = read_file(csv);
  ASSERT_FALSE(rows_before.empty());
  for (const char* mode : {"--overwrite", "--resume"}) {
    std::vector<std::string> hard = long_sweep(dir.file("hard.csv"));
    hard.push_back(mode);
    r = run_process(bin("ldpcsw-sweep"), hard, dir.path);
    EXPECT_EQ(r.exit_code, 1) << mode;
    EXPECT_NE(r.err.find("hard.csv is in use by another sweep that writes the same file under "
                         "another name (a hard link)"),
              std::string::npos)
        << r.err;
  }
  EXPECT_EQ(read_file(csv).substr(0, rows_before.size()), rows_before);  // not truncated
  EXPECT_FALSE(exists(dir.file("hard.csv.run")));
  EXPECT_FALSE(exists(dir.file("hard.csv.lock")));
  ASSERT_EQ(unlink(dir.file("hard.csv").c_str()), 0);

  kill(first, SIGINT);
  EXPECT_EQ(wait_status(first), 130) << read_file(dir.file("first.err"));
  EXPECT_FALSE(exists(lock));  // released and removed

  // A run that dies without a word leaves its lock file, but not its lock.
  std::vector<std::string> resume = long_sweep(csv);
  resume.push_back("--resume");
  const pid_t killed = start_sweep(resume, dir.path, dir.file("killed.err"));
  Reaper reap_killed{killed};
  ASSERT_TRUE(wait_for_file(lock));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  kill(killed, SIGKILL);
  EXPECT_EQ(wait_status(killed), 128 + SIGKILL);
  EXPECT_TRUE(exists(lock));
  std::vector<std::string> fresh = long_sweep(csv);
  fresh[5] = "300";
  fresh.push_back("--overwrite");
  r = run_process(bin("ldpcsw-sweep"), fresh, dir.path);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(exists(lock));
}

TEST(SweepToolCsv, OutputThatIsTheMatrixOrNotAFileIsRefused) {
  TempDir dir;
  const std::string matrix_text = read_file(MATRIX);
  write_file(dir.file("h.dat"), matrix_text);
  ASSERT_EQ(symlink("h.dat", dir.file("link.csv").c_str()), 0);
  ASSERT_EQ(symlink("h.dat", dir.file("x.csv.run").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", dir.file("null.csv").c_str()), 0);
  ASSERT_EQ(mkdir(dir.file("folder.csv").c_str(), 0700), 0);
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"h.dat", "--csv h.dat: it is the matrix file h.dat"},
      {"link.csv", "--csv link.csv: it is the matrix file h.dat"},
      {"x.csv", "--csv x.csv: x.csv.run is the matrix file h.dat"},
      {"null.csv", "--csv null.csv: it exists and is not a regular file"},
      {"/dev/full", "--csv /dev/full: it exists and is not a regular file"},
      {"folder.csv", "--csv folder.csv: it exists and is not a regular file"},
      {"", "--csv: the file name is empty"},
  };
  for (const auto& [csv, message] : cases) {
    const auto r = run_process(bin("ldpcsw-sweep"),
                               {"--matrix", "h.dat", "--p", "0.05", "--blocks", "10", "--csv",
                                csv, "--overwrite", "-q"},
                               dir.path);
    EXPECT_EQ(r.exit_code, 2) << csv;
    EXPECT_EQ(r.out, "") << csv;
    EXPECT_NE(r.err.find("ldpcsw-sweep: " + message), std::string::npos) << r.err;
  }
  EXPECT_EQ(read_file(dir.file("h.dat")), matrix_text);
  EXPECT_FALSE(exists(dir.file("null.csv.run")));
  EXPECT_FALSE(exists(dir.file("null.csv.lock")));
  EXPECT_FALSE(exists(dir.file("x.csv")));
}

TEST(SweepToolCsv, ResumeRefusesEditedRowsAndAcceptsATrailingBlankLine) {
  TempDir dir;
  const std::string csv = dir.file("s.csv");
  std::vector<std::string> args = {"--matrix", MATRIX, "--p", "0.06,0.07", "--blocks", "300",
                                   "--max-frame-errors", "10", "--threads", "2", "--csv", csv};
  ASSERT_EQ(run_process(bin("ldpcsw-sweep"), args, dir.path).exit_code, 0);
  const std::string made = read_file(csv);

  // A blank line at the end, as an editor leaves it: the resume adds the new point after the
  // rows and drops the blank line.
  write_file(csv, made + "\n");
  args[3] = "0.06,0.07,0.08";
  args.push_back("--resume");
  auto r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  const std::string extended = read_file(csv);
  EXPECT_EQ(extended.substr(0, made.size()), made);
  EXPECT_EQ(extended.find("\n\n"), std::string::npos);
  EXPECT_EQ(std::count(extended.begin(), extended.end(), '\n'), 4);

  // One frame error taken away from the first point: refused, naming the line, file as it was.
  std::string edited = extended;
  const auto first_row = edited.find('\n') + 1;
  const auto fe = edited.find(",10,", first_row);
  ASSERT_NE(fe, std::string::npos);
  edited.replace(fe, 4, ",9,");
  write_file(csv, edited);
  r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("s.csv: line 2: "), std::string::npos) << r.err;
  EXPECT_EQ(read_file(csv), edited);

  // A file of an earlier version: refused with the way out, and the way out works.
  write_file(csv, "p,h_p,blocks,frame_errors,bit_errors,fer,fer_lo,fer_hi,ber,ber_lo,ber_hi,"
                  "avg_iterations,seconds,blocks_per_second\n"
                  "0.06,0.32744491915447627,300,10,300,0.03,1,1,1,1,1,9,1,300\n");
  r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("written by an earlier version of ldpcsw-sweep"), std::string::npos)
      << r.err;
  args.back() = "--overwrite";
  r = run_process(bin("ldpcsw-sweep"), args, dir.path);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(counts_of(read_file(csv)), counts_of(extended));
}

namespace {

// True once process `pid` catches SIGTERM (its SigCgt mask in /proc holds the signal).
bool catches_sigterm(pid_t pid) {
  std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(in, line);)
    if (line.rfind("SigCgt:", 0) == 0)
      return (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1u;
  return false;
}

// The processes whose parent is `pid`.
std::vector<std::string> children_of(pid_t pid) {
  std::vector<std::string> found;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    const std::string stat = read_file(entry.path().string() + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream rest(stat.substr(close + 2));
    std::string state;
    long parent = 0;
    rest >> state >> parent;
    if (parent == pid) found.push_back(stat.substr(0, close + 1));
  }
  return found;
}

}  // namespace

// A plain run starts no MPI runtime (no helper process), and a stop request is honoured from
// the moment the program can catch it: exit 130 with the sweep's own words, nothing from a
// runtime.
TEST(SweepToolSignals, PlainRunStartsNoRuntimeAndStopsCleanlyRightAfterStart) {
  TempDir dir;
  const std::string csv = dir.file("run.csv");
  pid_t pid = start_sweep(long_sweep(csv), dir.path, csv + ".err");
  Reaper reap{pid};
  ASSERT_TRUE(wait_for_file(csv));
  EXPECT_EQ(children_of(pid), std::vector<std::string>{});
  kill(pid, SIGINT);
  EXPECT_EQ(wait_status(pid), 130) << read_file(csv + ".err");

  for (int run = 0; run < 3; ++run) {
    const std::string name = dir.file("s" + std::to_string(run) + ".csv");
    const std::string err = name + ".err";
    pid = start_sweep(long_sweep(name), dir.path, err);
    Reaper reap_run{pid};
    for (int i = 0; i < 20000 && !catches_sigterm(pid); ++i)
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    kill(pid, SIGTERM);
    EXPECT_EQ(wait_status(pid), 130) << read_file(err);
    const std::string text = read_file(err);
    EXPECT_NE(text.find("ldpcsw-sweep: interrupted"), std::string::npos) << text;
    for (const char* foreign : {"MPI", "PMIx", "PRTE", "ORTE", "-----"})
      EXPECT_EQ(text.find(foreign), std::string::npos) << text;
  }
}

namespace {

const std::string SCRIPTS = std::string(LDPCSW_DATA_DIR) + "/../scripts";

bool have_matplotlib() {
  return run_process("/usr/bin/python3", {"-c", "import matplotlib"}, "/").exit_code == 0;
}

}  // namespace

// The plot reads the CSV with the sweep's rules and answers every refusal with one line.
TEST(SweepToolPlot, ReadsTheCsvWithTheSweepsRulesAndRefusesInOneLine) {
  if (!have_matplotlib()) GTEST_SKIP() << "python3-matplotlib is not installed";
  TempDir dir;
  const std::string csv = dir.file("s.csv");
  ASSERT_EQ(run_process(bin("ldpcsw-sweep"),
                        {"--matrix", MATRIX, "--p", "0.07,0.06", "--blocks", "200",
                         "--max-frame-errors", "8", "--threads", "2", "--csv", csv, "-q"},
                        dir.path)
                .exit_code,
            0);
  const std::string made = read_file(csv);
  auto plot = [&](const std::vector<std::string>& extra) {
    std::vector<std::string> args = {SCRIPTS + "/plot_sweep.py", "s.csv"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_process("/usr/bin/python3", args, dir.path);
  };
  auto one_line = [](const ldpcsw::test::ProcessResult& r, const std::string& expect) {
    EXPECT_EQ(r.exit_code, 1) << r.err;
    EXPECT_EQ(r.err.rfind("plot_sweep.py: ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find(expect), std::string::npos) << r.err;
  };
  one_line(plot({"-o", "s.xyz"}), "s.xyz: unsupported picture format 'xyz'");
  one_line(plot({"-o", "missing/s.png"}), "s.png: the folder missing does not exist");

  write_file(csv, made + "\n\n");  // blank lines at the end: harmless
  auto r = plot({"-o", "s.png"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_FALSE(read_file(dir.file("s.png")).empty());
  write_file(csv, made + "0.08,0.4");  // a row cut off: left out with a note
  r = plot({"-o", "s.svg"});
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_NE(r.err.find("the last line was cut off"), std::string::npos) << r.err;

  std::string edited = made;
  edited.replace(edited.find(",8,", edited.find('\n')), 3, ",7,");
  write_file(csv, edited);
  one_line(plot({}), "s.csv: line 2: the row does not match its check");
  const auto second = made.find('\n', made.find('\n') + 1) + 1;
  write_file(csv, made.substr(0, second) + "\n" + made.substr(second));
  one_line(plot({}), "s.csv: line 3: a blank line between rows");
}

// Points joined in order of p whatever the order of the rows, an unfinished point drawn only
// open, and a Slepian-Wolf limit beyond the points inside the axes with its label.
TEST(SweepToolPlot, PointsInOrderPartialOpenAndTheLimitShown) {
  if (!have_matplotlib()) GTEST_SKIP() << "python3-matplotlib is not installed";
  const std::string script = R"(
import sys
sys.path.insert(0, sys.argv[1])
import matplotlib
matplotlib.use("Agg")
import matplotlib.pyplot as plt
from matplotlib.colors import to_rgba
import plot_sweep

def row(p, fe, be, partial):
    return dict(p=p, frame_errors=fe, bit_errors=be, fer=fe / 100, fer_lo=fe / 200,
                fer_hi=fe / 50, ber=be / 1e4, ber_lo=be / 2e4, ber_hi=be / 5e3, partial=partial)

rows = [row(0.07, 30, 300, False), row(0.05, 10, 100, True), row(0.06, 20, 200, False),
        row(0.03, 0, 0, False)]
fig, ax = plt.subplots()
plot_sweep.draw(ax, rows, 0.9, "rank(H)/n", True)
lines = ax.get_lines()
joined = [l for l in lines if len(l.get_xdata()) == 3 and l.get_linestyle() != "None"]
assert len(joined) == 2, "FER and BER each joined through their three points"
for l in joined:
    assert list(l.get_xdata()) == [0.05, 0.06, 0.07], list(l.get_xdata())
for l in lines:
    xs = list(l.get_xdata())
    if l.get_linestyle() == "None" and l.get_marker() in ("o", "s") and 0.05 in xs:
        assert xs == [0.05], "the unfinished point has no filled marker under its open one"
        assert to_rgba(l.get_markerfacecolor()) == (1.0, 1.0, 1.0, 1.0)
limit = plot_sweep.slepian_wolf_limit(0.9)
lo, hi = ax.get_xlim()
assert lo < limit < hi, (lo, limit, hi)
label = [t for t in ax.texts if "Slepian" in t.get_text()][0]
assert label.get_ha() == "right", "the label goes where the axes have room"
print("ok")
)";
  const auto r = run_process("/usr/bin/python3", {"-c", script, SCRIPTS}, "/");
  EXPECT_EQ(r.exit_code, 0) << r.err;
  EXPECT_EQ(r.out, "ok\n") << r.err;
}

// Refusals of the command line in the sweep's own words: never the option parser's raw text.
TEST(SweepTool, CommandLineRefusalsSayWhatIsWrong) {
  TempDir dir;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--threads", "abc"}, "--threads: 'abc' is not a whole number in 1..4096"},
      {{"--csv", "a.csv", "--csv", "b.csv"}, "--csv is given 2 times; give it once"},
      {{"--blocks"}, "--blocks needs a value"},
      {{"--blocks", "--seed", "3"}, "--blocks needs a value"},
      {{"--bogus"}, "unknown option --bogus"},
      {{"--blocks", "1e20"}, "--blocks: '1e20' is above 2^53 = 9007199254740992"},
      {{"--blocks", "9007199254740993"}, "--blocks: '9007199254740993' is above 2^53"},
      {{"--blocks", "2.5"}, "--blocks: '2.5' is not a whole number"},
      {{"--max-frame-errors", "-1"}, "--max-frame-errors: '-1' is below 0"},
  };
  for (const auto& [extra, expect] : cases) {
    std::vector<std::string> args = {"--matrix", MATRIX, "--p", "0.05"};
    args.insert(args.end(), extra.begin(), extra.end());
    const auto r = run_process(bin("ldpcsw-sweep"), args, dir.path);
    EXPECT_EQ(r.exit_code, 2) << expect;
    EXPECT_EQ(r.err.rfind("ldpcsw-sweep: " + expect, 0), 0u) << r.err;
    for (const char* raw : {"Could not convert", "At Most", "required but", "TEXT", "was not expected"})
      EXPECT_EQ(r.err.find(raw), std::string::npos) << r.err;
  }
  // The largest count taken is taken.
  auto r = run_process(bin("ldpcsw-sweep"),
                       {"--matrix", MATRIX, "--p", "0.05", "--blocks", "9007199254740992",
                        "--max-frame-errors", "1", "-q"},
                       dir.path);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  r = run_process(bin("ldpcsw-sweep"), {"--version"}, dir.path);
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out.rfind("ldpcsw-sweep ", 0), 0u) << r.out;
}

TEST(SweepTool, PointsSeparatedAsTheHelpSays) {
  TempDir dir;
  // "separated by commas or spaces": inside one argument as well as across arguments.
  for (const std::vector<std::string>& p :
       {std::vector<std::string>{"0.04 0.06"}, std::vector<std::string>{"0.04, 0.06"},
        std::vector<std::string>{"0.04", "0.06"}}) {
    std::vector<std::string> args = {"--matrix", MATRIX, "--blocks", "2", "--threads", "1", "-q",
                                     "--p"};
    args.insert(args.end(), p.begin(), p.end());
    const auto r = run_process(bin("ldpcsw-sweep"), args, dir.path);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    EXPECT_NE(r.out.find("\n0.04 "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n0.06 "), std::string::npos) << r.out;
  }
}

TEST(SweepTool, AMatrixOfTheOtherLayoutOrNoMatrixIsNamedAsSuch) {
  TempDir dir;
  const std::string alist = std::string(LDPCSW_DATA_DIR) + "/Reg504252.alist";
  auto r = run_process(bin("ldpcsw-sweep"), {"--matrix", alist, "--format", "rows", "--p", "0.05"},
                       dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "ldpcsw-sweep: " + alist +
                       " (row-list): this looks like an alist file, not a row-list file; use "
                       "--format alist\n");
  r = run_process(bin("ldpcsw-sweep"), {"--matrix", MATRIX, "--format", "alist", "--p", "0.05"},
                  dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_NE(r.err.find("this looks like a row-list file, not an alist file; use --format rows"),
            std::string::npos)
      << r.err;
  r = run_process(bin("ldpcsw-sweep"), {"--matrix", dir.path, "--p", "0.05"}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "ldpcsw-sweep: " + dir.path + ": is a folder, not a matrix file\n");
  ldpcsw::test::write_file(dir.file("e.dat"), "");
  r = run_process(bin("ldpcsw-sweep"), {"--matrix", "e.dat", "--p", "0.05"}, dir.path);
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err, "ldpcsw-sweep: e.dat: the file is empty\n");
}
