// Writers of the two matrix files. Both write one fixed layout, so that a matrix always gives
// the same bytes and files can be compared with cmp:
//
// Row-list file (read by read_code_rows), lines ending in '\n', numbers separated by one space:
//   n m maxCdeg
//   then one line per row: maxCdeg column numbers (1-based, ascending, then 0 for each empty
//   slot), where maxCdeg is the largest row weight (at least 1).
//
// Alist file (read by read_code_alist), same conventions:
//   n m
//   maxVdeg maxCdeg
//   the n column weights, on one line
//   the m row weights, on one line
//   one line per column: maxVdeg row numbers (1-based, ascending, 0-padded)
//   one line per row: maxCdeg column numbers (1-based, ascending, 0-padded)
//   where maxVdeg and maxCdeg are the largest column and row weights (each at least 1, so
//   that an all-zero matrix still has a slot per line).
//
// A repeated entry would be written twice; callers reject such matrices first
// (code_find_repeat). Both writers return false when the stream reports an error.
#pragma once

#include <cstdio>

#include "code/matrix.h"

namespace ldpcsw {

bool write_code_rows(std::FILE* file, const ParityCheckMatrix& h);

bool write_code_alist(std::FILE* file, const ParityCheckMatrix& h);

}  // namespace ldpcsw
