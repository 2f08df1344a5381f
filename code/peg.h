// Construction of parity-check matrices: progressive edge growth (PEG) for short codes with
// large girth, and a fast random socket construction for very long codes.
//
// Both constructions are deterministic: every random choice comes from the project's own
// generator (splitmix64) started from the caller's seed, so a given (method, n, m, column
// weight, seed) always yields the same matrix on every platform and standard library.
//
// Error policy: impossible parameters or a construction that cannot complete are reported
// through a false return and one line in `error`; nothing else fails.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "code/matrix.h"

namespace ldpcsw {

// The project's pseudo-random generator: splitmix64 (Steele, Lea, Flood). Its output is fixed
// by the algorithm alone, so constructions are reproducible everywhere.
struct CodeRng {
  std::uint64_t state = 0;
};

// Next 64-bit output; advances the state.
std::uint64_t code_rng_next(CodeRng& rng);

// A uniform value in 0..bound-1 (bound >= 1), by rejection so that no value is favoured.
std::uint32_t code_rng_below(CodeRng& rng, std::uint32_t bound);

// Largest row weight a construction allows: ceil(n * column_weight / m). When n * column_weight
// is a multiple of m every row reaches exactly this weight, so the matrix is regular.
int code_row_weight_cap(int n, int m, int column_weight);

// build_peg_code: Hu-Eleftheriou-Arnold progressive edge growth. Columns are taken in order
// 0..n-1; each of a column's `column_weight` ones goes to a row chosen among the rows that are
// farthest from the column in the Tanner graph built so far (outside its deepest reachable
// neighbourhood, or outside the last level before every open row is reached), lowest current
// weight first, ties broken by the generator. Rows that reached the cap
// code_row_weight_cap(...) are never chosen, so with n * column_weight = m * row weight the
// result is exactly regular.
// The cap leaves the last columns few rows to choose from, so they may close short cycles.
// A second pass then lifts the girth in steps of 2: it exchanges rows between pairs of ones
// (which keeps every weight) until no column lies on a cycle shorter than the step's target,
// and a step that cannot be completed is undone. For the (3,6) code with n = 504 every seed
// tried reaches girth 8.
// Cost grows as n * column_weight * E: meant for codes of up to some ten thousand columns
// (n = 504: a few ms; n = 10000: a few seconds).
// Fails when the parameters are impossible (n, m, column_weight not positive, column_weight
// > m, n * column_weight beyond the int range) or when a column finds no open row it is not
// already joined to (possible near the end for unlucky seeds; another seed then serves).
// On success `h` holds each row's columns in ascending order.
bool build_peg_code(int n, int m, int column_weight, std::uint64_t seed, ParityCheckMatrix& h,
                    std::string& error);

// How build_peg_irregular searches.
struct PegOptions {
  // 0: grow each column's neighbourhood until it stops growing or swallows every open row
  // (exact progressive edge growth; cost about E per one placed, E the number of ones).
  // D > 0: stop after D levels of rows and pick among the open rows not reached, so every
  // new cycle is at least 2D + 2 long where such rows exist; cost about the size of a
  // depth-D neighbourhood per one, independent of n. The girth lifting then stops at 2D + 2.
  int depth_limit = 0;
  // Partners the girth lifting tries per one before it gives up its step (each try costs two
  // local searches); build_peg_code tries every edge.
  std::int64_t lift_tries = 2000;
  // Called with (columns placed, n) every 1024 columns and at the end, when not null.
  void (*progress)(int done, int n, void* context) = nullptr;
  void* progress_context = nullptr;
};

// build_peg_irregular: progressive edge growth with a degree for every column and a cap for
// every row. Columns are taken in order 0..n-1 (callers put the low degrees first, as the
// method prescribes); each one goes to a row among those farthest from the column, lowest
// current weight first, ties by the generator, never to a row at its cap. Then the girth
// lifting of build_peg_code. With equal degrees W, caps code_row_weight_cap(n, m, W), no depth
// limit and lift_tries >= n * W it is build_peg_code, byte for byte.
// With a depth limit the candidates are the open rows outside the depth-D neighbourhood:
// rows are kept in buckets by weight, so the lowest-weight unreached rows are found without
// scanning every row, and a tie among them is drawn from the bucket by rejection (or from a
// list of its unreached rows when most are reached).
// Fails on a degree outside 1..m, a cap outside 0..n, caps with less room than the ones,
// more ones than an int counts, or a column that finds no open row (another seed may serve).
bool build_peg_irregular(const std::vector<int>& column_degrees, const std::vector<int>& row_caps,
                         std::uint64_t seed, const PegOptions& options, ParityCheckMatrix& h,
                         std::string& error);

// How much a Tanner graph's neighbourhood grows per level: the product of the mean excess
// degrees of columns and rows, each in the edge perspective (Σ d(d-1) / Σ d); 0 when either
// side has no edge. (3,6): 2 x 5 = 10.
double code_neighbourhood_growth(const std::vector<int>& column_degrees,
                                 const std::vector<int>& row_degrees);

// A depth for the bounded search of long codes: the largest D >= 2 with b^(D-1) <= 2000,
// where b = code_neighbourhood_growth is about how much a neighbourhood grows per level. The
// neighbourhood searched for each one then holds some thousands of rows whatever n is:
// (3,6) codes get D = 4 (girth 10 at n = 100,000), denser ensembles D = 3 or 2.
int code_peg_default_depth(const std::vector<int>& column_degrees,
                           const std::vector<int>& row_caps);

// Codes of up to this many columns are built with the full search by default; longer ones with
// code_peg_default_depth (a full search of n = 100,000 takes hours).
inline constexpr int CODE_FULL_SEARCH_COLUMNS = 20000;

// The search depth of a build of n columns when none is asked for: 0 (full) up to
// CODE_FULL_SEARCH_COLUMNS, code_peg_default_depth beyond.
int code_peg_build_depth(int n, const std::vector<int>& column_degrees,
                         const std::vector<int>& row_caps);

// build_random_code: every row gets floor or ceil of n * column_weight / m sockets, the
// sockets are shuffled and dealt to the columns, column_weight each; a row dealt twice to one
// column is swapped with a random socket elsewhere. Row weights are as balanced as possible
// (exact when n * column_weight = m * row weight) and no column holds a row twice; the girth
// is whatever chance gives. Linear time: n = 1,000,000 builds in well under a second.
// Same parameter rules as build_peg_code; also fails when the swaps cannot remove a repeat
// (only for a column weight close to m).
bool build_random_code(int n, int m, int column_weight, std::uint64_t seed, ParityCheckMatrix& h,
                       std::string& error);

}  // namespace ldpcsw
