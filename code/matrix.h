// The parity-check matrix H in its row-major sparse form and the reader of row-list files.
//
// Error policy: a bad file is the user's error. Readers never read or write out of bounds;
// they return false and put one line describing the problem (item and value, without the
// file name, which the caller prefixes) into `error`. A broken invariant inside the program
// is a bug and may assert.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace ldpcsw {

// n bits (columns), m checks (rows); ir: m+1 row pointers, ir[0] = 0; jc: the 0-based column
// of each one, row by row, each row's ones in file order. E = ir[m] edges; jc.size() == E.
struct ParityCheckMatrix {
  int n = 0;
  int m = 0;
  std::vector<int> ir;
  std::vector<int> jc;
  int edges() const { return ir.empty() ? 0 : ir.back(); }
};

// Smallest block the window-width search can serve: its first width is 21.
inline constexpr int MIN_SEARCH_BITS = 21;

// read_code_rows: reads a row-list file (n, m, maxCdeg, then m groups of maxCdeg column
// numbers, 1-based, 0 for an empty slot) from an open stream into `h`. Zeros may stand
// anywhere in a group and the columns of a row keep their file order.
// Rejects: a failed conversion or early end; n, m or maxCdeg not positive; m > n (the
// decoder's shared check-sum / a-posteriori region holds only n values); n < 21 (the width
// search cannot serve it); m * maxCdeg beyond the int range; a column outside 1..n; a column
// listed twice in a row; anything but white space after the m-th row. The stream is read to
// its end.
bool read_code_rows(std::FILE* file, ParityCheckMatrix& h, std::string& error);

}  // namespace ldpcsw
