// The rank of a parity-check matrix over GF(2): the number of independent checks, which is
// what a syndrome really carries. A matrix whose rows are dependent (any matrix with only
// even column weights, for one) sends fewer than m independent syndrome bits.
//
// Error policy: a matrix too large for the dense elimination is not an error; the rank is
// reported as not computed and the caller says so.
#pragma once

#include <cstdint>
#include <vector>

namespace ldpcsw {

// Largest m * n (in bits) that gf2_rank eliminates densely: 128 MiB of matrix.
inline constexpr std::uint64_t DENSE_RANK_MAX_BITS = std::uint64_t{1} << 30;

// GF(2) rank of the m x n matrix whose row r holds ones at the 0-based columns
// jc[ir[r]] .. jc[ir[r + 1] - 1] (a column listed twice counts once). The elimination is
// M4RI's dense one (the method of the Four Russians with PLUQ decomposition). Returns the rank,
// or -1 when m * n exceeds max_bits and the rank is not computed.
long long gf2_rank(int n, int m, const int* ir, const int* jc,
                   std::uint64_t max_bits = DENSE_RANK_MAX_BITS);

// The left null space of the same matrix: the d = m - rank independent vectors y of m bits with
// y H = 0 over GF(2), as bit masks per row: bit i of masks[r * words + i / 64] (i < d) is
// entry r of vector i, with words = (d + 63) / 64. Returns d (masks empty when d is 0), or -1
// when m * n exceeds max_bits and nothing is computed.
long long gf2_left_null_space(int n, int m, const int* ir, const int* jc,
                              std::vector<std::uint64_t>& masks, int& words,
                              std::uint64_t max_bits = DENSE_RANK_MAX_BITS);

}  // namespace ldpcsw
