// decode_syndrome: the plain sum-product syndrome decoder over the column-major H (row
// indices and column pointers, as read_code_alist gives them). Same rules, initial LLRs,
// stopping tests, scratch layout and result as decode_syndrome_adaptive, but up to 100
// iterations and no estimation step. Allocates nothing, prints nothing, touches no
// process-wide state: reentrant.
#pragma once

#include <cstdint>

namespace ldpcsw {

inline constexpr int PLAIN_MAX_ITERATIONS = 100;

// `iterations`, when not null, receives the number of iterations run.
int decode_syndrome(const int* row_index, const int* col_ptr, int m, int n, const std::int8_t* y,
                    const std::int8_t* s, std::int8_t* x_hat, std::int8_t* byte_scratch,
                    double* number_scratch, double p_src, double p_cross,
                    int* iterations = nullptr);

}  // namespace ldpcsw
