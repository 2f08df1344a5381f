#include "code/peg.h"

#include <algorithm>
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
    error =
        "column weight " + std::to_string(column_weight) + " is outside 1.." + std::to_string(m);
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

// The Tanner graph of an irregular construction: column c's rows are
// column_rows[offset[c] .. offset[c + 1]), -1 while not placed; row r's columns are
// row_columns[r]. Searches mark nodes with a stamp instead of clearing arrays.
struct Graph {
  int n, m;
  std::vector<int> offset;
  std::vector<int> column_rows;
  std::vector<std::vector<int>> row_columns;
  std::vector<std::uint32_t> column_mark, row_mark;
  std::vector<int> column_dist, row_dist, column_parent, row_parent;
  std::vector<int> queue;  // columns as c, rows as n + r
  std::uint32_t stamp = 0;

  Graph(int n_, int m_, const int* degrees)
      : n(n_),
        m(m_),
        offset(static_cast<std::size_t>(n_) + 1, 0),
        row_columns(m_),
        column_mark(n_, 0),
        row_mark(m_, 0),
        column_dist(n_, 0),
        row_dist(m_, 0),
        column_parent(n_, -1),
        row_parent(m_, -1) {
    for (int c = 0; c < n; ++c) offset[c + 1] = offset[c] + degrees[c];
    column_rows.assign(static_cast<std::size_t>(offset[n]), -1);
  }

  int degree(int c) const { return offset[c + 1] - offset[c]; }
  int* rows_of(int c) { return &column_rows[static_cast<std::size_t>(offset[c])]; }

  // Length of the shortest cycle through column c if it is at most `limit`, else INT_MAX.
  // Breadth-first: a closing edge met at depth d gives a cycle of length 2d + 2 at most.
  int local_girth(int c, int limit) {
    ++stamp;
    int best = INT_MAX;
    queue.assign(1, c);
    column_mark[c] = stamp;
    column_dist[c] = 0;
    column_parent[c] = -1;
    for (std::size_t head = 0; head < queue.size(); ++head) {
      const int u = queue[head];
      const bool is_column = u < n;
      const int d = is_column ? column_dist[u] : row_dist[u - n];
      if (2 * d + 2 > std::min(limit, best - 1)) break;
      if (is_column) {
        const int* rows = rows_of(u);
        for (int k = 0, w = degree(u); k < w; ++k) {
          const int r = rows[k];
          if (r < 0 || r == column_parent[u]) continue;
          if (row_mark[r] == stamp) {
            best = std::min(best, d + row_dist[r] + 1);
            continue;
          }
          row_mark[r] = stamp;
          row_dist[r] = d + 1;
          row_parent[r] = u;
          queue.push_back(n + r);
        }
      } else {
        for (int v : row_columns[u - n]) {
          if (v == row_parent[u - n]) continue;
          if (column_mark[v] == stamp) {
            best = std::min(best, d + column_dist[v] + 1);
            continue;
          }
          column_mark[v] = stamp;
          column_dist[v] = d + 1;
          column_parent[v] = u - n;
          queue.push_back(v);
        }
      }
    }
    return best <= limit ? best : INT_MAX;
  }

  bool joined(int c, int r) {
    const int* rows = rows_of(c);
    return std::find(rows, rows + degree(c), r) != rows + degree(c);
  }

  // Moves the ones (c, ka) and (c2, kb) to (c, row of kb) and (c2, row of ka).
  void swap_rows(int c, int ka, int c2, int kb) {
    int& a = rows_of(c)[ka];
    int& b = rows_of(c2)[kb];
    *std::find(row_columns[a].begin(), row_columns[a].end(), c) = c2;
    *std::find(row_columns[b].begin(), row_columns[b].end(), c2) = c;
    std::swap(a, b);
  }
};

// The columns built last find few rows with room left and may have to close short cycles.
// This pass lifts them to `target`: for a column on a cycle shorter than target, it looks for
// another one (c2, r2) whose exchange with one of the column's ones (c, r) leaves both c and
// c2 on no cycle shorter than target. Every new cycle passes through c or c2, so an accepted
// exchange creates no short cycle anywhere and removes those through c: the pass only
// improves. Row and column weights are unchanged. Partners are tried from a random edge
// onwards, at most `tries` of them per one of the column (every edge when tries >= E).
// Returns false, at once, on the first column that no exchange serves.
bool lift_girth(Graph& g, int target, std::int64_t tries, const std::vector<int>& edge_column,
                CodeRng& rng) {
  const int limit = target - 2;
  const int edges = g.offset[g.n];
  const std::int64_t span = std::min<std::int64_t>(tries, edges);
  for (int c = 0; c < g.n; ++c) {
    while (g.local_girth(c, limit) != INT_MAX) {
      bool fixed = false;
      for (int ka = 0; ka < g.degree(c) && !fixed; ++ka) {
        const int start = static_cast<int>(code_rng_below(rng, static_cast<std::uint32_t>(edges)));
        for (std::int64_t i = 0; i < span && !fixed; ++i) {
          const int e = static_cast<int>((start + i) % edges);
          const int c2 = edge_column[e], kb = e - g.offset[c2];
          if (c2 == c) continue;
          const int r = g.rows_of(c)[ka], r2 = g.rows_of(c2)[kb];
          if (g.joined(c, r2) || g.joined(c2, r)) continue;
          g.swap_rows(c, ka, c2, kb);
          if (g.local_girth(c, limit) == INT_MAX && g.local_girth(c2, limit) == INT_MAX)
            fixed = true;
          else
            g.swap_rows(c, ka, c2, kb);
        }
      }
      if (!fixed) return false;
    }
  }
  return true;
}

// Open rows (weight below their cap) grouped by current weight, for the bounded search: the
// lowest-weight rows the search did not reach are found without scanning every row.
struct WeightBuckets {
  std::vector<std::vector<int>> rows;  // rows[w]: the open rows of weight w, in no fixed order
  std::vector<int> position;           // a row's place in its bucket

  WeightBuckets(int m, int max_cap) : rows(static_cast<std::size_t>(max_cap) + 1), position(m) {}
  void insert(int r, int w) {
    position[r] = static_cast<int>(rows[w].size());
    rows[w].push_back(r);
  }
  void remove(int r, int w) {
    std::vector<int>& b = rows[w];
    const int last = b.back();
    b[position[r]] = last;
    position[last] = position[r];
    b.pop_back();
  }
};

}  // namespace

bool build_peg_irregular(const std::vector<int>& column_degrees, const std::vector<int>& row_caps,
                         std::uint64_t seed, const PegOptions& options, ParityCheckMatrix& h,
                         std::string& error) {
  const int n = static_cast<int>(column_degrees.size());
  const int m = static_cast<int>(row_caps.size());
  if (n <= 0 || m <= 0) {
    error = "n = " + std::to_string(n) + " and m = " + std::to_string(m) + " must be positive";
    return false;
  }
  std::int64_t total = 0, room = 0;
  int max_cap = 0;
  for (int d : column_degrees) {
    if (d <= 0 || d > m) {
      error = "column degree " + std::to_string(d) + " is outside 1.." + std::to_string(m);
      return false;
    }
    total += d;
  }
  for (int cap : row_caps) {
    if (cap < 0 || cap > n) {
      error = "row cap " + std::to_string(cap) + " is outside 0.." + std::to_string(n);
      return false;
    }
    room += cap;
    max_cap = std::max(max_cap, cap);
  }
  if (total > INT_MAX) {
    error = "the columns hold " + std::to_string(total) + " ones, beyond the int range";
    return false;
  }
  if (room < total) {
    error = "the rows have room for " + std::to_string(room) + " ones, fewer than the columns' " +
            std::to_string(total);
    return false;
  }
  const bool bounded = options.depth_limit > 0;
  CodeRng rng{seed};
  Graph g(n, m, column_degrees.data());
  std::vector<int> row_weight(m, 0);
  int open_rows = 0;  // rows whose weight is below their cap
  WeightBuckets buckets(bounded ? m : 0, bounded ? max_cap : 0);
  for (int r = 0; r < m; ++r)
    if (row_caps[r] > 0) {
      ++open_rows;
      if (bounded) buckets.insert(r, 0);
    }
  std::vector<int> frontier, next_frontier, new_rows, candidates, reached;
  std::vector<int> reached_per_weight(static_cast<std::size_t>(max_cap) + 1, 0);

  for (int c = 0; c < n; ++c) {
    if (options.progress != nullptr && (c % 1024 == 0))
      options.progress(c, n, options.progress_context);
    const int degree = g.degree(c);
    for (int k = 0; k < degree; ++k) {
      const std::uint32_t stamp = ++g.stamp;
      g.column_mark[c] = stamp;
      frontier.assign(1, c);
      reached.clear();
      int unreached_open = open_rows;
      int depth = 0;
      bool pick_last_level = false;
      // Grow the neighbourhood of column c level by level. Stop when it stops growing or
      // reaches the depth bound (pick among the open rows it never reached), or when the
      // last level swallowed every open row still unreached (pick among the open rows of
      // that last level: the farthest).
      for (;;) {
        new_rows.clear();
        for (int v : frontier) {
          const int* rows = g.rows_of(v);
          for (int i = 0, w = g.degree(v); i < w && rows[i] >= 0; ++i) {
            const int r = rows[i];
            if (g.row_mark[r] == stamp) continue;
            g.row_mark[r] = stamp;
            g.row_dist[r] = depth;
            new_rows.push_back(r);
            if (row_weight[r] < row_caps[r]) --unreached_open;
          }
        }
        if (new_rows.empty()) break;
        if (bounded) reached.insert(reached.end(), new_rows.begin(), new_rows.end());
        if (unreached_open == 0) {
          if (depth == 0) {
            error = "column " + std::to_string(c + 1) +
                    ": every row with room is already joined to it; try another seed";
            return false;
          }
          pick_last_level = true;
          break;
        }
        if (bounded && depth + 1 >= options.depth_limit) break;
        next_frontier.clear();
        for (int r : new_rows)
          for (int v : g.row_columns[r])
            if (g.column_mark[v] != stamp) {
              g.column_mark[v] = stamp;
              next_frontier.push_back(v);
            }
        frontier.swap(next_frontier);
        ++depth;
      }

      // Lowest current weight among the candidates; ties by the generator.
      candidates.clear();
      int best_weight = INT_MAX;
      auto consider = [&](int r) {
        if (row_weight[r] >= row_caps[r]) return;
        if (row_weight[r] < best_weight) {
          best_weight = row_weight[r];
          candidates.clear();
        }
        if (row_weight[r] == best_weight) candidates.push_back(r);
      };
      int chosen = -1;
      if (pick_last_level) {
        for (int r : new_rows) consider(r);
      } else if (!bounded) {
        for (int r = 0; r < m; ++r)
          if (g.row_mark[r] != stamp) consider(r);
      } else {
        // The unreached open rows of the lowest weight that has any: a bucket's size less
        // the reached rows in it. A bucket mostly unreached is sampled by rejection; one
        // mostly reached is listed.
        for (int r : reached)
          if (row_weight[r] < row_caps[r]) ++reached_per_weight[row_weight[r]];
        for (int w = 0; w <= max_cap && chosen < 0 && candidates.empty(); ++w) {
          const std::vector<int>& bucket = buckets.rows[w];
          const int unreached = static_cast<int>(bucket.size()) - reached_per_weight[w];
          if (unreached <= 0) continue;
          if (2 * unreached >= static_cast<int>(bucket.size())) {
            do {
              chosen = bucket[code_rng_below(rng, static_cast<std::uint32_t>(bucket.size()))];
            } while (g.row_mark[chosen] == stamp);
          } else {
            for (int r : bucket)
              if (g.row_mark[r] != stamp) candidates.push_back(r);
          }
        }
        for (int r : reached)
          if (row_weight[r] < row_caps[r]) reached_per_weight[row_weight[r]] = 0;
      }
      if (chosen < 0) {
        // A column with no row yet reaches nothing, so every open row is a candidate; there
        // is always one, because the caps together leave room for every one.
        if (candidates.empty()) {
          error = "column " + std::to_string(c + 1) + ": no row with room is left";
          return false;
        }
        chosen = candidates[code_rng_below(rng, static_cast<std::uint32_t>(candidates.size()))];
      }
      g.rows_of(c)[k] = chosen;
      g.row_columns[chosen].push_back(c);
      if (bounded) buckets.remove(chosen, row_weight[chosen]);
      if (++row_weight[chosen] == row_caps[chosen])
        --open_rows;
      else if (bounded)
        buckets.insert(chosen, row_weight[chosen]);
    }
  }
  if (options.progress != nullptr) options.progress(n, n, options.progress_context);

  // Lift the girth by exchanges, one step of 2 at a time, for as long as a whole step
  // succeeds; a step that fails part way is undone, so the result depends only on the seed.
  // A bounded search cannot see cycles beyond 2 * depth_limit + 2, so the lifting stops
  // there.
  std::vector<int> edge_column(static_cast<std::size_t>(total));
  for (int c = 0; c < n; ++c)
    for (int e = g.offset[c]; e < g.offset[c + 1]; ++e) edge_column[e] = c;
  const std::int64_t longest = 2 * (static_cast<std::int64_t>(n) + m);  // no cycle is longer
  const std::int64_t highest = bounded ? 2 * options.depth_limit + 2 : longest;
  const std::int64_t tries = options.lift_tries;
  int girth = INT_MAX;
  const int search = bounded ? static_cast<int>(highest) : INT_MAX;
  for (int c = 0; c < n; ++c)
    girth = std::min(girth, g.local_girth(c, std::min(girth - 1, search)));
  for (std::int64_t target = static_cast<std::int64_t>(girth) + 2;
       girth != INT_MAX && target <= highest; target += 2) {
    const std::vector<int> saved_rows = g.column_rows;
    const std::vector<std::vector<int>> saved_columns = g.row_columns;
    if (!lift_girth(g, static_cast<int>(target), tries, edge_column, rng)) {
      g.column_rows = saved_rows;
      g.row_columns = saved_columns;
      break;
    }
  }

  // Row-major form; each row's columns come out ascending because the columns are
  // scattered in order.
  std::vector<int> ir(static_cast<std::size_t>(m) + 1, 0);
  for (int r : g.column_rows) ++ir[static_cast<std::size_t>(r) + 1];
  for (int r = 0; r < m; ++r) ir[r + 1] += ir[r];
  std::vector<int> jc(g.column_rows.size());
  std::vector<int> next(ir.begin(), ir.end() - 1);
  for (int c = 0; c < n; ++c)
    for (int e = g.offset[c]; e < g.offset[c + 1]; ++e) jc[next[g.column_rows[e]]++] = c;
  h.n = n;
  h.m = m;
  h.ir = std::move(ir);
  h.jc = std::move(jc);
  return true;
}

double code_neighbourhood_growth(const std::vector<int>& column_degrees,
                                 const std::vector<int>& row_degrees) {
  auto excess = [](const std::vector<int>& degrees) {
    double edges = 0, pairs = 0;
    for (int d : degrees) edges += d, pairs += static_cast<double>(d) * (d - 1);
    return edges > 0 ? pairs / edges : 0.0;
  };
  return excess(column_degrees) * excess(row_degrees);
}

int code_peg_default_depth(const std::vector<int>& column_degrees,
                           const std::vector<int>& row_caps) {
  const double growth = code_neighbourhood_growth(column_degrees, row_caps);
  int depth = 2;
  for (double reach = growth; growth > 1 && reach * growth <= 2000 && depth < 64; reach *= growth)
    ++depth;
  return depth;
}

int code_peg_build_depth(int n, const std::vector<int>& column_degrees,
                         const std::vector<int>& row_caps) {
  return n <= CODE_FULL_SEARCH_COLUMNS ? 0 : code_peg_default_depth(column_degrees, row_caps);
}

bool build_peg_code(int n, int m, int column_weight, std::uint64_t seed, ParityCheckMatrix& h,
                    std::string& error) {
  if (!check_parameters(n, m, column_weight, error)) return false;
  PegOptions options;
  options.lift_tries = INT64_MAX;  // every edge is a partner: the construction's first form
  return build_peg_irregular(std::vector<int>(n, column_weight),
                             std::vector<int>(m, code_row_weight_cap(n, m, column_weight)), seed,
                             options, h, error);
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
