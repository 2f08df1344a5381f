// Opening and reading a matrix file of either layout: the one way every program loads H, so
// that every program accepts and refuses the same files with the same words.
// Error policy as in code/matrix.h: a refused file gets one line (without the file name, which
// the caller prefixes) saying what is wrong in terms a user can act on: a folder, an empty
// file, a file of the other layout, or the reader's own item and value.
#pragma once

#include <cstdio>
#include <string>

#include "code/alist.h"
#include "code/matrix.h"
#include "code/rate_adapt.h"

namespace ldpcsw {

enum class CodeLayout { detect, rows, alist };

// "row-list" or "alist" ("matrix" for detect), for messages.
const char* code_layout_name(CodeLayout layout);

// What the integers of a stream look like, read from its current position to its end or to
// the first token that is not an integer: `empty` when it holds nothing but white space;
// `rows` when it holds exactly 3 + m * maxCdeg integers after its header n, m, maxCdeg;
// `alist` when it holds at least n, m, maxVdeg, maxCdeg, n column weights within 0..maxVdeg,
// m row weights and n * maxVdeg column slots; `neither` otherwise. A file the alist reader
// accepts never looks like `rows` (it holds more integers), and a row-list file never looks
// like `alist`.
enum class CodeContent { empty, rows, alist, neither };
CodeContent code_content_of(std::FILE* file);

// A loaded matrix in the form its layout gives: `rows` for a row-list file, `columns` for an
// alist file (the other stays empty).
struct LoadedCode {
  CodeLayout layout = CodeLayout::detect;
  ParityCheckMatrix rows;
  ColumnMatrix columns;
  // Set on a refusal when the file looks like the other layout (rows or alist), so that the
  // caller can say how to name it; detect otherwise.
  CodeLayout looks_like = CodeLayout::detect;
};

enum class LoadStatus { ok, cannot_open, refused };

// Opens `path` and reads it in `layout` (detect: told by its content, see code_content_of).
// cannot_open: fopen failed, `error` is "cannot open: <reason>". refused: `error` is one line:
// "is a folder, not a matrix file", "the file is empty", "this looks like an alist file, not
// a row-list file" (and the reverse), "neither a row-list nor an alist matrix (...)" when
// detection finds no layout, "this is a rate adaptation file, not a matrix" for a chain file,
// or the reader's own message.
LoadStatus load_code(const std::string& path, CodeLayout layout, LoadedCode& code,
                     std::string& error);

// Whether the stream, from its current position, begins with the chain files' magic word
// RATE_ADAPT_MAGIC followed by a space. The stream is left after the bytes compared.
bool starts_as_rate_adapt(std::FILE* file);

// Opens `path` and reads a rate adaptation chain (code/rate_adapt.h). cannot_open as for
// load_code; refused: "is a folder, not a rate adaptation file", "the file is empty",
// "this looks like a matrix file, not a rate adaptation file", or the reader's "line L: ..."
// message. The chain is not checked against any matrix (rate_adapt_check_matrix does that).
LoadStatus load_rate_adapt(const std::string& path, RateAdaptChain& chain, std::string& error);

}  // namespace ldpcsw
