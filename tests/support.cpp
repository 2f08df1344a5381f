#include "tests/support.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace ldpcsw::test {

TempDir::TempDir() {
  std::string templ = (std::filesystem::temp_directory_path() / "ldpcsw-test-XXXXXX").string();
  if (mkdtemp(templ.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  path = templ;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

void write_file(const std::string& path, const std::string& content) {
  std::ofstream f(path, std::ios::binary);
  f << content;
}

std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  std::ostringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& cwd) {
  TempDir capture;
  const std::string out_path = capture.file("out"), err_path = capture.file("err");
  pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    int in = open("/dev/null", O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (in < 0 || out < 0 || err < 0 || chdir(cwd.c_str()) != 0) _exit(127);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ProcessResult r;
  r.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  r.out = read_file(out_path);
  r.err = read_file(err_path);
  return r;
}

std::string bin(const std::string& name) { return std::string(LDPCSW_BIN_DIR) + "/" + name; }

}  // namespace ldpcsw::test

#include <algorithm>

namespace ldpcsw::test {

ParityCheckMatrix random_matrix(int n, int m, unsigned seed) {
  std::uint64_t state = seed * 0x9E3779B97F4A7C15ull + 1;
  auto next = [&state](std::uint64_t bound) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<int>((state >> 33) % bound);
  };
  // Deal the 3n sockets out to the rows, re-drawing a row that would repeat a column.
  std::vector<std::vector<int>> rows(static_cast<std::size_t>(m));
  for (int c = 0; c < n; ++c) {
    for (int k = 0; k < 3; ++k) {
      for (;;) {
        const int r = next(static_cast<std::uint64_t>(m));
        auto& row = rows[static_cast<std::size_t>(r)];
        if (std::find(row.begin(), row.end(), c) != row.end()) continue;
        if (row.size() > static_cast<std::size_t>(3 * n / m + 1)) continue;
        row.push_back(c);
        break;
      }
    }
  }
  ParityCheckMatrix h;
  h.n = n;
  h.m = m;
  h.ir.push_back(0);
  for (const auto& row : rows) {
    for (int c : row) h.jc.push_back(c);
    h.ir.push_back(static_cast<int>(h.jc.size()));
  }
  return h;
}

std::string to_row_list(const ParityCheckMatrix& h) {
  int max_cdeg = 0;
  for (int r = 0; r < h.m; ++r) max_cdeg = std::max(max_cdeg, h.ir[r + 1] - h.ir[r]);
  std::string out = std::to_string(h.n) + " " + std::to_string(h.m) + " " + std::to_string(max_cdeg) + "\n";
  for (int r = 0; r < h.m; ++r) {
    for (int k = 0; k < max_cdeg; ++k) {
      const int e = h.ir[r] + k;
      out += std::to_string(e < h.ir[r + 1] ? h.jc[e] + 1 : 0);
      out += k + 1 < max_cdeg ? " " : "\n";
    }
  }
  return out;
}

}  // namespace ldpcsw::test
