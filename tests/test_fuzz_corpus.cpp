// Every seed and every past finding of the fuzz targets, read the way the targets read them:
// a file whose name starts with "bad-" must be rejected with a message, any other must be
// accepted and keep the promises of fuzz/checks.h. Run under the sanitizer build, this replays
// the fuzzers' regressions on each CI run.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/checks.h"

namespace fs = std::filesystem;

namespace {

const fs::path fuzz_root = fs::path(LDPCSW_DATA_DIR) / ".." / "fuzz";

std::vector<fs::path> inputs_of(const std::string& target) {
  std::vector<fs::path> files;
  for (const char* kind : {"corpus", "regressions"}) {
    const fs::path dir = fuzz_root / kind / target;
    if (!fs::is_directory(dir)) continue;
    for (const auto& entry : fs::directory_iterator(dir))
      if (entry.is_regular_file()) files.push_back(entry.path());
  }
  return files;
}

bool expected_bad(const fs::path& file) { return file.filename().string().rfind("bad-", 0) == 0; }

// Reads `file` with `read`, then checks the outcome against the file's name.
template <typename Matrix, typename Reader, typename Check>
void replay(const fs::path& file, Reader read, Check check) {
  SCOPED_TRACE(file.string());
  std::FILE* stream = std::fopen(file.c_str(), "r");
  ASSERT_NE(stream, nullptr);
  Matrix h;
  std::string error;
  const bool ok = read(stream, h, error);
  std::fclose(stream);
  if (expected_bad(file)) {
    EXPECT_FALSE(ok) << "accepted";
    EXPECT_FALSE(error.empty());
  } else {
    ASSERT_TRUE(ok) << error;
    const char* problem = check(h);
    EXPECT_EQ(problem, nullptr) << problem;
  }
}

TEST(FuzzCorpus, RowListInputsAreRejectedOrGiveSoundMatrices) {
  const auto files = inputs_of("read_rows");
  ASSERT_GE(files.size(), 5u);
  for (const auto& file : files)
    replay<ldpcsw::ParityCheckMatrix>(file, ldpcsw::read_code_rows, ldpcsw::fuzz::check_rows);
}

TEST(FuzzCorpus, AlistInputsAreRejectedOrGiveSoundMatrices) {
  const auto files = inputs_of("read_alist");
  ASSERT_GE(files.size(), 5u);
  for (const auto& file : files)
    replay<ldpcsw::ColumnMatrix>(file, ldpcsw::read_code_alist, ldpcsw::fuzz::check_columns);
}

}  // namespace
