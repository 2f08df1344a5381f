#include "code/peg.h"

#include <climits>
#include <cstdint>
#include <utility>
#include <vector>

namespace ldpcsw {

std::uint64_t code_rng_next(CodeRng& rng) {
  std::uint64_t z = (rng.state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

std::uint32_t code_rng_below(CodeRng& rng, std::uint32_t bound) {
  // Reject the lowest (2^64 mod bound) outputs so that every residue is equally likely.
  const std::uint64_t b = bound;
  const std::uint64_t threshold = (0 - b) % b;
  for (;;) {
    const std::uint64_t r = code_rng_next(rng);
    if (r >= threshold) return static_cast<std::uint32_t>(r % b);
  }
}

int code_row_weight_cap(int n, int m, int column_weight) {
  const std::int64_t total = static_cast<std::int64_t>(n) * column_weight;
  return static_cast<int>((total + m - 1) / m);
}

namespace {

bool check_parameters(int n, int m, int column_weight, std::string& error) {
  if (n <= 0 || m <= 0) {
    error = "n = " + std::to_string(n) + " and m = " + std::to_string(m) + " must be positive";
    return false;
  }
  if (column_weight <= 0 || column_weight > m) {
    error = "column weight " + std::to_string(column_weight) + " is outside 1.." + std::to_string(m);
    return false;
  }
  if (static_cast<std::int64_t>(n) * column_weight > INT_MAX) {
    error = "n * column weight = " + std::to_string(static_cast<std::int64_t>(n) * column_weight) +
            " is beyond the int range";
    return false;
  }
  return true;
}

// Row-major form from the columns' rows (column c owns column_rows[c * weight ...]); each
// row's columns come out in ascending order because the columns are scattered in order.
void rows_from_columns(int n, int m, int column_weight, const std::vector<int>& column_rows,
                       ParityCheckMatrix& h) {
  std::vector<int> ir(static_cast<std::size_t>(m) + 1, 0);
  for (int r : column_rows) ++ir[static_cast<std::size_t>(r) + 1];
  for (int r = 0; r < m; ++r) ir[r + 1] += ir[r];
  std::vector<int> jc(column_rows.size());
  std::vector<int> next(ir.begin(), ir.end() - 1);
  for (int c = 0; c < n; ++c)
    for (int k = 0; k < column_weight; ++k)
      jc[next[column_rows[static_cast<std::size_t>(c) * column_weight + k]]++] = c;
  h.n = n;
  h.m = m;
  h.ir = std::move(ir);
  h.jc = std::move(jc);
}

}  // namespace

bool build_peg_code(int n, int m, int column_weight, std::uint64_t seed, ParityCheckMatrix& h,
                    std::string& error) {
  if (!check_parameters(n, m, column_weight, error)) return false;
  const int cap = code_row_weight_cap(n, m, column_weight);
  CodeRng rng{seed};

  std::vector<int> column_rows(static_cast<std::size_t>(n) * column_weight);
  std::vector<std::vector<int>> row_columns(m);
  std::vector<int> row_weight(m, 0);
  int open_rows = m;  // rows whose weight is below the cap

  // Breadth-first search state, marked with a per-search stamp instead of being cleared.
  std::vector<std::uint32_t> row_mark(m, 0), column_mark(n, 0);
  std::vector<int> row_depth(m, 0);
  std::uint32_t stamp = 0;
  std::vector<int> frontier, next_frontier, new_rows, candidates;

  for (int c = 0; c < n; ++c) {
    for (int k = 0; k < column_weight; ++k) {
      ++stamp;
      column_mark[c] = stamp;
      frontier.assign(1, c);
      int unreached_open = open_rows;
      int depth = 0;
      bool pick_last_level = false;
      // Grow the neighbourhood of column c level by level. Stop when it stops growing (pick
      // among the open rows it never reached) or when the last level swallowed every open
      // row still unreached (pick among the open rows of that last level: the farthest).
      for (;;) {
        new_rows.clear();
        for (int v : frontier) {
          const int weight_v = (v == c) ? k : column_weight;
          for (int i = 0; i < weight_v; ++i) {
            const int r = column_rows[static_cast<std::size_t>(v) * column_weight + i];
            if (row_mark[r] == stamp) continue;
            row_mark[r] = stamp;
            row_depth[r] = depth;
            new_rows.push_back(r);
            if (row_weight[r] < cap) --unreached_open;
          }
        }
        if (new_rows.empty()) break;
        if (unreached_open == 0) {
          if (depth == 0) {
            error = "column " + std::to_string(c + 1) +
                    ": every row with room is already joined to it; try another seed";
            return false;
          }
          pick_last_level = true;
          break;
        }
        next_frontier.clear();
        for (int r : new_rows)
          for (int v : row_columns[r])
            if (column_mark[v] != stamp) {
              column_mark[v] = stamp;
              next_frontier.push_back(v);
            }
        frontier.swap(next_frontier);
        ++depth;
      }

      // Lowest current weight among the candidates; ties by the generator.
      candidates.clear();
      int best_weight = INT_MAX;
      auto consider = [&](int r) {
        if (row_weight[r] >= cap) return;
        if (row_weight[r] < best_weight) {
          best_weight = row_weight[r];
          candidates.clear();
        }
        if (row_weight[r] == best_weight) candidates.push_back(r);
      };
      if (pick_last_level) {
        for (int r : new_rows) consider(r);
      } else {
        for (int r = 0; r < m; ++r)
          if (row_mark[r] != stamp) consider(r);
      }
      // A column with no row yet reaches nothing, so every open row is a candidate; there is
      // always one, because the caps together leave room for n * column_weight ones.
      if (candidates.empty()) {
        error = "column " + std::to_string(c + 1) + ": no row with room is left";
        return false;
      }
      const int chosen =
          candidates[code_rng_below(rng, static_cast<std::uint32_t>(candidates.size()))];
      column_rows[static_cast<std::size_t>(c) * column_weight + k] = chosen;
      row_columns[chosen].push_back(c);
      if (++row_weight[chosen] == cap) --open_rows;
    }
  }
  rows_from_columns(n, m, column_weight, column_rows, h);
  return true;
}

bool build_random_code(int n, int m, int column_weight, std::uint64_t seed, ParityCheckMatrix& h,
                       std::string& error) {
  if (!check_parameters(n, m, column_weight, error)) return false;
  CodeRng rng{seed};
  const int total = n * column_weight;  // checked against the int range above
  const int base = total / m, extra = total % m;

  std::vector<int> sockets;
  sockets.reserve(static_cast<std::size_t>(total));
  for (int r = 0; r < m; ++r)
    for (int i = 0; i < base + (r < extra ? 1 : 0); ++i) sockets.push_back(r);
  for (int i = total - 1; i > 0; --i)
    std::swap(sockets[i], sockets[code_rng_below(rng, static_cast<std::uint32_t>(i) + 1)]);

  // Column c owns sockets[c * w .. c * w + w - 1]. Remove repeats column by column; a swap is
  // taken only when it leaves both columns free of repeats, so finished columns stay clean.
  const int w = column_weight;
  auto holds = [&](int column, int row, int except) {
    for (int i = column * w; i < column * w + w; ++i)
      if (i != except && sockets[i] == row) return true;
    return false;
  };
  constexpr int max_tries = 10000;
  for (int c = 0; c < n; ++c) {
    for (int a = c * w + 1; a < c * w + w; ++a) {
      bool repeated = false;
      for (int i = c * w; i < a; ++i) repeated |= (sockets[i] == sockets[a]);
      if (!repeated) continue;
      bool fixed = false;
      for (int t = 0; t < max_tries && !fixed; ++t) {
        const int b = static_cast<int>(code_rng_below(rng, static_cast<std::uint32_t>(total)));
        const int other = b / w;
        if (other == c) continue;
        if (holds(c, sockets[b], a) || holds(other, sockets[a], b)) continue;
        std::swap(sockets[a], sockets[b]);
        fixed = true;
      }
      if (!fixed) {
        error = "column " + std::to_string(c + 1) +
                ": cannot avoid a repeated row; the column weight is too close to m";
        return false;
      }
    }
  }
  rows_from_columns(n, m, column_weight, sockets, h);
  return true;
}

}  // namespace ldpcsw
