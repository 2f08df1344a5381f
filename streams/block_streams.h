// streams/: the random streams of the sweep's blocks, as pure functions with no dependencies,
// so that the CPU sweep (sweep/) and the device kernels (gpu/) draw the very same bits.
// Compiled by nvcc, the functions that the kernels call are __host__ __device__; by the host
// compiler (or through the SIMT emulation) they are plain C++.
//
// Philox4x32-10 (Salmon, Moraes, Dror, Shaw, "Parallel random numbers: as easy as 1, 2, 3",
// SC 2011) is a counter-based generator: output = bijection(counter) under a key, so any draw
// of any block is computed directly from (key, counter) without stepping through the others.
// A block's bits depend only on the seed, p and the block's index, never on which thread,
// process or device decodes it or in which order.
//
// Block `block` of a point: x[j] equiprobable, y[j] = x[j] XOR (u_j < threshold). Source bits
// come from counters (q, 0, lo, hi) (128 bits per counter), noise words from counters
// (q, 1, lo, hi) (four words per counter), where (lo, hi) are the block index's 32-bit halves.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__CUDACC__)
#define LDPCSW_STREAMS_HD __host__ __device__ __forceinline__
#else
#define LDPCSW_STREAMS_HD inline
#endif

namespace ldpcsw::streams {

inline constexpr std::uint32_t PHILOX_M0 = 0xD2511F53u;
inline constexpr std::uint32_t PHILOX_M1 = 0xCD9E8D57u;
inline constexpr std::uint32_t PHILOX_W0 = 0x9E3779B9u;  // golden ratio
inline constexpr std::uint32_t PHILOX_W1 = 0xBB67AE85u;  // sqrt(3) - 1

// The ten-round Philox4x32 bijection of c[0..3] under the key (k0, k1), in place.
LDPCSW_STREAMS_HD void philox4x32_10(std::uint32_t* c, std::uint32_t k0, std::uint32_t k1) {
  for (int r = 0; r < 10; ++r) {
    if (r > 0) {
      k0 += PHILOX_W0;
      k1 += PHILOX_W1;
    }
    const std::uint64_t p0 = static_cast<std::uint64_t>(PHILOX_M0) * c[0];
    const std::uint64_t p1 = static_cast<std::uint64_t>(PHILOX_M1) * c[2];
    const std::uint32_t hi0 = static_cast<std::uint32_t>(p0 >> 32);
    const std::uint32_t lo0 = static_cast<std::uint32_t>(p0);
    const std::uint32_t hi1 = static_cast<std::uint32_t>(p1 >> 32);
    const std::uint32_t lo1 = static_cast<std::uint32_t>(p1);
    const std::uint32_t c1 = c[1], c3 = c[3];
    c[0] = hi1 ^ c1 ^ k0;
    c[1] = lo1;
    c[2] = hi0 ^ c3 ^ k1;
    c[3] = lo0;
  }
}

// Block `block` of the point keyed (k0, k1): source bits into x and side information into y,
// bit j at x[j * stride] and y[j * stride] (stride 1 on the CPU; the batch size on the device,
// whose arrays hold bit j of every block side by side).
LDPCSW_STREAMS_HD void draw_block(std::uint32_t k0, std::uint32_t k1, std::uint64_t block,
                                  std::uint64_t threshold, std::int8_t* x, std::int8_t* y, int n,
                                  long long stride) {
  const auto lo = static_cast<std::uint32_t>(block), hi = static_cast<std::uint32_t>(block >> 32);
  // The words are indexed by constants only (w and k run over fixed ranges), so on the device
  // they stay in registers.
  for (int base = 0; base < n; base += 128) {
    std::uint32_t r[4] = {static_cast<std::uint32_t>(base / 128), 0, lo, hi};
    philox4x32_10(r, k0, k1);
    for (int w = 0; w < 4; ++w) {
      const std::uint32_t word = r[w];
      const int start = base + 32 * w;
      const int end = n < start + 32 ? n : start + 32;
      for (int j = start; j < end; ++j)
        x[j * stride] = static_cast<std::int8_t>((word >> (j - start)) & 1u);
    }
  }
  for (int base = 0; base < n; base += 4) {
    std::uint32_t r[4] = {static_cast<std::uint32_t>(base / 4), 1, lo, hi};
    philox4x32_10(r, k0, k1);
    for (int k = 0; k < 4; ++k) {
      if (base + k >= n) break;
      const int j = base + k;
      const int flip = static_cast<std::uint64_t>(r[k]) < threshold ? 1 : 0;
      y[j * stride] = static_cast<std::int8_t>(x[j * stride] ^ flip);
    }
  }
}

// splitmix64's finaliser.
inline std::uint64_t splitmix64_mix(std::uint64_t z) {
  z += 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// The Philox key (low word, high word) of point p under `seed`: both mixed through
// splitmix64's finaliser, so neighbouring seeds or probabilities give unrelated streams.
// Computed on the host once per point.
inline void point_key(std::uint64_t seed, double p, std::uint32_t& k0, std::uint32_t& k1) {
  std::uint64_t bits = 0;
  static_assert(sizeof bits == sizeof p);
  std::memcpy(&bits, &p, sizeof bits);
  const std::uint64_t k = splitmix64_mix(splitmix64_mix(seed) ^ bits);
  k0 = static_cast<std::uint32_t>(k);
  k1 = static_cast<std::uint32_t>(k >> 32);
}

// Threshold t with P(u < t) = t / 2^32 closest to p for a uniform 32-bit u.
inline std::uint64_t noise_threshold(double p) {
  if (!(p > 0.0)) return 0;
  if (p >= 1.0) return std::uint64_t{1} << 32;
  return static_cast<std::uint64_t>(std::llround(p * 4294967296.0));
}

// The host's array form of the generator, for the sweep's callers: a counter of four words and
// a key of two.
using PhiloxCounter = std::array<std::uint32_t, 4>;
using PhiloxKey = std::array<std::uint32_t, 2>;

// The ten-round Philox4x32 bijection of `counter` under `key`.
inline PhiloxCounter philox4x32_10(PhiloxCounter counter, PhiloxKey key) {
  philox4x32_10(counter.data(), key[0], key[1]);
  return counter;
}

}  // namespace ldpcsw::streams
