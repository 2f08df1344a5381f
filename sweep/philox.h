// Philox4x32-10 (Salmon, Moraes, Dror, Shaw, "Parallel random numbers: as easy as 1, 2, 3",
// SC 2011): a counter-based generator. Output = bijection(counter) under a key, so any draw of
// any block can be computed directly from (key, counter) without stepping through the others.
// The sweep relies on that: a block's bits depend only on the seed, p and the block's index,
// never on which thread or process decodes it or in which order.
#pragma once

#include <array>
#include <cstdint>

namespace ldpcsw::sweep {

using PhiloxCounter = std::array<std::uint32_t, 4>;
using PhiloxKey = std::array<std::uint32_t, 2>;

namespace philox_detail {
inline constexpr std::uint32_t M0 = 0xD2511F53u;
inline constexpr std::uint32_t M1 = 0xCD9E8D57u;
inline constexpr std::uint32_t W0 = 0x9E3779B9u;  // golden ratio
inline constexpr std::uint32_t W1 = 0xBB67AE85u;  // sqrt(3) - 1

inline void round(PhiloxCounter& c, const PhiloxKey& k) {
  const std::uint64_t p0 = static_cast<std::uint64_t>(M0) * c[0];
  const std::uint64_t p1 = static_cast<std::uint64_t>(M1) * c[2];
  const std::uint32_t hi0 = static_cast<std::uint32_t>(p0 >> 32), lo0 = static_cast<std::uint32_t>(p0);
  const std::uint32_t hi1 = static_cast<std::uint32_t>(p1 >> 32), lo1 = static_cast<std::uint32_t>(p1);
  c = {hi1 ^ c[1] ^ k[0], lo1, hi0 ^ c[3] ^ k[1], lo0};
}
}  // namespace philox_detail

// The ten-round Philox4x32 bijection of `counter` under `key`.
inline PhiloxCounter philox4x32_10(PhiloxCounter counter, PhiloxKey key) {
  for (int r = 0; r < 10; ++r) {
    if (r > 0) {
      key[0] += philox_detail::W0;
      key[1] += philox_detail::W1;
    }
    philox_detail::round(counter, key);
  }
  return counter;
}

}  // namespace ldpcsw::sweep
