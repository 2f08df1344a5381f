// Helpers shared by the tests: temporary folders and files, running a program as a process.
#pragma once

#include <cstdint>

#include <string>
#include <vector>

namespace ldpcsw::test {

// The next value of a splitmix64 sequence: a small, fast source of test data that is the same
// on every machine.
inline std::uint64_t next_random(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// A fresh folder under the system's temporary folder, removed with everything in it when
// the object goes.
struct TempDir {
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path;
  std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& content);
std::string read_file(const std::string& path);

struct ProcessResult {
  int exit_code = -1;
  std::string out;
  std::string err;
};

// Runs `program` with `args` in folder `cwd`, standard input empty, and captures both streams.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& cwd);

// Path of a program built into the build's bin folder.
std::string bin(const std::string& name);

}  // namespace ldpcsw::test

#include "code/matrix.h"

namespace ldpcsw::test {

// A column-weight-3 matrix with n bits and m checks, rows of nearly equal weight, no
// repeated column within a row; deterministic for a given seed. For tests that need a
// realistic code without reading a file.
ParityCheckMatrix random_matrix(int n, int m, unsigned seed);

// Writes h in the row-list form read by read_code_rows.
std::string to_row_list(const ParityCheckMatrix& h);

}  // namespace ldpcsw::test
