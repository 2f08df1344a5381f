// streams/block_lanes-inl.h: the blocks of block_streams.h drawn a whole SIMD vector of blocks at
// a time, for code compiled per Highway target (include it after hwy/foreach_target.h, as
// Highway's -inl headers are included). Every lane computes its own block's Philox counters, so
// each block's bits are those of draw_block, bit for bit, whatever the lane and the target.
//
// Layout: bit j of the block in byte lane i lies at rows[j * lanes + i], lanes being the number
// of int8 lanes of the target's vector; a bit is 0 or -1 (all ones), so that XOR of two such
// bytes puts their parity in the sign. This is the batch decoder's lane layout, so the rows
// are written with whole-vector stores and no byte is scattered.
//
// Unlike block_streams.h this header needs Google Highway; its error policy is the same (none:
// the caller passes sizes that fit).
#if defined(LDPCSW_STREAMS_BLOCK_LANES_INL_H_) == defined(HWY_TARGET_TOGGLE)
#ifdef LDPCSW_STREAMS_BLOCK_LANES_INL_H_
#undef LDPCSW_STREAMS_BLOCK_LANES_INL_H_
#else
#define LDPCSW_STREAMS_BLOCK_LANES_INL_H_
#endif

#include <cstddef>
#include <cstdint>

#include "hwy/highway.h"
#include "streams/block_streams.h"

HWY_BEFORE_NAMESPACE();
namespace ldpcsw::streams::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR
// philox4x32_10 of one counter (c0, c1, c2, c3) per 32-bit lane, in place.
template <class D>
HWY_INLINE void PhiloxLanes(D d, hn::Vec<D>& c0, hn::Vec<D>& c1, hn::Vec<D>& c2, hn::Vec<D>& c3,
                            std::uint32_t k0, std::uint32_t k1) {
  const hn::Repartition<std::uint64_t, D> d64;
  const auto low32 = hn::Set(d64, 0xFFFFFFFFull);
  const auto high32 = hn::Set(d64, 0xFFFFFFFF00000000ull);
  // a * b in every 32-bit lane, as its high and low words.
  auto mulhilo = [&](hn::Vec<D> a, hn::Vec<D> b, hn::Vec<D>& h, hn::Vec<D>& l) {
    const auto even = hn::MulEven(a, b);
    const auto odd = hn::MulEven(hn::BitCast(d, hn::ShiftRight<32>(hn::BitCast(d64, a))),
                                 hn::BitCast(d, hn::ShiftRight<32>(hn::BitCast(d64, b))));
    l = hn::BitCast(d, hn::Or(hn::And(even, low32), hn::ShiftLeft<32>(odd)));
    h = hn::BitCast(d, hn::Or(hn::ShiftRight<32>(even), hn::And(odd, high32)));
  };
  const auto m0 = hn::Set(d, PHILOX_M0), m1 = hn::Set(d, PHILOX_M1);
  for (int r = 0; r < 10; ++r) {
    if (r > 0) {
      k0 += PHILOX_W0;
      k1 += PHILOX_W1;
    }
    hn::Vec<D> hi0, lo0, hi1, lo1;
    mulhilo(m0, c0, hi0, lo0);
    mulhilo(m1, c2, hi1, lo1);
    c0 = hn::Xor(hn::Xor(hi1, c1), hn::Set(d, k0));
    c1 = lo1;
    c2 = hn::Xor(hn::Xor(hi0, c3), hn::Set(d, k1));
    c3 = lo0;
  }
}
#endif

// Draws blocks[0..count) of the point keyed (k0, k1), block i into byte lane i of the rows:
// x_rows gets the source bits, y_rows the side information, each as 0 or -1 (n rows of `lanes`
// bytes each, lanes = Lanes(ScalableTag<int8_t>), count <= lanes). Lanes from `count` on are
// left as they were or filled with copies of a drawn block.
inline void DrawBlockLanes(std::uint32_t k0, std::uint32_t k1, const std::uint64_t* blocks,
                           int count, std::uint64_t threshold, int n, std::int8_t* x_rows,
                           std::int8_t* y_rows) {
#if HWY_TARGET == HWY_SCALAR
  // One lane: the block itself, negated into 0/-1.
  if (count < 1) return;
  draw_block(k0, k1, blocks[0], threshold, x_rows, y_rows, n, 1);
  for (int j = 0; j < n; ++j) {
    x_rows[j] = static_cast<std::int8_t>(-x_rows[j]);
    y_rows[j] = static_cast<std::int8_t>(-y_rows[j]);
  }
#else
  const hn::ScalableTag<std::int8_t> d8;
  const hn::Repartition<std::uint32_t, decltype(d8)> d32;
  const hn::RebindToSigned<decltype(d32)> di;
  const hn::Rebind<std::int8_t, decltype(di)> dq;  // a quarter vector of bytes
  const std::size_t L = hn::Lanes(d8), P = hn::Lanes(d32);
  // The groups of P lanes that hold a block; each group is one vector of Philox counters.
  const int groups = static_cast<int>((static_cast<std::size_t>(count) + P - 1) / P);
  HWY_ALIGN std::uint32_t lo[hn::MaxLanes(d8)], hi[hn::MaxLanes(d8)];
  for (std::size_t i = 0; i < L; ++i) {
    const std::uint64_t b = blocks[static_cast<int>(i) < count ? i : 0];
    lo[i] = static_cast<std::uint32_t>(b);
    hi[i] = static_cast<std::uint32_t>(b >> 32);
  }
  // Source bits: counters (q, 0, lo, hi), 128 bits each, bit k of word w is bit 32 w + k.
  for (int base = 0; base < n; base += 128) {
    for (int g = 0; g < groups; ++g) {
      auto c0 = hn::Set(d32, static_cast<std::uint32_t>(base / 128)), c1 = hn::Zero(d32);
      auto c2 = hn::Load(d32, lo + g * P), c3 = hn::Load(d32, hi + g * P);
      PhiloxLanes(d32, c0, c1, c2, c3, k0, k1);
      const hn::Vec<decltype(d32)> words[4] = {c0, c1, c2, c3};
      for (int w = 0; w < 4; ++w) {
        const int start = base + 32 * w;
        const int end = n < start + 32 ? n : start + 32;
        const auto word = hn::BitCast(di, words[w]);
        for (int j = start; j < end; ++j) {
          // Bit (j - start) moved to the sign, then spread over the lane.
          const auto bit = hn::ShiftRight<31>(hn::ShiftLeftSame(word, 31 - (j - start)));
          hn::StoreU(hn::DemoteTo(dq, bit), dq, x_rows + j * L + g * P);
        }
      }
    }
  }
  // Noise: counters (q, 1, lo, hi), word k of counter q for bit 4 q + k; the bit flips where
  // the word is below the threshold (u < t as a signed compare with both sign bits flipped).
  const bool always = threshold >= (std::uint64_t{1} << 32);
  const auto flip = hn::Set(di, static_cast<std::int32_t>(0x80000000u));
  const auto limit =
      hn::Xor(hn::Set(di, static_cast<std::int32_t>(static_cast<std::uint32_t>(threshold))), flip);
  const auto all = hn::Set(di, -1);
  for (int base = 0; base < n; base += 4) {
    for (int g = 0; g < groups; ++g) {
      auto c0 = hn::Set(d32, static_cast<std::uint32_t>(base / 4)), c1 = hn::Set(d32, 1u);
      auto c2 = hn::Load(d32, lo + g * P), c3 = hn::Load(d32, hi + g * P);
      PhiloxLanes(d32, c0, c1, c2, c3, k0, k1);
      const hn::Vec<decltype(d32)> words[4] = {c0, c1, c2, c3};
      for (int k = 0; k < 4 && base + k < n; ++k) {
        const int j = base + k;
        const auto z = always ? all
                              : hn::VecFromMask(di, hn::Lt(hn::Xor(hn::BitCast(di, words[k]), flip), limit));
        std::int8_t* const x = x_rows + j * L + g * P;
        hn::StoreU(hn::Xor(hn::LoadU(dq, x), hn::DemoteTo(dq, z)), dq, y_rows + j * L + g * P);
      }
    }
  }
#endif
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace ldpcsw::streams::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#endif  // LDPCSW_STREAMS_BLOCK_LANES_INL_H_
