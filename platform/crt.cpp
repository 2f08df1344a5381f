#include "platform/crt.h"

#include <chrono>

namespace ldpcsw {
namespace {

std::uint32_t rand_state = 1;

// Taken during static initialisation, before main runs: the origin of crt_clock().
const std::chrono::steady_clock::time_point program_start = std::chrono::steady_clock::now();

}  // namespace

int crt_rand() {
  rand_state = rand_state * 214013u + 2531011u;
  return static_cast<int>((rand_state >> 16) & 0x7FFFu);
}

void crt_rand_reset() { rand_state = 1; }

long crt_clock() {
  auto elapsed = std::chrono::steady_clock::now() - program_start;
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
}

std::int64_t perf_counter() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

std::int64_t perf_frequency() { return 1000000000; }

}  // namespace ldpcsw
