// Source blocks, side information and syndromes, drawn and formed the way the fixed
// experiment does it, shared by every program that decodes the experiment's blocks.
#pragma once

#include <cstdint>

namespace ldpcsw {

// The fixed experiment's blocks: how many, the prior of a source one, the crossover
// probability of the side-information channel.
inline constexpr int EXPERIMENT_BLOCKS = 200;
inline constexpr double EXPERIMENT_P_SOURCE = 0.5;
inline constexpr double EXPERIMENT_P_CROSS = 0.08;

// Scale of the thresholds: a draw r of crt_rand() gives a one when 32767.0 * p > r.
inline constexpr double RAND_SCALE = 32767.0;

// For each bit j in order, two draws of crt_rand(): the source bit x[j] (one when
// 32767.0 * p_src > r1), then the noise bit z (one when 32767.0 * p_cross > r2);
// y[j] = x[j] XOR z. The interleaving is part of the experiment: every block depends on it.
void draw_block(std::int8_t* x, std::int8_t* y, int n, double p_src, double p_cross);

// s = H x over GF(2) from the row-major form (m rows, pointers ir, columns jc).
void compute_syndrome(const int* ir, const int* jc, int m, const std::int8_t* x, std::int8_t* s);

// s = H x over GF(2) from the column-major form (n columns, pointers col_ptr, rows row_index).
void compute_syndrome_columns(const int* row_index, const int* col_ptr, int n, int m,
                              const std::int8_t* x, std::int8_t* s);

// Number of positions where a and b differ.
int count_bit_errors(const std::int8_t* a, const std::int8_t* b, int n);

}  // namespace ldpcsw
