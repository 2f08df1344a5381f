// Helpers shared by the tests: temporary folders and files, running a program as a process.
#pragma once

#include <string>
#include <vector>

namespace ldpcsw::test {

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
