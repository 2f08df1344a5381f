// The loader every program shares: telling the layout, the words for a folder, an empty file
// and a file of the other layout, and every program refusing the same bad matrix the same way.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "code/load.h"
#include "tests/support.h"

using namespace ldpcsw;

namespace {

const std::string SHIPPED_ROWS = LDPCSW_DATA_DIR "/Reg504252.dat";
const std::string SHIPPED_ALIST = LDPCSW_DATA_DIR "/Reg504252.alist";

struct Loaded {
  LoadStatus status;
  LoadedCode code;
  std::string error;
};

Loaded load(const std::string& path, CodeLayout layout) {
  Loaded r;
  r.status = load_code(path, layout, r.code, r.error);
  return r;
}

}  // namespace

TEST(LoadCode, ShippedFilesInTheirLayoutAndByContent) {
  for (CodeLayout layout : {CodeLayout::rows, CodeLayout::detect}) {
    const Loaded r = load(SHIPPED_ROWS, layout);
    ASSERT_EQ(r.status, LoadStatus::ok) << r.error;
    EXPECT_EQ(r.code.layout, CodeLayout::rows);
    EXPECT_EQ(r.code.rows.edges(), 1512);
  }
  for (CodeLayout layout : {CodeLayout::alist, CodeLayout::detect}) {
    const Loaded r = load(SHIPPED_ALIST, layout);
    ASSERT_EQ(r.status, LoadStatus::ok) << r.error;
    EXPECT_EQ(r.code.layout, CodeLayout::alist);
    EXPECT_EQ(r.code.columns.edges(), 1512);
  }
}

TEST(LoadCode, AFileOfTheOtherLayoutIsNamedAsSuch) {
  Loaded r = load(SHIPPED_ALIST, CodeLayout::rows);
  EXPECT_EQ(r.status, LoadStatus::refused);
  EXPECT_EQ(r.error, "this looks like an alist file, not a row-list file");
  EXPECT_EQ(r.code.looks_like, CodeLayout::alist);
  r = load(SHIPPED_ROWS, CodeLayout::alist);
  EXPECT_EQ(r.status, LoadStatus::refused);
  EXPECT_EQ(r.error, "this looks like a row-list file, not an alist file");
  EXPECT_EQ(r.code.looks_like, CodeLayout::rows);
}

TEST(LoadCode, FolderEmptyFileMissingFileAndNoLayout) {
  test::TempDir dir;
  EXPECT_EQ(load(dir.path, CodeLayout::rows).error, "is a folder, not a matrix file");
  EXPECT_EQ(load(dir.path, CodeLayout::detect).error, "is a folder, not a matrix file");

  for (const char* content : {"", " \n\n\t"}) {
    test::write_file(dir.file("e.dat"), content);
    for (CodeLayout layout : {CodeLayout::rows, CodeLayout::alist, CodeLayout::detect}) {
      const Loaded r = load(dir.file("e.dat"), layout);
      EXPECT_EQ(r.status, LoadStatus::refused);
      EXPECT_EQ(r.error, "the file is empty");
    }
  }

  const Loaded missing = load(dir.file("absent.dat"), CodeLayout::rows);
  EXPECT_EQ(missing.status, LoadStatus::cannot_open);
  EXPECT_EQ(missing.error, "cannot open: No such file or directory");

  test::write_file(dir.file("odd.dat"), "21 2 3\n1 2 3\n4 5\n");
  const Loaded neither = load(dir.file("odd.dat"), CodeLayout::detect);
  EXPECT_EQ(neither.status, LoadStatus::refused);
  EXPECT_EQ(neither.error.rfind("neither a row-list nor an alist matrix", 0), 0u) << neither.error;
  // Read as row-list, the same file gets the reader's own item and value.
  EXPECT_EQ(load(dir.file("odd.dat"), CodeLayout::rows).error, "row 2, slot 3: the file ends early");
}

TEST(LoadCode, ContentClassification) {
  auto content_of = [](const std::string& text) {
    std::FILE* f = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    const CodeContent c = code_content_of(f);
    std::fclose(f);
    return c;
  };
  EXPECT_EQ(content_of("  \n"), CodeContent::empty);
  EXPECT_EQ(content_of("3 2 2\n1 2\n2 3\n"), CodeContent::rows);
  EXPECT_EQ(content_of("3 2 2\n1 2\n2 3 1\n"), CodeContent::neither);
  // Alist: the column weights must fit maxVdeg, the column slots must all be there.
  EXPECT_EQ(content_of("3 1 1 3\n1 1 1\n3\n1\n1\n1\n"), CodeContent::alist);
  EXPECT_EQ(content_of("3 1 1 3\n1 2 1\n3\n1\n1\n1\n"), CodeContent::neither);
  EXPECT_EQ(content_of("3 1 1 3\n1 1 1\n3\n1\n1\n"), CodeContent::neither);
  EXPECT_EQ(content_of("abc"), CodeContent::neither);
}

// Every program that reads a matrix refuses a one listed twice with the same words, so that
// none of them decodes another graph than the file's H.
TEST(LoadCode, EveryProgramRefusesAOneListedTwice) {
  test::TempDir dir;
  // n = 24, m = 12; row 2 lists column 9 twice.
  std::string rows = "24 12 6\n";
  for (int r = 0; r < 12; ++r) {
    for (int k = 0; k < 6; ++k) rows += std::to_string(1 + (r + 4 * k) % 24) + (k < 5 ? " " : "\n");
  }
  rows.replace(rows.find("\n2 6 10 14 18 22\n"), 17, "\n2 6 9 14 18 9\n");
  test::write_file(dir.file("Reg504252.dat"), rows);
  test::write_file(dir.file("h.dat"), rows);
  // Column 1 of this alist file lists row 2 twice.
  test::write_file(dir.file("h.alist"),
                   "21 2\n2 21\n2 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1 1\n20 1\n"
                   "2 2\n1 0\n1 0\n1 0\n1 0\n1 0\n1 0\n1 0\n1 0\n1 0\n1 0\n1 0\n1 0\n1 0\n1 0\n"
                   "1 0\n1 0\n1 0\n1 0\n1 0\n1 0\n");
  const std::string rows_message = "the one at row 2, column 9 is listed twice";
  const std::string alist_message = "the one at row 2, column 1 is listed twice";

  struct Run {
    std::string program;
    std::vector<std::string> args;
    int status;
    std::string expect;
  } runs[] = {
      {"ldpcsw", {}, 1, "Reg504252.dat: " + rows_message + "\n"},
      {"ldpcsw-plain", {"h.alist"}, 1, "h.alist: " + alist_message + "\n"},
      {"ldpcsw-scale", {"h.dat"}, 1, "ldpcsw-scale: h.dat: " + rows_message + "\n"},
      {"ldpcsw-scale", {"h.alist"}, 1, "ldpcsw-scale: h.alist: " + alist_message + "\n"},
      {"ldpcsw-code", {"info", "h.dat"}, 1, "ldpcsw-code: h.dat: " + rows_message + "\n"},
      {"ldpcsw-code", {"info", "h.alist"}, 1, "ldpcsw-code: h.alist: " + alist_message + "\n"},
      {"ldpcsw-sweep",
       {"--matrix", "h.dat", "--p", "0.05", "--blocks", "1", "-q"},
       1,
       "ldpcsw-sweep: h.dat (row-list): " + rows_message + "\n"},
      {"ldpcsw-sweep",
       {"--matrix", "h.alist", "--p", "0.05", "--blocks", "1", "-q"},
       1,
       "ldpcsw-sweep: h.alist (alist): " + alist_message + "\n"},
  };
  for (const Run& run : runs) {
    const auto r = test::run_process(test::bin(run.program), run.args, dir.path);
    EXPECT_EQ(r.exit_code, run.status) << run.program;
    EXPECT_EQ(r.err, run.expect) << run.program;
  }
}
