#include "code/rate_adapt.h"

#include <algorithm>
#include <cassert>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <set>
#include <string_view>
#include <utility>

#include "code/peg.h"
#include "code/rank.h"

namespace ldpcsw {
namespace {

// ---- The file -------------------------------------------------------------------------------

// A line longer than this is not part of a chain file (a binary file, a matrix's long line).
constexpr std::size_t MAX_LINE = 4096;

enum class LineStatus { ok, end_of_file, too_long, read_error };

// Reads one line without its '\n'. A last line without '\n' is read too.
LineStatus read_line(std::FILE* file, std::string& line) {
  line.clear();
  int c;
  while ((c = std::getc(file)) != EOF && c != '\n') {
    if (line.size() == MAX_LINE) return LineStatus::too_long;
    line.push_back(static_cast<char>(c));
  }
  if (c == EOF) {
    if (std::ferror(file)) return LineStatus::read_error;
    if (line.empty()) return LineStatus::end_of_file;
  }
  return LineStatus::ok;
}

// The items of a line, split at spaces and tabs.
std::vector<std::string_view> items_of(const std::string& line) {
  std::vector<std::string_view> items;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    const std::size_t start = i;
    while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
    if (i > start) items.emplace_back(line.data() + start, i - start);
  }
  return items;
}

// A decimal int (an optional '-' and digits, nothing else).
bool int_of(std::string_view text, int& value) {
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && ptr == text.data() + text.size();
}

bool hex_of(std::string_view text, std::uint64_t& value) {
  if (text.size() != 16) return false;
  for (char c : text)
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
      return false;
  const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  return ec == std::errc() && ptr == text.data() + text.size();
}

std::string quoted(std::string_view text) {
  constexpr std::size_t shown = 40;
  std::string q(1, '\'');
  q.append(text.data(), std::min(text.size(), shown));
  if (text.size() > shown) q += "...";
  q += '\'';
  return q;
}

std::string at_line(long long line) { return "line " + std::to_string(line) + ": "; }

// Why a line could not be read, for a message.
std::string line_problem(LineStatus status) {
  switch (status) {
    case LineStatus::too_long:
      return "longer than " + std::to_string(MAX_LINE) + " characters; not a rate adaptation file";
    case LineStatus::read_error: return std::string("cannot be read (") + std::strerror(errno) + ")";
    case LineStatus::end_of_file: return "the file ends early";
    case LineStatus::ok: break;
  }
  return "no problem";
}

// ---- Groups ---------------------------------------------------------------------------------

// The mother row that stands for r's group after the merges replayed into `parent`.
int root_of(std::vector<int>& parent, int r) {
  int root = r;
  while (parent[root] != root) root = parent[root];
  while (parent[r] != root) {
    const int next = parent[r];
    parent[r] = root;
    r = next;
  }
  return root;
}

std::vector<int> parents_after(const RateAdaptChain& chain, int k) {
  assert(k >= 0 && k <= chain.steps());
  std::vector<int> parent(static_cast<std::size_t>(chain.m));
  for (int r = 0; r < chain.m; ++r) parent[r] = r;
  for (int j = 0; j < k; ++j) parent[chain.merged[j]] = chain.kept[j];
  return parent;
}

// The number of rows of each column.
std::vector<int> column_degrees_of(const ParityCheckMatrix& h) {
  std::vector<int> degree(static_cast<std::size_t>(h.n), 0);
  for (int c : h.jc) ++degree[c];
  return degree;
}

}  // namespace

std::uint64_t rate_adapt_fingerprint(const ParityCheckMatrix& h) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  const auto add = [&hash](std::uint32_t word) {
    for (int b = 0; b < 4; ++b) {
      hash ^= (word >> (8 * b)) & 0xffu;
      hash *= 0x100000001b3ull;
    }
  };
  add(static_cast<std::uint32_t>(h.n));
  add(static_cast<std::uint32_t>(h.m));
  std::vector<int> row;
  for (int r = 0; r < h.m; ++r) {
    row.assign(h.jc.begin() + h.ir[r], h.jc.begin() + h.ir[r + 1]);
    std::sort(row.begin(), row.end());
    add(static_cast<std::uint32_t>(row.size()));
    for (int c : row) add(static_cast<std::uint32_t>(c));
  }
  return hash;
}

std::string rate_adapt_fingerprint_text(std::uint64_t fingerprint) {
  char text[17];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(fingerprint));
  return text;
}

bool read_rate_adapt(std::FILE* file, RateAdaptChain& chain, std::string& error) {
  chain = RateAdaptChain{};
  std::string line;
  LineStatus status = read_line(file, line);
  if (status != LineStatus::ok) {
    error = at_line(1) + (status == LineStatus::end_of_file ? "the file is empty" : line_problem(status));
    return false;
  }
  std::vector<std::string_view> items = items_of(line);
  const std::string expected_magic =
      std::string(RATE_ADAPT_MAGIC) + " " + std::to_string(RATE_ADAPT_VERSION);
  if (items.size() != 2 || items[0] != RATE_ADAPT_MAGIC) {
    error = at_line(1) + quoted(line) + " is not the start of a rate adaptation file ('" +
            expected_magic + "')";
    return false;
  }
  int version = 0;
  if (!int_of(items[1], version) || version != RATE_ADAPT_VERSION) {
    error = at_line(1) + "version " + quoted(items[1]) + " is not one this build reads (" +
            std::to_string(RATE_ADAPT_VERSION) + ")";
    return false;
  }

  status = read_line(file, line);
  if (status != LineStatus::ok) {
    error = at_line(2) + line_problem(status) + " where 'matrix N M FINGERPRINT' should be";
    return false;
  }
  items = items_of(line);
  int n = 0, m = 0;
  std::uint64_t fingerprint = 0;
  if (items.size() != 4 || items[0] != "matrix" || !int_of(items[1], n) || !int_of(items[2], m)) {
    error = at_line(2) + quoted(line) + " is not 'matrix N M FINGERPRINT'";
    return false;
  }
  if (n <= 0 || m <= 0) {
    error = at_line(2) + (n <= 0 ? "n is " + std::to_string(n) : "m is " + std::to_string(m)) +
            ", not positive";
    return false;
  }
  if (m > n) {
    error = at_line(2) + "m = " + std::to_string(m) + " exceeds n = " + std::to_string(n);
    return false;
  }
  if (!hex_of(items[3], fingerprint)) {
    error = at_line(2) + "fingerprint " + quoted(items[3]) + " is not 16 hexadecimal digits";
    return false;
  }

  status = read_line(file, line);
  if (status != LineStatus::ok) {
    error = at_line(3) + line_problem(status) + " where 'steps K' should be";
    return false;
  }
  items = items_of(line);
  int steps = 0;
  if (items.size() != 2 || items[0] != "steps" || !int_of(items[1], steps)) {
    error = at_line(3) + quoted(line) + " is not 'steps K'";
    return false;
  }
  if (steps < 0 || steps > m - 1) {
    error = at_line(3) + "steps " + std::to_string(steps) + " is outside 0.." +
            std::to_string(m - 1) + " (a merge removes one of the " + std::to_string(m) +
            " rows and one must remain)";
    return false;
  }

  // The line at which each row was merged away (0: it still stands) and the row that took it.
  std::vector<int> gone_at(static_cast<std::size_t>(m), 0);
  std::vector<int> taken_by(static_cast<std::size_t>(m), 0);
  std::vector<int> kept, merged;
  // The steps line is not trusted for memory: a short file with a huge count fails on its
  // missing lines.
  kept.reserve(static_cast<std::size_t>(std::min(steps, 1 << 20)));
  merged.reserve(kept.capacity());
  for (int j = 0; j < steps; ++j) {
    const long long number = 4LL + j;
    status = read_line(file, line);
    if (status != LineStatus::ok) {
      error = at_line(number) +
              (status == LineStatus::end_of_file
                   ? "the file ends after " + std::to_string(j) + " of its " +
                         std::to_string(steps) + " merges"
                   : line_problem(status));
      return false;
    }
    items = items_of(line);
    int a = 0, b = 0;
    if (items.size() != 2 || !int_of(items[0], a) || !int_of(items[1], b)) {
      error = at_line(number) + quoted(line) + " is not a merge 'A B' of two rows";
      return false;
    }
    for (int row : {a, b})
      if (row < 1 || row > m) {
        error = at_line(number) + "row " + std::to_string(row) + " is outside 1.." +
                std::to_string(m);
        return false;
      }
    if (a == b) {
      error = at_line(number) + "row " + std::to_string(a) + " is merged with itself";
      return false;
    }
    if (gone_at[b - 1] != 0) {
      error = at_line(number) + "row " + std::to_string(b) + " is merged away a second time (it was merged into row " +
              std::to_string(taken_by[b - 1]) + " at line " + std::to_string(gone_at[b - 1]) + ")";
      return false;
    }
    if (gone_at[a - 1] != 0) {
      error = at_line(number) + "row " + std::to_string(a) + " was merged into row " +
              std::to_string(taken_by[a - 1]) + " at line " + std::to_string(gone_at[a - 1]) +
              " and no longer stands for a row";
      return false;
    }
    gone_at[b - 1] = static_cast<int>(number);
    taken_by[b - 1] = a;
    kept.push_back(a - 1);
    merged.push_back(b - 1);
  }
  // The steps line is the whole story: anything after the last merge means the file does not
  // say what it holds (two chains pasted together, a count edited by hand).
  status = read_line(file, line);
  if (status == LineStatus::read_error) {
    error = at_line(4LL + steps) + line_problem(status);
    return false;
  }
  if (status != LineStatus::end_of_file) {
    error = at_line(4LL + steps) + "the file goes on after its " + std::to_string(steps) +
            (steps == 1 ? " merge" : " merges") + ", where it should end";
    return false;
  }
  chain.n = n;
  chain.m = m;
  chain.fingerprint = fingerprint;
  chain.kept = std::move(kept);
  chain.merged = std::move(merged);
  return true;
}

bool write_rate_adapt(std::FILE* file, const RateAdaptChain& chain) {
  bool ok = std::fprintf(file, "%s %d\nmatrix %d %d %s\nsteps %d\n", RATE_ADAPT_MAGIC,
                         RATE_ADAPT_VERSION, chain.n, chain.m,
                         rate_adapt_fingerprint_text(chain.fingerprint).c_str(),
                         chain.steps()) > 0;
  for (int j = 0; ok && j < chain.steps(); ++j)
    ok = std::fprintf(file, "%d %d\n", chain.kept[j] + 1, chain.merged[j] + 1) > 0;
  return ok && std::fflush(file) == 0 && !std::ferror(file);
}

bool rate_adapt_check_matrix(const RateAdaptChain& chain, const ParityCheckMatrix& h,
                             std::string& error) {
  if (chain.n != h.n || chain.m != h.m) {
    error = "the chain was made for a matrix of n " + std::to_string(chain.n) + ", m " +
            std::to_string(chain.m) + ", not this one of n " + std::to_string(h.n) + ", m " +
            std::to_string(h.m);
    return false;
  }
  const std::uint64_t fingerprint = rate_adapt_fingerprint(h);
  if (chain.fingerprint != fingerprint) {
    error = "the chain was made for another matrix of the same size (fingerprint " +
            rate_adapt_fingerprint_text(chain.fingerprint) + ", this matrix's " +
            rate_adapt_fingerprint_text(fingerprint) + ")";
    return false;
  }
  return true;
}

std::vector<int> rate_adapt_row_of(const RateAdaptChain& chain, int k) {
  std::vector<int> parent = parents_after(chain, k);
  // Standing rows in ascending order number the code's rows.
  std::vector<int> index(static_cast<std::size_t>(chain.m), -1);
  int next = 0;
  for (int r = 0; r < chain.m; ++r)
    if (parent[r] == r) index[r] = next++;
  assert(next == chain.m - k);
  std::vector<int> row_of(static_cast<std::size_t>(chain.m));
  for (int r = 0; r < chain.m; ++r) row_of[r] = index[root_of(parent, r)];
  return row_of;
}

ParityCheckMatrix rate_adapt_code(const ParityCheckMatrix& h, const RateAdaptChain& chain, int k) {
  assert(h.m == chain.m && h.n == chain.n);
  const std::vector<int> row_of = rate_adapt_row_of(chain, k);
  const int rows = h.m - k;
  // Every one of the group's rows, then each row sorted; a column held an even number of
  // times cancels.
  std::vector<int> start(static_cast<std::size_t>(rows) + 1, 0);
  for (int r = 0; r < h.m; ++r) start[row_of[r] + 1] += h.ir[r + 1] - h.ir[r];
  for (int i = 0; i < rows; ++i) start[i + 1] += start[i];
  std::vector<int> all(static_cast<std::size_t>(start[rows]));
  std::vector<int> fill(start.begin(), start.end() - 1);
  for (int r = 0; r < h.m; ++r)
    for (int e = h.ir[r]; e < h.ir[r + 1]; ++e) all[fill[row_of[r]]++] = h.jc[e];
  ParityCheckMatrix code;
  code.n = h.n;
  code.m = rows;
  code.ir.reserve(static_cast<std::size_t>(rows) + 1);
  code.jc.reserve(all.size());
  code.ir.push_back(0);
  for (int i = 0; i < rows; ++i) {
    std::sort(all.begin() + start[i], all.begin() + start[i + 1]);
    for (int e = start[i]; e < start[i + 1];) {
      int same = e + 1;
      while (same < start[i + 1] && all[same] == all[e]) ++same;
      if ((same - e) % 2 == 1) code.jc.push_back(all[e]);
      e = same;
    }
    code.ir.push_back(static_cast<int>(code.jc.size()));
  }
  return code;
}

void rate_adapt_syndrome(const std::vector<int>& row_of, const std::int8_t* s, int m,
                         std::int8_t* s_k, int m_k) {
  std::fill(s_k, s_k + m_k, std::int8_t{0});
  for (int r = 0; r < m; ++r) s_k[row_of[r]] = static_cast<std::int8_t>(s_k[row_of[r]] ^ s[r]);
}

std::vector<int> rate_adapt_released_group(const RateAdaptChain& chain, int k) {
  assert(k >= 1 && k <= chain.steps());
  std::vector<int> parent = parents_after(chain, k - 1);
  std::vector<int> group;
  for (int r = 0; r < chain.m; ++r)
    if (root_of(parent, r) == chain.merged[k - 1]) group.push_back(r);
  return group;
}

void rate_adapt_unmerge(const RateAdaptChain& chain, int k, const std::int8_t* s_k,
                        std::int8_t released, std::int8_t* s_prev) {
  assert(k >= 1 && k <= chain.steps());
  std::vector<char> standing(static_cast<std::size_t>(chain.m), 1);
  for (int j = 0; j < k - 1; ++j) standing[chain.merged[j]] = 0;
  const int kept = chain.kept[k - 1], merged = chain.merged[k - 1];
  // The rows after k - 1 merges in order; all but `merged` are rows after k merges too, in
  // the same order. The kept row's bit loses the released group's share.
  int from = 0, to = 0;
  for (int r = 0; r < chain.m; ++r) {
    if (!standing[r]) continue;
    if (r == merged) {
      s_prev[to++] = released;
    } else {
      s_prev[to++] = static_cast<std::int8_t>(s_k[from++] ^ (r == kept ? released : 0));
    }
  }
}

bool rate_adapt_ranks(const ParityCheckMatrix& h, const RateAdaptChain& chain,
                      std::vector<long long>& ranks, std::uint64_t max_bits) {
  ranks.clear();
  std::vector<std::uint64_t> masks;
  int words = 0;
  const long long d = gf2_left_null_space(h.n, h.m, h.ir.data(), h.jc.data(), masks, words, max_bits);
  if (d < 0) return false;
  // A combination of the code's rows sums to zero exactly when the vector that gives each
  // mother row its group's coefficient lies in the mother's left null space N. Such vectors
  // are those of N equal on the two rows of every merge so far, so each merge adds one linear
  // condition on the d coordinates of N; the code's rank is its row count less the dimension
  // left, d less the rank of the conditions.
  std::vector<std::vector<std::uint64_t>> basis;  // reduced conditions, by leading bit
  std::vector<int> lead;
  long long conditions = 0;
  ranks.reserve(static_cast<std::size_t>(chain.steps()) + 1);
  ranks.push_back(h.m - d);
  for (int j = 0; j < chain.steps(); ++j) {
    if (conditions < d) {
      std::vector<std::uint64_t> v(static_cast<std::size_t>(words));
      for (int w = 0; w < words; ++w)
        v[w] = masks[static_cast<std::size_t>(chain.kept[j]) * words + w] ^
               masks[static_cast<std::size_t>(chain.merged[j]) * words + w];
      for (std::size_t b = 0; b < basis.size(); ++b)
        if (v[lead[b] / 64] >> (lead[b] % 64) & 1)
          for (int w = 0; w < words; ++w) v[w] ^= basis[b][w];
      int first = -1;
      for (int w = 0; w < words && first < 0; ++w)
        if (v[w] != 0) first = 64 * w + __builtin_ctzll(v[w]);
      if (first >= 0) {
        for (auto& other : basis)
          if (other[first / 64] >> (first % 64) & 1)
            for (int w = 0; w < words; ++w) other[w] ^= v[w];
        basis.push_back(std::move(v));
        lead.push_back(first);
        ++conditions;
      }
    }
    ranks.push_back(static_cast<long long>(h.m) - (j + 1) - (d - conditions));
  }
  return true;
}

int rate_adapt_default_follow(const ParityCheckMatrix& h) {
  if (h.n <= CODE_FULL_SEARCH_COLUMNS) return 0;
  int lightest = INT_MAX, heaviest = 0;
  for (int d : column_degrees_of(h))
    if (d > 0) lightest = std::min(lightest, d), heaviest = std::max(heaviest, d);
  const int follow = std::max(RATE_ADAPT_LIGHT_DEGREE, lightest == INT_MAX ? 0 : lightest);
  return follow >= heaviest ? 0 : follow;
}

int rate_adapt_default_depth(const ParityCheckMatrix& h, int follow) {
  if (h.n <= CODE_FULL_SEARCH_COLUMNS) return 4;
  const std::vector<int> degree = column_degrees_of(h);
  const auto followed = [&](int c) { return follow == 0 || degree[c] <= follow; };
  // The degrees of the followed graph: its columns', and each row's count of them.
  std::vector<int> columns, rows(static_cast<std::size_t>(h.m), 0);
  for (int c = 0; c < h.n; ++c)
    if (followed(c)) columns.push_back(degree[c]);
  for (int r = 0; r < h.m; ++r)
    for (int e = h.ir[r]; e < h.ir[r + 1]; ++e) rows[r] += followed(h.jc[e]);
  const double growth = code_neighbourhood_growth(columns, rows);
  if (growth == 0) return 3;
  return growth * growth * growth <= RATE_ADAPT_BALL_ROWS ? 3 : 2;
}

int rate_adapt_steps_for_rate(int n, int m, double min_rate) {
  const double wanted = std::ceil(min_rate * static_cast<double>(n));
  const long long rows = std::max(1LL, static_cast<long long>(wanted));
  return rows >= m ? 0 : static_cast<int>(m - rows);
}

// ---- The builder ----------------------------------------------------------------------------

bool rate_adapt_build(const ParityCheckMatrix& h, const RateAdaptOptions& options,
                      RateAdaptChain& chain, std::string& error) {
  if (options.steps < 1 || options.steps > h.m - 1) {
    error = "steps " + std::to_string(options.steps) + " is outside 1.." + std::to_string(h.m - 1) +
            " (a merge removes one of the " + std::to_string(h.m) + " rows and one must remain)";
    return false;
  }
  if (options.depth < 1) {
    error = "depth " + std::to_string(options.depth) + " is below 1";
    return false;
  }
  if (options.follow < 0) {
    error = "follow " + std::to_string(options.follow) + " is below 0";
    return false;
  }
  const int m = h.m, n = h.n;
  // The current graph: each standing row's columns (ascending, cancelled pairs removed) and
  // each column's standing rows.
  std::vector<std::vector<int>> row_cols(static_cast<std::size_t>(m));
  std::vector<std::vector<int>> col_rows(static_cast<std::size_t>(n));
  for (int r = 0; r < m; ++r) {
    auto& cols = row_cols[r];
    cols.assign(h.jc.begin() + h.ir[r], h.jc.begin() + h.ir[r + 1]);
    std::sort(cols.begin(), cols.end());
    cols.erase(std::unique(cols.begin(), cols.end()), cols.end());
    for (int c : cols) col_rows[c].push_back(r);
  }
  // The order that breaks ties: a permutation of the rows drawn from the seed.
  CodeRng rng{options.seed};
  std::vector<int> order(static_cast<std::size_t>(m));
  for (int r = 0; r < m; ++r) order[r] = r;
  for (int i = m - 1; i > 0; --i)
    std::swap(order[i], order[code_rng_below(rng, static_cast<std::uint32_t>(i) + 1)]);
  std::vector<int> rank_of(static_cast<std::size_t>(m));
  for (int i = 0; i < m; ++i) rank_of[order[i]] = i;
  // The rows joined by paths of degree-2 columns: a column held by two rows is an edge between
  // them, and the standing groups form a graph whose cycles are codewords (the cycle's columns
  // sum to zero under every check). A merge of two rows of one component would close such a
  // cycle, a low-weight codeword that lets the decoder settle on a wrong block that satisfies
  // the syndrome; the builder keeps this graph a forest while another partner exists.
  // Once every standing row is in one component (more degree-2 columns than rows remain, the
  // bottom of a chain from a mother rich in them), the rule has nothing to choose.
  std::vector<int> chain2(static_cast<std::size_t>(m)), component_rows(static_cast<std::size_t>(m), 1);
  for (int r = 0; r < m; ++r) chain2[r] = r;
  const auto component = [&chain2](int r) { return root_of(chain2, r); };
  const auto join = [&](int r1, int r2) {
    const int c1 = component(r1), c2 = component(r2);
    if (c1 == c2) return;
    chain2[c1] = c2;
    component_rows[c2] += component_rows[c1];
  };
  for (int c = 0; c < n; ++c)
    if (col_rows[c].size() == 2) join(col_rows[c][0], col_rows[c][1]);
  // Standing rows by (weight, drawn rank).
  std::set<std::pair<int, int>> standing;
  for (int r = 0; r < m; ++r) standing.insert({static_cast<int>(row_cols[r].size()), rank_of[r]});

  // Breadth-first search state, stamped per search so that nothing is cleared.
  std::vector<int> row_stamp(static_cast<std::size_t>(m), -1), row_level(static_cast<std::size_t>(m), 0);
  std::vector<int> col_stamp(static_cast<std::size_t>(n), -1);
  std::vector<int> probe_row_stamp(static_cast<std::size_t>(m), -1);
  std::vector<int> probe_col_stamp(static_cast<std::size_t>(n), -1);
  std::vector<int> frontier, next;
  int epoch = 0, probe_epoch = 0;
  std::vector<int> held(static_cast<std::size_t>(m), 0), held_stamp(static_cast<std::size_t>(m), -1);
  int held_epoch = 0;
  const int depth = options.depth;
  // Tier of a candidate: its level (rows of distance) from the row to merge, or depth + 1
  // beyond `depth` levels. Level 1 shares a column, level 2 closes a 4-cycle.
  const int good_tier = std::min(3, depth + 1);
  // The levels of the row to merge's own ball; a candidate outside it is probed from its own
  // side, so that on a long code, where nearly every candidate is far, each merge costs two
  // balls of half the depth instead of one of the full depth.
  const int near_levels = (depth + 1) / 2, far_levels = depth - near_levels;
  // After this many probes in one merge (a small or dense graph, where most candidates are
  // near) the full ball is grown instead; the choice is the same either way.
  constexpr int MAX_PROBES = 8;
  int ball = 0;

  // The columns the searches follow: all, or those of at most options.follow rows. Short
  // cycles through light columns make the low-weight codewords and the structures belief
  // propagation gets stuck on; a heavy column needs every one of its many rows covered, and
  // following it makes each level of the search dozens of times wider.
  const auto followed = [&](int c) {
    return options.follow == 0 || static_cast<int>(col_rows[c].size()) <= options.follow;
  };
  // Whether rows r1 and r2 share a column (of any weight): merging them would cancel it.
  const auto shares = [&](int r1, int r2) {
    const std::vector<int>& c1 = row_cols[r1];
    const std::vector<int>& c2 = row_cols[r2];
    for (std::size_t i = 0, j = 0; i < c1.size() && j < c2.size();) {
      if (c1[i] == c2[j]) return true;
      c1[i] < c2[j] ? ++i : ++j;
    }
    return false;
  };
  // The rows within `levels` of a, each with its level.
  const auto grow = [&](int a, int levels) {
    ++epoch;
    ball = levels;
    row_stamp[a] = epoch;
    row_level[a] = 0;
    frontier.assign(1, a);
    for (int level = 1; level <= levels && !frontier.empty(); ++level) {
      next.clear();
      for (int r : frontier)
        for (int c : row_cols[r]) {
          if (col_stamp[c] == epoch || !followed(c)) continue;
          col_stamp[c] = epoch;
          for (int r2 : col_rows[c])
            if (row_stamp[r2] != epoch) {
              row_stamp[r2] = epoch;
              row_level[r2] = level;
              next.push_back(r2);
            }
        }
      frontier.swap(next);
    }
  };
  // The tier of r from the last ball grown: a path of length L <= depth from a to r passes a
  // row within near_levels of a and within L - near_levels <= far_levels of r.
  std::vector<int> probe_frontier, probe_next;
  const auto probe = [&](int r) {
    ++probe_epoch;
    int best = depth + 1;
    probe_row_stamp[r] = probe_epoch;
    probe_frontier.assign(1, r);
    for (int level = 1; level <= far_levels && !probe_frontier.empty(); ++level) {
      probe_next.clear();
      for (int x : probe_frontier)
        for (int c : row_cols[x]) {
          if (probe_col_stamp[c] == probe_epoch || !followed(c)) continue;
          probe_col_stamp[c] = probe_epoch;
          for (int y : col_rows[c])
            if (probe_row_stamp[y] != probe_epoch) {
              probe_row_stamp[y] = probe_epoch;
              if (row_stamp[y] == epoch) best = std::min(best, row_level[y] + level);
              probe_next.push_back(y);
            }
        }
      probe_frontier.swap(probe_next);
    }
    return best;
  };

  chain = RateAdaptChain{};
  chain.n = n;
  chain.m = m;
  chain.fingerprint = rate_adapt_fingerprint(h);
  chain.kept.reserve(static_cast<std::size_t>(options.steps));
  chain.merged.reserve(static_cast<std::size_t>(options.steps));
  std::vector<int> merged_cols;
  for (int step = 0; step < options.steps; ++step) {
    const auto first = standing.begin();
    const int a = order[first->second];
    const bool keep_forest = component_rows[component(a)] < m - step;
    grow(a, near_levels);
    int probes = 0;
    // The tier of r, or -1 when this merge has used up its probes.
    const auto tier = [&](int r) {
      if (options.follow != 0 && shares(a, r)) return 1;
      if (row_stamp[r] == epoch) return row_level[r];
      if (ball == depth) return depth + 1;
      if (++probes > MAX_PROBES) return -1;
      return probe(r);
    };
    // The lowest weight among the partners of a good tier, then the farthest of that weight.
    int b = -1, b_tier = -1;
    for (;;) {
      int class_weight = -1;
      bool out_of_probes = false;
      b = -1, b_tier = -1;
      for (auto it = std::next(first); it != standing.end(); ++it) {
        if (class_weight >= 0 && it->first != class_weight) break;
        const int r = order[it->second];
        if (keep_forest && component(r) == component(a)) continue;
        const int t = tier(r);
        if (t < 0) {
          out_of_probes = true;
          break;
        }
        if (class_weight < 0 && t < good_tier) continue;
        class_weight = it->first;
        if (t > b_tier) b = r, b_tier = t;
        if (t == depth + 1) break;
      }
      if (!out_of_probes) break;
      grow(a, depth);
    }
    if (b < 0) {
      // Every partner shares a column with a, closes a 4-cycle or a cycle of degree-2 columns:
      // one of another component first, then the farthest, then the lightest, and among those
      // of that weight the one that closes the fewest 4-cycles. Low in a chain whose mother
      // has heavy columns, every partner closes some (each row is within two levels of every
      // other); taking the first of the lightest had let in weight-3 codewords (two columns
      // sharing two rows and a third closing the loop) that the decoders settled on.
      if (ball != depth) grow(a, depth);
      // How many of a's columns each other row holds: a partner closes one 4-cycle for every
      // row that holds one of its columns and one of a's.
      ++held_epoch;
      for (int c : row_cols[a])
        for (int g : col_rows[c]) {
          if (g == a) continue;
          if (held_stamp[g] != held_epoch) held_stamp[g] = held_epoch, held[g] = 0;
          ++held[g];
        }
      const auto four_cycles = [&](int r) {
        long long cycles = 0;
        for (int c : row_cols[r])
          for (int g : col_rows[c])
            if (g != r && held_stamp[g] == held_epoch) cycles += held[g];
        return cycles;
      };
      bool b_apart = false;
      int b_weight = -1;
      long long b_cycles = 0;
      for (auto it = std::next(first); it != standing.end(); ++it) {
        const int r = order[it->second];
        const bool apart = keep_forest && component(r) != component(a);
        const int t = tier(r);
        if (apart > b_apart || (apart == b_apart && t > b_tier)) {
          b = r, b_tier = t, b_apart = apart, b_weight = it->first, b_cycles = four_cycles(r);
        } else if (apart == b_apart && t == b_tier && it->first == b_weight) {
          const long long cycles = four_cycles(r);
          if (cycles < b_cycles) b = r, b_cycles = cycles;
        }
      }
    }
    assert(b >= 0);
    // b's row joins a's: the sum over GF(2) of the two column lists.
    const std::vector<int>& ca = row_cols[a];
    std::vector<int>& cb = row_cols[b];
    merged_cols.clear();
    std::set_symmetric_difference(ca.begin(), ca.end(), cb.begin(), cb.end(),
                                  std::back_inserter(merged_cols));
    for (int c : cb) {
      auto& rows = col_rows[c];
      const bool shared = std::binary_search(ca.begin(), ca.end(), c);
      rows.erase(std::remove_if(rows.begin(), rows.end(),
                                [&](int r) { return r == b || (shared && r == a); }),
                 rows.end());
      if (!shared) rows.push_back(a);
      // A column that loses two rows and keeps two joins them.
      if (shared && rows.size() == 2) join(rows[0], rows[1]);
    }
    join(a, b);
    --component_rows[component(a)];  // b no longer stands
    standing.erase(first);
    standing.erase({static_cast<int>(cb.size()), rank_of[b]});
    row_cols[a] = merged_cols;
    std::vector<int>().swap(cb);
    standing.insert({static_cast<int>(row_cols[a].size()), rank_of[a]});
    chain.kept.push_back(a);
    chain.merged.push_back(b);
  }
  return true;
}

}  // namespace ldpcsw
