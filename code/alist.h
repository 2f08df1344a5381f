// The parity-check matrix H in its column-major sparse form and the reader of alist files.
// Error policy as in code/matrix.h.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace ldpcsw {

// n bits (columns), m checks (rows); col_ptr: n+1 column pointers, col_ptr[0] = 0;
// row_index: the 0-based row of each one, column by column, in file order.
// E = col_ptr[n] edges; row_index.size() == E.
struct ColumnMatrix {
  int n = 0;
  int m = 0;
  std::vector<int> row_index;
  std::vector<int> col_ptr;
  int edges() const { return col_ptr.empty() ? 0 : col_ptr.back(); }
};

// read_code_alist: reads an alist file (n, m, maxVdeg, maxCdeg, n column weights, m row
// weights, then n groups of maxVdeg row numbers, 1-based, 0 for an empty slot) from an
// open stream into `h`. Anything after the column groups is not read. Besides malformed
// or out-of-range values it rejects a column that lists one row twice.
bool read_code_alist(std::FILE* file, ColumnMatrix& h, std::string& error);

}  // namespace ldpcsw
