// Stand-ins for the C runtime of the platform the experiment was first run on, so that
// every machine draws the same blocks and reports times in the same units.
//
// - crt_rand(): that runtime's 15-bit rand(), never seeded: state starts at 1 and each
//   call sets state = state * 214013 + 2531011 (mod 2^32), returning (state >> 16) & 0x7FFF.
//   glibc's rand() returns up to 2^31-1 and would break the thresholds 32767.0 * p.
// - crt_clock(): that runtime's clock(): 1000 ticks per second of wall time since start-up.
// - perf_counter() / perf_frequency(): a monotonic high-resolution counter and its ticks
//   per second.
#pragma once

#include <cstdint>

namespace ldpcsw {

inline constexpr int CRT_RAND_MAX = 0x7FFF;
inline constexpr long CRT_CLOCKS_PER_SEC = 1000;

// Next value 0 ... 32767 of the process-wide generator.
int crt_rand();
// Puts the process-wide generator back to its never-seeded start (tests and tools only).
void crt_rand_reset();

// Milliseconds of wall time since the program started.
long crt_clock();

// Monotonic counter and its frequency in ticks per second.
std::int64_t perf_counter();
std::int64_t perf_frequency();

}  // namespace ldpcsw
