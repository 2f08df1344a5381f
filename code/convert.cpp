#include "code/convert.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

namespace ldpcsw {

namespace {

// Transposes a compressed sparse layout: `ptr` (majors + 1 offsets) and `idx` (the minor index of
// every edge) become `out_ptr` (minors + 1 offsets) and `out_idx` (the major index of every edge),
// each major's edges kept in ascending major order within every minor.
void transpose_layout(const std::vector<int>& ptr, const std::vector<int>& idx, int minors,
                      std::vector<int>& out_ptr, std::vector<int>& out_idx) {
  const int majors = ptr.empty() ? 0 : static_cast<int>(ptr.size()) - 1;
  const int edges = ptr.empty() ? 0 : ptr.back();
  out_ptr.assign(static_cast<std::size_t>(minors) + 1, 0);
  for (int e = 0; e < edges; ++e) ++out_ptr[static_cast<std::size_t>(idx[e]) + 1];
  for (int c = 0; c < minors; ++c) out_ptr[c + 1] += out_ptr[c];
  out_idx.resize(static_cast<std::size_t>(edges));
  std::vector<int> next(out_ptr.begin(), out_ptr.end() - 1);
  for (int r = 0; r < majors; ++r)
    for (int e = ptr[r]; e < ptr[r + 1]; ++e) out_idx[next[idx[e]]++] = r;
}

}  // namespace

ColumnMatrix code_columns_of(const ParityCheckMatrix& h) {
  ColumnMatrix out;
  out.n = h.n;
  out.m = h.m;
  transpose_layout(h.ir, h.jc, h.n, out.col_ptr, out.row_index);
  return out;
}

ParityCheckMatrix code_rows_of(const ColumnMatrix& h) {
  ParityCheckMatrix out;
  out.n = h.n;
  out.m = h.m;
  transpose_layout(h.col_ptr, h.row_index, h.m, out.ir, out.jc);
  return out;
}

bool code_find_repeat(const ParityCheckMatrix& h, int& row, int& column) {
  std::vector<int> seen_in(static_cast<std::size_t>(h.n), -1);
  for (int r = 0; r < h.m; ++r)
    for (int e = h.ir[r]; e < h.ir[r + 1]; ++e) {
      if (seen_in[h.jc[e]] == r) {
        row = r;
        column = h.jc[e];
        return true;
      }
      seen_in[h.jc[e]] = r;
    }
  return false;
}

int code_first_repeat(const int* values, int count, std::vector<std::pair<int, int>>& scratch) {
  scratch.clear();
  for (int i = 0; i < count; ++i) scratch.emplace_back(values[i], i);
  std::sort(scratch.begin(), scratch.end());
  // Equal values sit together in file order: every element equal to the one before it is a
  // repeat, and the first repeat of the list is the earliest of them.
  int first = -1;
  for (std::size_t k = 1; k < scratch.size(); ++k)
    if (scratch[k].first == scratch[k - 1].first && (first < 0 || scratch[k].second < first))
      first = scratch[k].second;
  return first;
}

std::string code_repeat_problem(int row, int column) {
  return "the one at row " + std::to_string(row + 1) + ", column " + std::to_string(column + 1) +
         " is listed twice";
}

CodeWeights code_weights(const ParityCheckMatrix& h) {
  CodeWeights w;
  std::vector<int> column_weight(static_cast<std::size_t>(h.n), 0);
  for (int e = 0; e < h.edges(); ++e) ++column_weight[h.jc[e]];
  if (h.n > 0) {
    const auto [lo, hi] = std::minmax_element(column_weight.begin(), column_weight.end());
    w.min_column = *lo;
    w.max_column = *hi;
  }
  for (int r = 0; r < h.m; ++r) {
    const int weight = h.ir[r + 1] - h.ir[r];
    if (r == 0 || weight < w.min_row) w.min_row = weight;
    if (r == 0 || weight > w.max_row) w.max_row = weight;
  }
  return w;
}

int code_girth(const ParityCheckMatrix& h, int max_length) {
  // Tanner graph: node c < n is column c, node n + r is row r. Adjacency without repeats.
  const int n = h.n, m = h.m;
  if (static_cast<std::int64_t>(n) + m + 1 > INT_MAX) return -1;
  const ColumnMatrix columns = code_columns_of(h);
  std::vector<int> start(static_cast<std::size_t>(n) + m + 1, 0);
  std::vector<int> adjacent;
  adjacent.reserve(static_cast<std::size_t>(h.edges()) * 2);
  for (int c = 0; c < n; ++c) {
    for (int e = columns.col_ptr[c]; e < columns.col_ptr[c + 1]; ++e)
      if (e == columns.col_ptr[c] || columns.row_index[e] != columns.row_index[e - 1])
        adjacent.push_back(n + columns.row_index[e]);  // rows ascending: repeats are adjacent
    start[c + 1] = static_cast<int>(adjacent.size());
  }
  for (int r = 0; r < m; ++r) {
    std::vector<int> cols(h.jc.begin() + h.ir[r], h.jc.begin() + h.ir[r + 1]);
    std::sort(cols.begin(), cols.end());
    cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
    adjacent.insert(adjacent.end(), cols.begin(), cols.end());
    start[n + r + 1] = static_cast<int>(adjacent.size());
  }

  // A search from root v finds, at the first edge closing a cycle, a cycle through v of length
  // dist(u) + dist(w) + 1; the minimum over all roots is the girth. Every cycle holds a
  // column, so columns alone serve as roots. In a bipartite graph a closing edge at depth d
  // gives length 2d + 2, so a search stops once 2d + 2 reaches the best length known.
  int best = (max_length > 0) ? max_length + 1 : INT_MAX;
  std::vector<std::uint32_t> mark(static_cast<std::size_t>(n) + m, 0);
  std::vector<int> dist(static_cast<std::size_t>(n) + m, 0),
      parent(static_cast<std::size_t>(n) + m, -1);
  std::vector<int> queue;
  std::uint32_t stamp = 0;
  for (int root = 0; root < n && best > 4; ++root) {
    ++stamp;
    queue.assign(1, root);
    mark[root] = stamp;
    dist[root] = 0;
    parent[root] = -1;
    for (std::size_t head = 0; head < queue.size(); ++head) {
      const int u = queue[head];
      if (2 * static_cast<std::int64_t>(dist[u]) + 2 >= best) break;
      for (int i = start[u]; i < start[u + 1]; ++i) {
        const int w = adjacent[i];
        if (w == parent[u]) continue;
        if (mark[w] == stamp) {
          best = std::min(best, dist[u] + dist[w] + 1);
          continue;
        }
        mark[w] = stamp;
        dist[w] = dist[u] + 1;
        parent[w] = u;
        queue.push_back(w);
      }
    }
  }
  return (max_length > 0 ? best > max_length : best == INT_MAX) ? 0 : best;
}

}  // namespace ldpcsw
