#include "code/load.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <memory>

#include "code/int_scan.h"

namespace ldpcsw {
namespace {

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};

// Back to the start of the stream for a second reading; false for a pipe or a failed stream.
bool rewind_stream(std::FILE* file) {
  std::clearerr(file);
  return std::fseek(file, 0, SEEK_SET) == 0;
}

// Opens `path` for reading; a folder is refused as not being a `what`.
LoadStatus open_input(const std::string& path, const char* what,
                      std::unique_ptr<std::FILE, FileCloser>& file, std::string& error) {
  file.reset(std::fopen(path.c_str(), "r"));
  if (!file) {
    error = std::string("cannot open: ") + std::strerror(errno);
    return LoadStatus::cannot_open;
  }
  struct stat info {};
  if (fstat(fileno(file.get()), &info) == 0 && S_ISDIR(info.st_mode)) {
    error = std::string("is a folder, not a ") + what;
    return LoadStatus::refused;
  }
  return LoadStatus::ok;
}

}  // namespace

const char* code_layout_name(CodeLayout layout) {
  switch (layout) {
    case CodeLayout::rows: return "row-list";
    case CodeLayout::alist: return "alist";
    case CodeLayout::detect: break;
  }
  return "matrix";
}

CodeContent code_content_of(std::FILE* file) {
  // Only the count and the first values matter: nothing is kept, so a file of any size is
  // classified in constant memory.
  std::int64_t count = 0;
  std::int64_t n = 0, m = 0, third = 0;
  bool weights_fit = true;  // the alist column weights lie within 0..maxVdeg
  int value = 0;
  ScanStatus status;
  while ((status = scan_int(file, value)) == ScanStatus::ok) {
    if (count == 0) n = value;
    else if (count == 1) m = value;
    else if (count == 2) third = value;
    else if (count >= 4 && count < 4 + n && (value < 0 || value > third)) weights_fit = false;
    ++count;
  }
  if (count == 0 && status == ScanStatus::end_of_file) return CodeContent::empty;
  if (count < 3 || n <= 0 || m <= 0 || third < 0) return CodeContent::neither;
  if (count == 3 + m * third) return CodeContent::rows;
  if (weights_fit && count >= 4 + n + m + n * third) return CodeContent::alist;
  return CodeContent::neither;
}

LoadStatus load_code(const std::string& path, CodeLayout layout, LoadedCode& code,
                     std::string& error) {
  code = LoadedCode{};
  std::unique_ptr<std::FILE, FileCloser> file;
  if (const LoadStatus opened = open_input(path, "matrix file", file, error);
      opened != LoadStatus::ok)
    return opened;

  // A chain file handed over as a matrix: say so rather than name its first word. Only a
  // file that begins with the magic word's first letter, which no matrix does, is read twice,
  // so a matrix still loads from a pipe.
  const int first = std::getc(file.get());
  if (first == static_cast<unsigned char>(RATE_ADAPT_MAGIC[0]) && rewind_stream(file.get()) &&
      starts_as_rate_adapt(file.get())) {
    error = "this is a rate adaptation file, not a matrix";
    return LoadStatus::refused;
  }
  if (first == static_cast<unsigned char>(RATE_ADAPT_MAGIC[0])) {
    rewind_stream(file.get());
  } else if (first != EOF) {
    std::ungetc(first, file.get());
  } else {
    std::clearerr(file.get());
  }

  const bool told = layout != CodeLayout::detect;
  if (!told) {
    const CodeContent content = code_content_of(file.get());
    if (!rewind_stream(file.get())) {
      error = "cannot be read a second time to read the matrix after telling its layout";
      return LoadStatus::refused;
    }
    if (content == CodeContent::empty) {
      error = "the file is empty";
      return LoadStatus::refused;
    }
    if (content == CodeContent::neither) {
      error = "neither a row-list nor an alist matrix (its integer count fits neither layout)";
      return LoadStatus::refused;
    }
    layout = content == CodeContent::rows ? CodeLayout::rows : CodeLayout::alist;
  }

  code.layout = layout;
  const bool ok = layout == CodeLayout::rows ? read_code_rows(file.get(), code.rows, error)
                                             : read_code_alist(file.get(), code.columns, error);
  if (ok) return LoadStatus::ok;

  // The reader's message names an item and a value; for an empty file or a file of the other
  // layout that is a puzzle rather than an answer, so say what the file is instead.
  if (told && rewind_stream(file.get())) {
    const CodeContent content = code_content_of(file.get());
    const CodeLayout other = layout == CodeLayout::rows ? CodeLayout::alist : CodeLayout::rows;
    if (content == CodeContent::empty) {
      error = "the file is empty";
    } else if ((content == CodeContent::alist && other == CodeLayout::alist) ||
               (content == CodeContent::rows && other == CodeLayout::rows)) {
      error = other == CodeLayout::alist ? "this looks like an alist file, not a row-list file"
                                         : "this looks like a row-list file, not an alist file";
      code.looks_like = other;
    }
  }
  code = LoadedCode{code.layout, {}, {}, code.looks_like};
  return LoadStatus::refused;
}

bool starts_as_rate_adapt(std::FILE* file) {
  for (const char* p = RATE_ADAPT_MAGIC; *p != '\0'; ++p)
    if (std::getc(file) != static_cast<unsigned char>(*p)) return false;
  return std::getc(file) == ' ';
}

LoadStatus load_rate_adapt(const std::string& path, RateAdaptChain& chain, std::string& error) {
  chain = RateAdaptChain{};
  std::unique_ptr<std::FILE, FileCloser> file;
  if (const LoadStatus opened = open_input(path, "rate adaptation file", file, error);
      opened != LoadStatus::ok)
    return opened;
  const int first = std::getc(file.get());
  if (first == EOF && !std::ferror(file.get())) {
    error = "the file is empty";
    return LoadStatus::refused;
  }
  if (!rewind_stream(file.get())) {
    error = "cannot be read from its start";
    return LoadStatus::refused;
  }
  // A matrix where a chain belongs: its first item is a number, not the magic word.
  if (!starts_as_rate_adapt(file.get())) {
    const bool rewound = rewind_stream(file.get());
    if (rewound && code_content_of(file.get()) != CodeContent::neither) {
      error = "this looks like a matrix file, not a rate adaptation file";
      return LoadStatus::refused;
    }
  }
  if (!rewind_stream(file.get())) {
    error = "cannot be read from its start";
    return LoadStatus::refused;
  }
  if (!read_rate_adapt(file.get(), chain, error)) return LoadStatus::refused;
  return LoadStatus::ok;
}

}  // namespace ldpcsw
