// Loading the sweep's parity-check matrix from a row-list or alist file into both sparse
// forms. Error policy: a bad or unrecognised file gets one message naming the file and what is
// wrong, and a false return.
#pragma once

#include <cstdint>
#include <string>

#include "sweep/engine.h"

namespace ldpcsw::sweep {

enum class MatrixFormat { detect, rows, alist };

// Which layout the integers of `text` follow, by the rule of code_content_of (code/load.h):
// a row-list file holds exactly 3 + m * maxCdeg integers (n, m, maxCdeg and the rows); an
// alist file holds n, m, maxVdeg, maxCdeg, n column weights no larger than maxVdeg, m row
// weights and n * maxVdeg column slots (usually followed by the row lists). Returns detect
// when neither fits.
MatrixFormat detect_matrix_format(const std::string& text);

// Reads `path` in `format` (detect: by content) through load_code, the loader every program
// shares, and fills both forms of `code`. `error` names the file; a file of the other layout
// is told to the user with the --format to give.
bool load_sweep_code(const std::string& path, MatrixFormat format, SweepCode& code,
                     std::string& error);

// A 64-bit FNV-1a fingerprint of (n, m, ir, jc): a resumed sweep checks that it decodes the
// same matrix as the run it continues.
std::uint64_t code_fingerprint(const SweepCode& code);

}  // namespace ldpcsw::sweep
