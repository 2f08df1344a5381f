// draw_sweep_block_simd: the same blocks as draw_sweep_block, with the noise words of several
// Philox counters computed side by side in SIMD lanes (one counter per 32-bit lane, the four
// words of the counters in four vectors). Philox is integer arithmetic only, so every word is
// the scalar function's word, bit for bit; the source bits (four counters a block) stay scalar.
#include <cstdint>
#include <vector>

#include "sweep/engine.h"

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "sweep/draw_simd.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"

HWY_BEFORE_NAMESPACE();
namespace ldpcsw::sweep::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void DrawBlock(const PhiloxKey& key, std::uint64_t block, std::uint64_t threshold,
               std::int8_t* x, std::int8_t* y, int n) {
#if HWY_TARGET == HWY_SCALAR
  draw_sweep_block(key, block, threshold, x, y, n);
#else
  if (threshold > 0x80000000u) {  // beyond p = 0.5: not worth a vector form
    draw_sweep_block(key, block, threshold, x, y, n);
    return;
  }
  const auto lo = static_cast<std::uint32_t>(block), hi = static_cast<std::uint32_t>(block >> 32);
  for (int base = 0; base < n; base += 128) {
    const PhiloxCounter r = philox4x32_10({static_cast<std::uint32_t>(base / 128), 0, lo, hi}, key);
    const int end = base + 128 < n ? base + 128 : n;
    for (int j = base; j < end; ++j) {
      const int bit = j - base;
      x[j] = static_cast<std::int8_t>((r[bit >> 5] >> (bit & 31)) & 1u);
    }
  }

  const hn::ScalableTag<std::uint32_t> d;
  const hn::Repartition<std::uint64_t, decltype(d)> d64;
  const hn::RebindToSigned<decltype(d)> di;
  const std::size_t N = hn::Lanes(d);
  const auto low32 = hn::Set(d64, 0xFFFFFFFFull);
  const auto high32 = hn::Set(d64, 0xFFFFFFFF00000000ull);
  // a * b for every 32-bit lane as (high words, low words).
  auto mulhilo = [&](decltype(hn::Zero(d)) a, decltype(hn::Zero(d)) b, decltype(hn::Zero(d))& h,
                     decltype(hn::Zero(d))& l) {
    const auto even = hn::MulEven(a, b);
    const auto odd = hn::MulEven(hn::BitCast(d, hn::ShiftRight<32>(hn::BitCast(d64, a))),
                                 hn::BitCast(d, hn::ShiftRight<32>(hn::BitCast(d64, b))));
    l = hn::BitCast(d, hn::Or(hn::And(even, low32), hn::ShiftLeft<32>(odd)));
    h = hn::BitCast(d, hn::Or(hn::ShiftRight<32>(even), hn::And(odd, high32)));
  };
  const auto m0 = hn::Set(d, 0xD2511F53u), m1 = hn::Set(d, 0xCD9E8D57u);
  // Unsigned u < threshold as a signed comparison with both sign bits flipped.
  const auto flip = hn::Set(di, static_cast<std::int32_t>(0x80000000u));
  const auto limit = hn::Xor(hn::Set(di, static_cast<std::int32_t>(static_cast<std::uint32_t>(threshold))), flip);
  HWY_ALIGN std::uint32_t words[4][hn::MaxLanes(d)];
  const int counters = (n + 3) / 4;
  for (int q0 = 0; q0 < counters; q0 += static_cast<int>(N)) {
    auto c0 = hn::Iota(d, static_cast<std::uint32_t>(q0));
    auto c1 = hn::Set(d, 1u), c2 = hn::Set(d, lo), c3 = hn::Set(d, hi);
    std::uint32_t k0 = key[0], k1 = key[1];
    for (int r = 0; r < 10; ++r) {
      if (r > 0) {
        k0 += 0x9E3779B9u;
        k1 += 0xBB67AE85u;
      }
      decltype(c0) hi0, lo0, hi1, lo1;
      mulhilo(m0, c0, hi0, lo0);
      mulhilo(m1, c2, hi1, lo1);
      c0 = hn::Xor(hn::Xor(hi1, c1), hn::Set(d, k0));
      c1 = lo1;
      c2 = hn::Xor(hn::Xor(hi0, c3), hn::Set(d, k1));
      c3 = lo0;
    }
    const decltype(c0) out[4] = {c0, c1, c2, c3};
    for (int w = 0; w < 4; ++w) {
      const auto below = hn::Lt(hn::Xor(hn::BitCast(di, out[w]), flip), limit);
      hn::Store(hn::BitCast(d, hn::VecFromMask(di, below)), d, words[w]);
    }
    const int last = q0 + static_cast<int>(N) < counters ? q0 + static_cast<int>(N) : counters;
    for (int q = q0; q < last; ++q) {
      for (int w = 0; w < 4; ++w) {
        const int j = 4 * q + w;
        if (j < n) y[j] = static_cast<std::int8_t>(x[j] ^ (words[w][q - q0] & 1u));
      }
    }
  }
#endif
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace ldpcsw::sweep::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ldpcsw::sweep {
HWY_EXPORT(DrawBlock);

void draw_sweep_block_simd(const PhiloxKey& key, std::uint64_t block, std::uint64_t threshold,
                           std::int8_t* x, std::int8_t* y, int n) {
  HWY_DYNAMIC_DISPATCH(DrawBlock)(key, block, threshold, x, y, n);
}
}  // namespace ldpcsw::sweep
#endif  // HWY_ONCE
