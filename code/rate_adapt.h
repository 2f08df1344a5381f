// Rate adaptation by row merging: a chain of codes made from one parity-check matrix (the
// mother) by replacing, one step after another, two of its rows by their sum over GF(2). The
// code after k steps has m - k rows; each of its rows is the sum of a group of the mother's
// rows, so its syndrome follows from the mother's syndrome (the XOR of the group's bits) and a
// sender can release syndrome information one bit at a time, from the most merged code back
// towards the mother.
//
// This room owns the chain (the merges in order), its text file (writer and strict reader),
// the codes and syndromes of the chain, the ranks of its codes and the builder that chooses
// the merges.
//
// Chain file, text, every line ending in '\n', items separated by one space:
//   ldpcsw-rate-adapt 1                       magic and version
//   matrix N M FINGERPRINT                    the mother's n, m and rate_adapt_fingerprint
//                                             as 16 lower-case hexadecimal digits
//   steps K                                   the number of merges, 0 <= K <= M - 1
//   A B                                       K lines, in order: row B (1-based) is merged
//                                             into row A, which stands for both from then on
// Row B must still stand on its own (never merged away before) and differ from A; A too must
// not have been merged away. Nothing may follow the K-th merge line.
//
// Numbering of a code's rows: the rows of the code after k steps are the groups still
// standing, in ascending order of the mother row that stands for each (A of its last merge).
//
// Error policy: a bad chain file is the user's error: the reader returns false with one line
// "line L: <problem>" (the caller prefixes the file name). A chain made for another matrix
// is refused by rate_adapt_check_matrix with one line. The builder fails only on impossible
// parameters. Functions that take a chain and a matrix that agree (and a k in 0..steps) do not
// fail; a broken invariant there is a bug and may assert.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "code/matrix.h"

namespace ldpcsw {

inline constexpr const char* RATE_ADAPT_MAGIC = "ldpcsw-rate-adapt";
inline constexpr int RATE_ADAPT_VERSION = 1;

struct RateAdaptChain {
  int n = 0;                      // the mother's columns
  int m = 0;                      // the mother's rows
  std::uint64_t fingerprint = 0;  // rate_adapt_fingerprint of the mother
  std::vector<int> kept;          // per step: the 0-based row that absorbs the other
  std::vector<int> merged;        // per step: the 0-based row merged into it
  int steps() const { return static_cast<int>(kept.size()); }
};

// A 64-bit fingerprint of a matrix: FNV-1a over the little-endian 32-bit words n, m, then for
// each row in order its weight and its columns (0-based) in ascending order. The order of the
// columns inside a row does not matter, so a matrix read from its row-list or its alist file
// gives the same fingerprint; any other change (a one moved, rows exchanged) changes it.
std::uint64_t rate_adapt_fingerprint(const ParityCheckMatrix& h);

// The fingerprint as 16 lower-case hexadecimal digits.
std::string rate_adapt_fingerprint_text(std::uint64_t fingerprint);

// Reads a chain file from an open stream. Refuses, with "line L: ...": a first line other than
// the magic and version 1; a matrix line or steps line that is malformed (missing, extra or
// non-numeric items, n, m not positive, m > n, a fingerprint that is not 16 hexadecimal
// digits, steps outside 0..m-1); a merge line that is not two integers; a row outside 1..m; a
// row merged with itself; a row merged away a second time; a row named after it was merged
// away; fewer merge lines than the steps line says; anything after the last merge line.
bool read_rate_adapt(std::FILE* file, RateAdaptChain& chain, std::string& error);

// Writes the chain in the layout above. False when the stream reports an error.
bool write_rate_adapt(std::FILE* file, const RateAdaptChain& chain);

// Whether the chain was made for `h`: n, m and the fingerprint agree. Otherwise false and one
// line naming what differs.
bool rate_adapt_check_matrix(const RateAdaptChain& chain, const ParityCheckMatrix& h,
                             std::string& error);

// For the code after k merges (0 <= k <= steps): row_of[r] is the 0-based row of that code to
// which mother row r belongs (m values, each in 0..m-k-1).
std::vector<int> rate_adapt_row_of(const RateAdaptChain& chain, int k);

// The parity-check matrix of the code after k merges: m - k rows, each the GF(2) sum of its
// group of mother rows (a column that an even number of the group's rows hold cancels), its
// columns in ascending order. k = 0 gives the mother with each row's columns sorted.
ParityCheckMatrix rate_adapt_code(const ParityCheckMatrix& h, const RateAdaptChain& chain, int k);

// The syndrome of the code after k merges from the mother's syndrome: s_k[row_of[r]] is the XOR
// of s[r] over its group. `row_of` from rate_adapt_row_of; s has m bits, s_k m - k (0 or 1).
void rate_adapt_syndrome(const std::vector<int>& row_of, const std::int8_t* s, int m,
                         std::int8_t* s_k, int m_k);

// The mother rows of the group that merge k (1 <= k <= steps) merges away: the group of row
// merged[k-1] in the code after k - 1 merges, ascending. The XOR of the mother syndrome over
// it is the one bit a sender releases to go from the code after k merges back to k - 1.
std::vector<int> rate_adapt_released_group(const RateAdaptChain& chain, int k);

// One step back along the chain: from the syndrome s_k of the code after k merges (m - k bits)
// and the released bit of merge k, the syndrome of the code after k - 1 merges (m - k + 1
// bits), without the mother's syndrome.
void rate_adapt_unmerge(const RateAdaptChain& chain, int k, const std::int8_t* s_k,
                        std::int8_t released, std::int8_t* s_prev);

// The GF(2) rank of every code of the chain: ranks[k] for k = 0..steps. A merge lowers the
// rank by one, or by none when the two groups' rows depended on each other in the mother. When
// the mother has full rank, ranks[k] = m - k; otherwise the mother's left null space is used
// (dense elimination, like gf2_rank). Returns false, leaving `ranks` empty, when m * n exceeds
// `max_bits` and the mother's rank cannot be computed.
bool rate_adapt_ranks(const ParityCheckMatrix& h, const RateAdaptChain& chain,
                      std::vector<long long>& ranks, std::uint64_t max_bits);

// How rate_adapt_build chooses its merges.
struct RateAdaptOptions {
  int steps = 0;  // the number of merges, 1..m-1
  // Levels of the breadth-first search around the row to merge: a partner outside it is at
  // least 2 * depth + 2 edges away, so the merge closes no cycle shorter than that.
  int depth = 4;
  // The searches follow only columns of at most this many rows (0: every column); a partner
  // that shares a heavier column is still in the lowest tier.
  int follow = 0;
  std::uint64_t seed = 1;
};

// Builds a chain for `h`. Each merge takes the standing row (group) of the lowest weight, ties
// broken by an order drawn once from the seed, and merges into it a partner chosen in three
// tiers: a partner that shares no column with it, closes no 4-cycle and closes no cycle of
// degree-2 columns (a low-weight codeword) is preferred to one that does; among those, the
// lowest weight (so that merged weights stay balanced); among those of that weight, the
// farthest in the current Tanner graph (outside `depth` levels of its neighbourhood if any
// is), then the drawn order. When no partner passes the first tier, one that closes no cycle
// of degree-2 columns is still preferred, then the farthest, then the lightest, and among
// those of that weight the one that closes the fewest 4-cycles. The same matrix, options and
// seed always give the same chain. Fails (false, one line) when steps is outside 1..m-1 or
// depth below 1.
bool rate_adapt_build(const ParityCheckMatrix& h, const RateAdaptOptions& options,
                      RateAdaptChain& chain, std::string& error);

// The columns rate_adapt_build follows by default: every one up to CODE_FULL_SEARCH_COLUMNS
// columns. Beyond, those of at most max(RATE_ADAPT_LIGHT_DEGREE, the lightest column's
// weight) rows, or every one when none is heavier (a regular mother). On a mother with heavy
// columns (weight 20 in the shipped irregular ensemble) the searches through them would cover
// most of a long graph at depth 3, over 5 minutes at n = 100,000.
inline constexpr int RATE_ADAPT_LIGHT_DEGREE = 3;
int rate_adapt_default_follow(const ParityCheckMatrix& h);

// The depth rate_adapt_build searches by default, given the columns it follows: 4 levels up
// to CODE_FULL_SEARCH_COLUMNS columns. Beyond, each merge's neighbourhood must stay a small
// part of the graph, since the rows merged late cover most of a deep one and each merge would
// search the whole graph ((3,6), n = 100,000: 2 s at depth 3, 2 minutes at 4): 3 levels when
// the mother's followed neighbourhoods grow to at most RATE_ADAPT_BALL_ROWS rows in 3 levels
// (growth per level: code_neighbourhood_growth of the followed columns and of the rows in
// them, as for the PEG search; (3,6): 10), else 2.
inline constexpr double RATE_ADAPT_BALL_ROWS = 2000;
int rate_adapt_default_depth(const ParityCheckMatrix& h, int follow);

// The number of merges after which ceil(min_rate * n) rows remain (0 when the mother has no
// more rows than that). min_rate in (0, 1].
int rate_adapt_steps_for_rate(int n, int m, double min_rate);

}  // namespace ldpcsw
