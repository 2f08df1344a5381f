// Moving a parity-check matrix between its row-major and column-major forms, and the
// properties the matrix tool reports: weights, repeated entries and girth.
// Error policy as in code/matrix.h; these functions take matrices that are already valid
// (every index in range), so they do not fail.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "code/alist.h"
#include "code/matrix.h"

namespace ldpcsw {

// Column-major form of `h`. Each column's rows come out in ascending order (the rows are
// scattered in order), whatever the order inside h's rows.
ColumnMatrix code_columns_of(const ParityCheckMatrix& h);

// Row-major form of `h`. Each row's columns come out in ascending order.
ParityCheckMatrix code_rows_of(const ColumnMatrix& h);

// Finds a one listed twice in the same row. Returns false when there is none; otherwise
// true with the 0-based row and column of the first repeat (rows in order).
bool code_find_repeat(const ParityCheckMatrix& h, int& row, int& column);

// Position of the first value of values[0..count) that repeats an earlier one, or -1 when all
// differ. `scratch` is working room the caller may keep between calls (no allocation once it
// is as long as the longest list). Cost: one sort of the list.
int code_first_repeat(const int* values, int count, std::vector<std::pair<int, int>>& scratch);

// The readers' message for a one listed twice (0-based row and column).
std::string code_repeat_problem(int row, int column);

struct CodeWeights {
  int min_column = 0, max_column = 0;
  int min_row = 0, max_row = 0;
};
CodeWeights code_weights(const ParityCheckMatrix& h);

// Length of the shortest cycle of the Tanner graph of `h` (an even number >= 4), searching
// cycles up to `max_length` only (0: no bound). Returns 0 when no cycle within the bound
// exists. Repeated entries are taken once. Cost: one breadth-first search per column,
// each cut off at half the shortest cycle found so far, so a graph that has short cycles
// anywhere is cheap, and a bound keeps large graphs cheap. Returns -1, searching nothing,
// for a graph whose n + m nodes are more than an int numbers.
int code_girth(const ParityCheckMatrix& h, int max_length);

}  // namespace ldpcsw
