// The batch min-sum decoder: one block per lane of an int8 vector, compiled for every Highway
// target and dispatched at run time to the widest one the machine runs (or the one forced).
//
// Layout: every per-edge, per-bit and per-check quantity is a row of `lanes` bytes, edge-major
// and lane-minor (value of edge e in lane l at [e * lanes + l]), so one vector load reads an
// edge's message in every block at once. Each operation below is the rule of
// fixed/minsum_rules.h applied lane by lane; nothing mixes lanes except reading the stop flags,
// so a lane's result never depends on what the other lanes hold.
#include <algorithm>
#include <cassert>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <vector>

#ifndef LDPCSW_MINSUM_BATCH_ONCE
#define LDPCSW_MINSUM_BATCH_ONCE

#include "hwy/aligned_allocator.h"
#include "minsum/minsum.h"

namespace ldpcsw::minsum {

// Lane arrays kept between calls; grown, never shrunk.
struct MinsumWorkspace::Arrays {
  hwy::AlignedFreeUniquePtr<std::int8_t[]> storage;
  std::size_t capacity = 0;
  std::int8_t* take(std::size_t bytes) {
    if (bytes > capacity) {
      storage = hwy::AllocateAligned<std::int8_t>(bytes);
      capacity = bytes;
    }
    std::memset(storage.get(), 0, bytes);
    return storage.get();
  }
};

MinsumWorkspace::MinsumWorkspace() : arrays(std::make_unique<Arrays>()) {}
MinsumWorkspace::~MinsumWorkspace() = default;
MinsumWorkspace::MinsumWorkspace(const MinsumWorkspace&) : arrays(std::make_unique<Arrays>()) {}
MinsumWorkspace& MinsumWorkspace::operator=(const MinsumWorkspace&) {
  arrays = std::make_unique<Arrays>();
  return *this;
}
MinsumWorkspace::MinsumWorkspace(MinsumWorkspace&&) noexcept = default;
MinsumWorkspace& MinsumWorkspace::operator=(MinsumWorkspace&&) noexcept = default;

// The drawn form's inputs: the point's stream, the names of the blocks to draw, their outcomes.
struct DrawnBlocks {
  const streams::PhiloxKey* key;
  std::uint64_t threshold;
  const MinsumBlockSource* source;
  const MinsumBlockOutcome* outcome;
};

// Adds the time since its last lap to one phase of a split; without a split it reads no clock.
class SplitClock {
 public:
  explicit SplitClock(MinsumSplit* split) : split_(split) {
    if (split_ != nullptr) start_ = last_ = Clock::now();
  }
  void lap(double MinsumSplit::*phase) {
    if (split_ == nullptr) return;
    const Clock::time_point now = Clock::now();
    split_->*phase += std::chrono::duration<double, std::nano>(now - last_).count();
    last_ = now;
  }
  void finish() {
    if (split_ != nullptr)
      split_->total += std::chrono::duration<double, std::nano>(Clock::now() - start_).count();
  }

 private:
  using Clock = std::chrono::steady_clock;
  MinsumSplit* split_;
  Clock::time_point start_, last_;
};

}  // namespace ldpcsw::minsum
#endif  // LDPCSW_MINSUM_BATCH_ONCE

#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "minsum/batch.cpp"
#include "hwy/foreach_target.h"  // IWYU pragma: keep
#include "hwy/highway.h"
#include "streams/block_lanes-inl.h"

HWY_BEFORE_NAMESPACE();
namespace ldpcsw::minsum::HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

int Lanes8() {
  const hn::ScalableTag<std::int8_t> d8;
  return static_cast<int>(hn::Lanes(d8));
}

namespace {

using D8 = hn::ScalableTag<std::int8_t>;
using V8 = hn::Vec<D8>;

// The corrected magnitudes of a row's two smallest inputs (both in 0..MSG_MAX) under the
// row's correction.
struct Corrector {
  RowCorrection c;
  std::int8_t* buffer;  // one vector of scratch, for the 16-bit products
  V8 operator()(V8 mag) const {
    const D8 d8;
    if (c.offset)
      return hn::Max(hn::Sub(mag, hn::Set(d8, static_cast<std::int8_t>(c.beta))), hn::Zero(d8));
#if HWY_TARGET == HWY_SCALAR
    // One lane: mag * num >> shift through a 16-bit lane.
    const hn::ScalableTag<std::int16_t> d16;
    const hn::Rebind<std::int8_t, decltype(d16)> dh;
    hn::Store(mag, d8, buffer);
    const auto product =
        hn::Mul(hn::PromoteTo(d16, hn::LoadU(dh, buffer)), hn::Set(d16, static_cast<std::int16_t>(c.num)));
    return hn::DemoteTo(dh, hn::ShiftRightSame(product, c.shift));
#else
    // mag * num >> shift for the even and the odd bytes in 16-bit lanes (magnitudes are
    // non-negative and the results stay below 128, so the bytes recombine by shift and or).
    const hn::Repartition<std::int16_t, D8> d16;
    const hn::RebindToUnsigned<decltype(d16)> du16;
    const auto num = hn::Set(d16, static_cast<std::int16_t>(c.num));
    const auto w = hn::BitCast(d16, mag);
    const auto even = hn::And(w, hn::Set(d16, static_cast<std::int16_t>(0x00FF)));
    const auto odd = hn::BitCast(d16, hn::ShiftRight<8>(hn::BitCast(du16, w)));
    const auto lo = hn::ShiftRightSame(hn::Mul(even, num), c.shift);
    const auto hi = hn::ShiftRightSame(hn::Mul(odd, num), c.shift);
    return hn::BitCast(d8, hn::Or(lo, hn::ShiftLeft<8>(hi)));
#endif
  }
};

// The sum-product correction difference ln(1 + e^-sum) - ln(1 + e^-diff), lane by lane, as
// the step function spa_correction: each step is a compare whose mask is -1 where true.
HWY_INLINE V8 SpaCombine(V8 a, V8 b) {
  const D8 d8;
  const V8 lo = hn::Min(a, b);
  const V8 sum = hn::SaturatedAdd(a, b);
  const V8 diff = hn::Sub(hn::Max(a, b), lo);
  V8 acc = hn::Zero(d8);
  for (int i = 0; i < SPA_STEPS; ++i) {
    const V8 at = hn::Set(d8, static_cast<std::int8_t>(spa_step_at(i)));
    acc = hn::Add(acc, hn::Sub(hn::VecFromMask(d8, hn::Lt(diff, at)),
                               hn::VecFromMask(d8, hn::Lt(sum, at))));
  }
  return hn::Max(hn::Add(lo, acc), hn::Zero(d8));
}

// A magnitude with the sign a check gives edge input `in`: negative where parity ^ in is.
HWY_INLINE V8 WithSign(V8 in, V8 parity, V8 mag) {
  // A compare, not IfNegativeThenElse: Highway 1.0.3's SSSE3 form of the latter tests whole
  // lanes rather than their sign bits.
  const D8 d8;
  return hn::IfThenElse(hn::Lt(hn::Xor(parity, in), hn::Zero(d8)), hn::Neg(mag), mag);
}

// The message a row sends on an edge whose input was `in`: the other inputs' corrected
// smallest magnitude (min1 unless `in` is the smallest, then min2) with sign parity ^ sign(in).
HWY_INLINE V8 CheckOut(V8 in, V8 parity, V8 min1, V8 cmin1, V8 cmin2) {
  return WithSign(in, parity, hn::IfThenElse(hn::Eq(hn::Abs(in), min1), cmin2, cmin1));
}

// The iteration's lambdas must be inlined into the decoder: out of line, the locals they
// capture would be reloaded after every vector store (which may alias anything).
#define LDPCSW_INLINE_LAMBDA __attribute__((always_inline))

// The passes that move waiting blocks into their lanes take their pointers and sizes by value:
// captured by a lambda that is not inlined, they would be reloaded after every store (a vector
// store may alias anything).

// to[i * L + l] = from[i * L + l] for the `rows` rows, in the lanes l of `mask`.
HWY_INLINE void BlendRows(hn::Mask<D8> mask, const std::int8_t* from, std::int8_t* to,
                          std::size_t rows, std::size_t L) {
  const D8 d8;
  for (std::size_t i = 0; i < rows; ++i)
    hn::Store(hn::IfThenElse(mask, hn::Load(d8, from + i * L), hn::Load(d8, to + i * L)), d8,
              to + i * L);
}

// The same for edge rows taking the value of their bit's row: to[e] = from[column[e]].
HWY_INLINE void BlendGathered(hn::Mask<D8> mask, const std::int8_t* from, std::int8_t* to,
                              const int* column, std::size_t rows, std::size_t L) {
  const D8 d8;
  for (std::size_t e = 0; e < rows; ++e)
    hn::Store(hn::IfThenElse(mask, hn::Load(d8, from + static_cast<std::size_t>(column[e]) * L),
                             hn::Load(d8, to + e * L)),
              d8, to + e * L);
}

// The same into 16-bit rows, the bytes sign-extended, half a vector of lanes at a time.
HWY_INLINE void BlendRowsWide(const std::int8_t* refill, const std::int8_t* from, std::int16_t* to,
                              std::size_t rows, std::size_t L) {
  const hn::ScalableTag<std::int16_t> d16;
  const hn::Rebind<std::int8_t, decltype(d16)> dh;
  const std::size_t H = hn::Lanes(d16);
  for (std::size_t h = 0; h < L; h += H) {
    const auto m16 = hn::Lt(hn::PromoteTo(d16, hn::LoadU(dh, refill + h)), hn::Zero(d16));
    for (std::size_t j = 0; j < rows; ++j)
      hn::StoreU(hn::IfThenElse(m16, hn::PromoteTo(d16, hn::LoadU(dh, from + j * L + h)),
                                hn::LoadU(d16, to + j * L + h)),
                 d16, to + j * L + h);
  }
}

// counts[l] = the rows i where the signs of a[i * L + l] and b[i * L + l] differ, for every lane
// at once: counted in bytes for up to 127 rows, then added into 16-bit totals.
HWY_INLINE void CountSignDifferences(const std::int8_t* a, const std::int8_t* b, std::size_t rows,
                                     std::size_t L, std::int16_t* counts) {
  const D8 d8;
  const hn::ScalableTag<std::int16_t> d16;
  const hn::Rebind<std::int8_t, decltype(d16)> dh;
  const std::size_t H = hn::Lanes(d16);
  for (std::size_t h = 0; h < L; h += H) hn::StoreU(hn::Zero(d16), d16, counts + h);
  HWY_ALIGN std::int8_t part[hn::MaxLanes(d8)];
  for (std::size_t start = 0; start < rows; start += 127) {
    const std::size_t end = std::min(rows, start + 127);
    V8 acc = hn::Zero(d8);
    for (std::size_t i = start; i < end; ++i) {
      const V8 differ = hn::Xor(hn::Load(d8, a + i * L), hn::Load(d8, b + i * L));
      acc = hn::Sub(acc, hn::VecFromMask(d8, hn::Lt(differ, hn::Zero(d8))));
    }
    hn::Store(acc, d8, part);
    for (std::size_t h = 0; h < L; h += H)
      hn::StoreU(hn::Add(hn::LoadU(d16, counts + h), hn::PromoteTo(d16, hn::LoadU(dh, part + h))),
                 d16, counts + h);
  }
}

}  // namespace

// Decodes blocks through the lanes. Blocks come either as (y, s) from `load` and leave as
// decisions through `store`, or (the sweep's forms) as (x, y) from `load_source`, or drawn
// here by name (`drawn`), a whole vector of blocks at once straight into the waiting rows; the
// syndromes of the sweep's blocks are formed in the lanes, a whole vector of lanes at a time,
// and their bit errors counted there for `outcome`.
void DecodeLanes(const MinsumCode& code, const MinsumParams& params, Schedule schedule,
                 MinsumWorkspace& workspace, const MinsumLoad* load, const MinsumStore* store,
                 const MinsumSourceLoad* load_source, const MinsumOutcome* outcome,
                 const DrawnBlocks* drawn, MinsumSplit* split) {
  SplitClock clock(split);
  const D8 d8;
  const std::size_t L = hn::Lanes(d8);
  const int n = code.n, m = code.m, edges = code.edges();
  const int* const ir = code.ir.data();
  const int* const jc = code.jc.data();
  const bool layered = schedule == Schedule::layered;
  const bool wide = layered && params.posterior_bits == 16;
  const bool spa = params.check == CheckRule::sum_product;
  const std::size_t row_tmp = layered ? static_cast<std::size_t>(code.max_row_weight) : 0;
  const std::size_t N = static_cast<std::size_t>(n), M = static_cast<std::size_t>(m),
                    E = static_cast<std::size_t>(edges);

  // msg: check-to-bit (layered) or the one message per edge (flooding); post: a-posteriori
  // values (8-bit layered), their saturated copy whose signs are the decisions (16-bit
  // layered), or the decisions (flooding); chan: channel values (flooding); synd: 0 or -1;
  // tmp: a row's inputs (layered); flags: the stop test; new_chan, new_synd: the channel
  // values and syndromes of the blocks waiting to enter their lanes, and refill: -1 in those
  // lanes; post16 and tmp16: the 16-bit a-posteriori values and a row's whole t values;
  // partial: the sum-product rule's magnitudes combined from the right end of a row.
  const bool sourced = load_source != nullptr || drawn != nullptr;
  const std::size_t bytes8 =
      E + 3 * N + 2 * M + row_tmp + 3 + (spa ? row_tmp : 0) + (sourced ? 2 * N : 0);
  const std::size_t rows16 = wide ? N + row_tmp : 0;
  std::int8_t* const base = workspace.arrays->take((bytes8 + 2 * rows16) * L);
  std::int8_t* const msg = base;
  std::int8_t* const post = msg + E * L;
  std::int8_t* const chan = post + N * L;
  std::int8_t* const synd = chan + N * L;
  std::int8_t* const tmp = synd + M * L;
  std::int8_t* const flags = tmp + row_tmp * L;
  std::int8_t* const new_chan = flags + L;
  std::int8_t* const new_synd = new_chan + N * L;
  std::int8_t* const refill = new_synd + M * L;
  // fresh: -1 in the lanes whose blocks entered since the last layered iteration, whose check
  // messages that iteration reads as 0 (so no pass over every edge clears them).
  std::int8_t* const fresh = refill + L;
  std::int8_t* const partial = fresh + L;
  // Sourced blocks: the waiting blocks' source bits and those of the blocks in the lanes, as 0
  // or -1 (so that XOR gives a parity in the sign).
  std::int8_t* const new_x = partial + (spa ? row_tmp : 0) * L;
  std::int8_t* const x_lanes = new_x + (sourced ? N : 0) * L;
  auto* const post16 = reinterpret_cast<std::int16_t*>(base + bytes8 * L);
  std::int16_t* const tmp16 = post16 + N * L;

  std::vector<std::int8_t> y(N), s(M), x(N);
  bool any_sourced = false;  // some waiting block still needs its syndrome formed
  std::vector<int> iterations(L, 0);
  std::vector<char> active(L, 0), ended(L, 0);
  hwy::AlignedFreeUniquePtr<std::int16_t[]> errors = hwy::AllocateAligned<std::int16_t>(L);
  bool exhausted = false;
  // The drawn form: the waiting rows hold a vector of drawn blocks, the one in lane k named
  // slot_block[k] and still untaken while staged[k]; lane_block names each lane's block.
  std::vector<char> staged(L, 0);
  std::vector<std::uint64_t> slot_block(L), lane_block(L), names(L);
  std::size_t cursor = 0;  // where the search for an untaken block starts
  bool pending = false;    // some lane has taken a waiting block that has not entered yet

  // Each row's correction, from its weight when the parameters leave it to the code.
  std::vector<Corrector> correct;
  correct.reserve(M);
  for (int r = 0; r < m; ++r)
    correct.push_back(Corrector{row_correction(params, schedule, ir[r + 1] - ir[r]), flags});

  const hn::ScalableTag<std::int16_t> d16;
  const hn::Rebind<std::int8_t, decltype(d16)> dh;
  const std::size_t H = hn::Lanes(d16);

  // The waiting blocks' syndromes, s = H x for every lane at once.
  auto waiting_syndromes = [&] {
    for (int r = 0; r < m; ++r) {
      V8 parity = hn::Zero(d8);
      for (int e = ir[r]; e < ir[r + 1]; ++e) parity = hn::Xor(parity, hn::Load(d8, new_x + jc[e] * L));
      hn::Store(parity, d8, new_synd + r * L);
    }
    clock.lap(&MinsumSplit::syndrome);
  };

  // Moves the waiting blocks into their lanes, a whole vector at a time: channel values into
  // the a-posteriori values (layered) or the channel row and every edge (flooding), syndromes,
  // source bits; check messages to 0 (flooding: to the channel values), which the layered
  // schedule does through `fresh` in its next iteration. Lanes not refilled keep their values.
  auto enter_blocks = [&] {
    const auto mask = hn::Lt(hn::Load(d8, refill), hn::Zero(d8));
    if (sourced && any_sourced) {
      waiting_syndromes();
      any_sourced = false;
    }
    if (sourced) BlendRows(mask, new_x, x_lanes, N, L);  // the source bits, for the bit errors
    BlendRows(mask, new_chan, layered ? post : chan, N, L);
    if (wide) BlendRowsWide(refill, new_chan, post16, N, L);
    if (layered) hn::Store(hn::Or(hn::Load(d8, fresh), hn::Load(d8, refill)), d8, fresh);
    else BlendGathered(mask, new_chan, msg, jc, E, L);
    BlendRows(mask, new_synd, synd, M, L);
    hn::Store(hn::Zero(d8), d8, refill);
    pending = false;
    clock.lap(&MinsumSplit::refill);
  };

  // The drawn form: the next vector of blocks drawn into the waiting rows, as channel values,
  // source bits and syndromes, block k in lane k. Blocks taken but not yet entered are entered
  // first, since their waiting rows are about to be overwritten.
  auto draw_vector = [&] {
    if (pending) enter_blocks();
    int count = 0;
    std::uint64_t block = 0;
    while (count < static_cast<int>(L) && !exhausted) {
      if (!(*drawn->source)(block)) exhausted = true;
      else names[static_cast<std::size_t>(count++)] = block;
    }
    if (count == 0) return;
    streams::HWY_NAMESPACE::DrawBlockLanes((*drawn->key)[0], (*drawn->key)[1], names.data(), count,
                                           drawn->threshold, n, new_x, new_chan);
    const V8 plus = hn::Set(d8, static_cast<std::int8_t>(channel_value(0, params.q)));
    const V8 minus = hn::Set(d8, static_cast<std::int8_t>(channel_value(1, params.q)));
    for (int j = 0; j < n; ++j) {
      std::int8_t* const row = new_chan + j * L;
      hn::Store(hn::IfThenElse(hn::Lt(hn::Load(d8, row), hn::Zero(d8)), minus, plus), d8, row);
    }
    clock.lap(&MinsumSplit::draw);
    waiting_syndromes();
    for (int k = 0; k < count; ++k) {
      staged[static_cast<std::size_t>(k)] = 1;
      slot_block[static_cast<std::size_t>(k)] = names[static_cast<std::size_t>(k)];
    }
    cursor = 0;
  };

  // An untaken waiting block, or L when there is none.
  auto find_staged = [&] {
    for (std::size_t i = 0; i < L; ++i) {
      const std::size_t k = (cursor + i) % L;
      if (staged[k]) return k;
    }
    return L;
  };

  // The drawn form's fill: `lane` takes its own waiting block, or else another lane's, whose
  // bytes are then moved across (the waiting rows of `lane` are free: its own block was taken
  // or never drawn), and enters with the next pass; a new vector is drawn when no block waits.
  // False when none is left.
  auto take = [&](std::size_t lane) {
    std::size_t k = staged[lane] ? lane : find_staged();
    if (k == L) {
      if (exhausted) return false;
      draw_vector();
      k = staged[lane] ? lane : find_staged();
      if (k == L) return false;
    }
    if (k != lane) {
      // Plain locals, so that the byte stores (which may alias anything) leave them in
      // registers.
      const std::size_t stride = L, bits = N, checks = M;
      std::int8_t* const xs = new_x + k;
      std::int8_t* const xd = new_x + lane;
      std::int8_t* const cs = new_chan + k;
      std::int8_t* const cd = new_chan + lane;
      std::int8_t* const ss = new_synd + k;
      std::int8_t* const sd = new_synd + lane;
      for (std::size_t j = 0; j < bits; ++j) {
        xd[j * stride] = xs[j * stride];
        cd[j * stride] = cs[j * stride];
      }
      for (std::size_t r = 0; r < checks; ++r) sd[r * stride] = ss[r * stride];
      cursor = k + 1;
    }
    refill[lane] = -1;
    pending = true;
    staged[k] = 0;
    lane_block[lane] = slot_block[k];
    return true;
  };

  // Takes the next block for `lane` into the waiting rows; enter_blocks() moves it in.
  auto fill = [&](std::size_t lane) {
    if (drawn != nullptr) {
      if (!take(lane)) {
        active[lane] = 0;
        return;
      }
      iterations[lane] = 0;
      active[lane] = 1;
      clock.lap(&MinsumSplit::place);
      return;
    }
    const bool got = !exhausted && (sourced ? (*load_source)(static_cast<int>(lane), x.data(), y.data())
                                            : (*load)(static_cast<int>(lane), y.data(), s.data()));
    clock.lap(&MinsumSplit::draw);
    if (!got) {
      exhausted = true;
      active[lane] = 0;
      return;
    }
    // Plain locals, so that the byte stores (which may alias anything) leave them in registers.
    const std::size_t stride = L, bits = N, checks = M;
    const int q = params.q;
    const std::int8_t* const from_y = y.data();
    std::int8_t* const to_chan = new_chan + lane;
    for (std::size_t j = 0; j < bits; ++j)
      to_chan[j * stride] = static_cast<std::int8_t>(channel_value(from_y[j], q));
    if (sourced) {
      const std::int8_t* const from_x = x.data();
      std::int8_t* const to_x = new_x + lane;
      for (std::size_t j = 0; j < bits; ++j) to_x[j * stride] = static_cast<std::int8_t>(-from_x[j]);
      any_sourced = true;
    } else {
      const std::int8_t* const from_s = s.data();
      std::int8_t* const to_synd = new_synd + lane;
      for (std::size_t r = 0; r < checks; ++r)
        to_synd[r * stride] = static_cast<std::int8_t>(from_s[r] != 0 ? -1 : 0);
    }
    refill[lane] = -1;
    iterations[lane] = 0;
    active[lane] = 1;
    clock.lap(&MinsumSplit::place);
  };


  const V8 vmax = hn::Set(d8, static_cast<std::int8_t>(MSG_MAX));
  const V8 vmin = hn::Set(d8, static_cast<std::int8_t>(-MSG_MAX));

  // A row's inputs t = a - c (saturated at MSG_MAX, or whole in tmp16 with 16-bit
  // a-posteriori values) into tmp; returns the parity of the syndrome bit and their signs, and
  // their two smallest magnitudes. 16-bit values never reach POST_MAX (a column's weight is at
  // most MAX_COLUMN_WEIGHT), so their sums and differences need no clamp.
  auto row_inputs = [&](int r, const hn::Mask<D8>& first, V8& min1, V8& min2) LDPCSW_INLINE_LAMBDA {
    V8 parity = hn::Load(d8, synd + r * L);
    min1 = vmax;
    min2 = vmax;
    for (int e = ir[r], k = 0; e < ir[r + 1]; ++e, ++k) {
      V8 t;
      if (wide) {
#if HWY_TARGET == HWY_SCALAR
        const auto a = hn::LoadU(d16, post16 + jc[e] * L);
        const auto c = hn::IfThenZeroElse(first, hn::LoadU(dh, msg + e * L));
        const auto whole = hn::Sub(a, hn::PromoteTo(d16, c));
        hn::StoreU(whole, d16, tmp16 + k * L);
        t = hn::DemoteTo(dh, whole);
#else
        const V8 c = hn::IfThenZeroElse(first, hn::Load(d8, msg + e * L));
        const std::int16_t* const a = post16 + jc[e] * L;
        const auto lo = hn::Sub(hn::LoadU(d16, a), hn::PromoteTo(d16, hn::LowerHalf(c)));
        const auto hi = hn::Sub(hn::LoadU(d16, a + H), hn::PromoteTo(d16, hn::UpperHalf(dh, c)));
        hn::StoreU(lo, d16, tmp16 + k * L);
        hn::StoreU(hi, d16, tmp16 + k * L + H);
        t = hn::Combine(d8, hn::DemoteTo(dh, hi), hn::DemoteTo(dh, lo));
#endif
        t = hn::Max(t, vmin);
      } else {
        const V8 c = hn::IfThenZeroElse(first, hn::Load(d8, msg + e * L));
        t = hn::Max(hn::SaturatedSub(hn::Load(d8, post + jc[e] * L), c), vmin);
      }
      hn::Store(t, d8, tmp + k * L);
      parity = hn::Xor(parity, t);
      const V8 mag = hn::Abs(t);
      min2 = hn::Min(min2, hn::Max(min1, mag));
      min1 = hn::Min(min1, mag);
    }
    return parity;
  };

  // Edge k of row r (edge e) sends c: a = t + c.
  auto row_output = [&](int e, int k, V8 t, V8 c) LDPCSW_INLINE_LAMBDA {
    hn::Store(c, d8, msg + e * L);
    if (wide) {
      std::int16_t* const a = post16 + jc[e] * L;
      std::int8_t* const sign = post + jc[e] * L;
#if HWY_TARGET == HWY_SCALAR
      const auto whole = hn::Add(hn::LoadU(d16, tmp16 + k * L), hn::PromoteTo(d16, hn::LoadU(dh, msg + e * L)));
      hn::StoreU(whole, d16, a);
      hn::StoreU(hn::DemoteTo(dh, whole), dh, sign);
#else
      const auto lo = hn::Add(hn::LoadU(d16, tmp16 + k * L), hn::PromoteTo(d16, hn::LowerHalf(c)));
      const auto hi = hn::Add(hn::LoadU(d16, tmp16 + k * L + H), hn::PromoteTo(d16, hn::UpperHalf(dh, c)));
      hn::StoreU(lo, d16, a);
      hn::StoreU(hi, d16, a + H);
      hn::Store(hn::Combine(d8, hn::DemoteTo(dh, hi), hn::DemoteTo(dh, lo)), d8, sign);
#endif
    } else {
      hn::Store(hn::Max(hn::SaturatedAdd(t, c), vmin), d8, post + jc[e] * L);
    }
  };

  // One layered iteration: rows in order; t = a - c (c read as 0 in the lanes whose blocks
  // have just entered), the row's new messages c, a = t + c.
  auto layered_iteration = [&]() LDPCSW_INLINE_LAMBDA {
    const auto first = hn::Lt(hn::Load(d8, fresh), hn::Zero(d8));
    hn::Store(hn::Zero(d8), d8, fresh);
    for (int r = 0; r < m; ++r) {
      V8 min1, min2;
      const V8 parity = row_inputs(r, first, min1, min2);
      const int first = ir[r], weight = ir[r + 1] - ir[r];
      if (!spa) {
        const V8 cmin1 = correct[r](min1), cmin2 = correct[r](min2);
        for (int k = 0; k < weight; ++k) {
          const V8 t = hn::Load(d8, tmp + k * L);
          row_output(first + k, k, t, CheckOut(t, parity, min1, cmin1, cmin2));
        }
        continue;
      }
      // Sum-product: the other inputs' magnitudes combined from the right (partial, stored)
      // and from the left (running), as the reference combines them; edges are then written
      // in row order, as everywhere.
      if (weight == 1) {
        const V8 t = hn::Load(d8, tmp);
        row_output(first, 0, t, WithSign(t, parity, vmax));
        continue;
      }
      V8 right = hn::Abs(hn::Load(d8, tmp + (weight - 1) * L));
      hn::Store(right, d8, partial + (weight - 1) * L);
      for (int k = weight - 2; k >= 1; --k) {
        right = SpaCombine(right, hn::Abs(hn::Load(d8, tmp + k * L)));
        hn::Store(right, d8, partial + k * L);
      }
      V8 left = vmax;
      for (int k = 0; k < weight; ++k) {
        const V8 t = hn::Load(d8, tmp + k * L);
        V8 mag;
        if (k == 0) mag = hn::Load(d8, partial + L);
        else if (k == weight - 1) mag = left;
        else mag = SpaCombine(left, hn::Load(d8, partial + (k + 1) * L));
        left = k == 0 ? hn::Abs(t) : SpaCombine(left, hn::Abs(t));
        row_output(first + k, k, t, WithSign(t, parity, mag));
      }
    }
  };

  // One flooding iteration: every check, then every bit in 16-bit lanes (half a vector at a
  // time): a-posteriori sum, decision, and the outgoing messages sum - own, saturated.
  auto flooding_iteration = [&]() LDPCSW_INLINE_LAMBDA {
    for (int r = 0; r < m; ++r) {
      V8 parity = hn::Load(d8, synd + r * L);
      V8 min1 = vmax, min2 = vmax;
      for (int e = ir[r]; e < ir[r + 1]; ++e) {
        const V8 v = hn::Load(d8, msg + e * L);
        parity = hn::Xor(parity, v);
        const V8 mag = hn::Abs(v);
        min2 = hn::Min(min2, hn::Max(min1, mag));
        min1 = hn::Min(min1, mag);
      }
      const V8 cmin1 = correct[r](min1), cmin2 = correct[r](min2);
      for (int e = ir[r]; e < ir[r + 1]; ++e) {
        const V8 v = hn::Load(d8, msg + e * L);
        hn::Store(CheckOut(v, parity, min1, cmin1, cmin2), d8, msg + e * L);
      }
    }
    const auto low = hn::Set(d16, static_cast<std::int16_t>(-MSG_MAX));
    for (int j = 0; j < n; ++j) {
      const int first = code.col_ptr[j], last = code.col_ptr[j + 1];
      for (std::size_t h = 0; h < L; h += H) {
        auto sum = hn::PromoteTo(d16, hn::LoadU(dh, chan + j * L + h));
        for (int k = first; k < last; ++k)
          sum = hn::Add(sum, hn::PromoteTo(d16, hn::LoadU(dh, msg + code.col_edge[k] * L + h)));
        hn::StoreU(hn::DemoteTo(dh, sum), dh, post + j * L + h);
        for (int k = first; k < last; ++k) {
          std::int8_t* const slot = msg + code.col_edge[k] * L + h;
          const auto out = hn::Max(hn::Sub(sum, hn::PromoteTo(d16, hn::LoadU(dh, slot))), low);
          hn::StoreU(hn::DemoteTo(dh, out), dh, slot);
        }
      }
    }
  };

  // Stop flags: a lane's flag is negative when some check of its decisions fails.
  auto test_syndrome = [&]() LDPCSW_INLINE_LAMBDA {
    V8 unsatisfied = hn::Zero(d8);
    for (int r = 0; r < m; ++r) {
      V8 parity = hn::Load(d8, synd + r * L);
      for (int e = ir[r]; e < ir[r + 1]; ++e) parity = hn::Xor(parity, hn::Load(d8, post + jc[e] * L));
      unsatisfied = hn::Or(unsatisfied, parity);
    }
    hn::Store(unsatisfied, d8, flags);
    clock.lap(&MinsumSplit::stop_test);
  };

  for (std::size_t lane = 0; lane < L; ++lane) fill(lane);
  enter_blocks();
  bool refilled = false;
  while (std::find(active.begin(), active.end(), 1) != active.end()) {
    if (layered) layered_iteration();
    else flooding_iteration();
    clock.lap(&MinsumSplit::decode);
    test_syndrome();
    bool ending = false;
    for (std::size_t lane = 0; lane < L; ++lane) {
      if (!active[lane]) continue;
      iterations[lane] += 1;
      ended[lane] = flags[lane] >= 0 || iterations[lane] >= params.max_iterations;
      ending = ending || ended[lane];
    }
    // Bit errors of the sweep's blocks: decisions (negative a-posteriori values) against the
    // source bits, for every lane at once.
    if (sourced && ending) CountSignDifferences(post, x_lanes, N, L, errors.get());
    for (std::size_t lane = 0; lane < L; ++lane) {
      if (!active[lane] || !ended[lane]) continue;
      const bool success = flags[lane] >= 0;
      if (sourced) {
        const int errors_here = errors[lane];
        if (drawn != nullptr) (*drawn->outcome)(lane_block[lane], errors_here, success, iterations[lane]);
        else (*outcome)(static_cast<int>(lane), errors_here, success, iterations[lane]);
      } else {
        // Plain locals, so that the byte stores (which may alias anything) leave them in
        // registers.
        std::int8_t* const decisions = x.data();
        const std::int8_t* const from = post + lane;
        const std::size_t stride = L, bits = N;
        for (std::size_t j = 0; j < bits; ++j)
          decisions[j] = static_cast<std::int8_t>(from[j * stride] < 0 ? 1 : 0);
        (*store)(static_cast<int>(lane), x.data(), success, iterations[lane]);
      }
      clock.lap(&MinsumSplit::count);
      fill(lane);
      refilled = true;
    }
    if (refilled) enter_blocks();
    refilled = false;
  }
  clock.finish();
}

void DrawLanes(const streams::PhiloxKey& key, const std::uint64_t* blocks, int count,
               std::uint64_t threshold, int n, std::int8_t* x_rows, std::int8_t* y_rows) {
  streams::HWY_NAMESPACE::DrawBlockLanes(key[0], key[1], blocks, count, threshold, n, x_rows, y_rows);
}

void DrawBlocks(int n, int m, const int* ir, const int* jc, const streams::PhiloxKey& key,
                std::uint64_t threshold, std::uint64_t first, std::size_t count, std::uint8_t* x,
                std::uint8_t* y, std::uint8_t* s) {
  const D8 d8;
  const std::size_t L = hn::Lanes(d8), N = static_cast<std::size_t>(n), M = static_cast<std::size_t>(m);
  auto rows = hwy::AllocateAligned<std::int8_t>((2 * N + M) * L);
  std::int8_t* const xr = rows.get();
  std::int8_t* const yr = xr + N * L;
  std::int8_t* const sr = yr + N * L;
  std::vector<std::uint64_t> names(L);
  for (std::size_t done = 0; done < count; done += L) {
    const std::size_t blocks = std::min(L, count - done);
    for (std::size_t i = 0; i < blocks; ++i) names[i] = first + done + i;
    streams::HWY_NAMESPACE::DrawBlockLanes(key[0], key[1], names.data(), static_cast<int>(blocks),
                                           threshold, n, xr, yr);
    for (int r = 0; r < m; ++r) {
      V8 parity = hn::Zero(d8);
      for (int e = ir[r]; e < ir[r + 1]; ++e)
        parity = hn::Xor(parity, hn::Load(d8, xr + static_cast<std::size_t>(jc[e]) * L));
      hn::Store(parity, d8, sr + static_cast<std::size_t>(r) * L);
    }
    // Out of the lanes, one block after another; the rows hold 0 or -1.
    for (std::size_t i = 0; i < blocks; ++i) {
      std::uint8_t* const bx = x + (done + i) * N;
      std::uint8_t* const by = y + (done + i) * N;
      std::uint8_t* const bs = s + (done + i) * M;
      for (std::size_t j = 0; j < N; ++j) {
        bx[j] = static_cast<std::uint8_t>(xr[j * L + i] & 1);
        by[j] = static_cast<std::uint8_t>(yr[j * L + i] & 1);
      }
      for (std::size_t r = 0; r < M; ++r) bs[r] = static_cast<std::uint8_t>(sr[r * L + i] & 1);
    }
  }
}

// NOLINTNEXTLINE(google-readability-namespace-comments)
}  // namespace ldpcsw::minsum::HWY_NAMESPACE
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace ldpcsw::minsum {

HWY_EXPORT(Lanes8);
HWY_EXPORT(DecodeLanes);
HWY_EXPORT(DrawLanes);
HWY_EXPORT(DrawBlocks);

namespace {
std::int64_t g_forced = 0;  // 0: the widest available target
}

int minsum_lanes() { return HWY_DYNAMIC_DISPATCH(Lanes8)(); }

void minsum_decode_stream(const MinsumCode& code, const MinsumParams& params, Schedule schedule,
                          MinsumWorkspace& workspace, const MinsumLoad& load,
                          const MinsumStore& store) {
  assert(minsum_params_error(params).empty());
  assert(params.check == CheckRule::min_sum || schedule == Schedule::layered);
  HWY_DYNAMIC_DISPATCH(DecodeLanes)(code, params, schedule, workspace, &load, &store, nullptr,
                                    nullptr, nullptr, nullptr);
}

void minsum_decode_sources(const MinsumCode& code, const MinsumParams& params, Schedule schedule,
                           MinsumWorkspace& workspace, const MinsumSourceLoad& load,
                           const MinsumOutcome& outcome, MinsumSplit* split) {
  assert(minsum_params_error(params).empty());
  assert(params.check == CheckRule::min_sum || schedule == Schedule::layered);
  HWY_DYNAMIC_DISPATCH(DecodeLanes)(code, params, schedule, workspace, nullptr, nullptr, &load,
                                    &outcome, nullptr, split);
}

void minsum_decode_drawn(const MinsumCode& code, const MinsumParams& params, Schedule schedule,
                         MinsumWorkspace& workspace, const streams::PhiloxKey& key,
                         std::uint64_t threshold, const MinsumBlockSource& source,
                         const MinsumBlockOutcome& outcome, MinsumSplit* split) {
  assert(minsum_params_error(params).empty());
  assert(params.check == CheckRule::min_sum || schedule == Schedule::layered);
  const DrawnBlocks drawn{&key, threshold, &source, &outcome};
  HWY_DYNAMIC_DISPATCH(DecodeLanes)(code, params, schedule, workspace, nullptr, nullptr, nullptr,
                                    nullptr, &drawn, split);
}

void minsum_draw_block_lanes(const streams::PhiloxKey& key, const std::uint64_t* blocks, int count,
                             std::uint64_t threshold, int n, std::int8_t* x_rows,
                             std::int8_t* y_rows) {
  assert(count >= 0 && count <= minsum_lanes());
  HWY_DYNAMIC_DISPATCH(DrawLanes)(key, blocks, count, threshold, n, x_rows, y_rows);
}

void minsum_draw_blocks(int n, int m, const int* ir, const int* jc, const streams::PhiloxKey& key,
                        std::uint64_t threshold, std::uint64_t first, std::size_t count,
                        std::uint8_t* x, std::uint8_t* y, std::uint8_t* s) {
  HWY_DYNAMIC_DISPATCH(DrawBlocks)(n, m, ir, jc, key, threshold, first, count, x, y, s);
}

std::vector<std::int64_t> minsum_available_targets() {
  hwy::SetSupportedTargetsForTest(0);
  std::vector<std::int64_t> targets = hwy::SupportedAndGeneratedTargets();
  hwy::SetSupportedTargetsForTest(g_forced);
  return targets;
}

std::string minsum_target_name(std::int64_t target) {
  std::string name = hwy::TargetName(target);
  for (char& c : name) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  return name;
}

std::int64_t minsum_current_target() {
  const std::vector<std::int64_t> available = minsum_available_targets();
  if (g_forced != 0) return g_forced;
  return available.empty() ? 0 : available.front();
}

void minsum_force_target(std::int64_t target) {
  g_forced = target;
  hwy::SetSupportedTargetsForTest(target);
}

bool minsum_force_target_by_name(const std::string& name, std::string& error) {
  if (name.empty() || name == "best") {
    minsum_force_target(0);
    return true;
  }
  // Highway's names (lower case) and the names users know the instruction sets by: AVX-512
  // is Highway's avx3 family, SSE4.2 its sse4. Letters may come in either case.
  static const std::pair<const char*, const char*> ALIASES[] = {
      {"avx512", "avx3"},          {"avx-512", "avx3"},       {"avx512f", "avx3"},
      {"avx512-skx", "avx3"},      {"avx512_skx", "avx3"},    {"avx512skx", "avx3"},
      {"avx512-dl", "avx3_dl"},    {"avx512_dl", "avx3_dl"},  {"avx512-icl", "avx3_dl"},
      {"avx512-zen4", "avx3_zen4"}, {"avx512_zen4", "avx3_zen4"},
      {"avx512-spr", "avx3_spr"},  {"avx512_spr", "avx3_spr"},
      {"avx-2", "avx2"},           {"sse4.2", "sse4"},        {"sse42", "sse4"},
      {"sse4.1", "sse4"},          {"sse-4", "sse4"}};
  std::string wanted = name;
  for (char& c : wanted) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
  for (const auto& [alias, target] : ALIASES)
    if (wanted == alias) wanted = target;
  std::string names;
  for (std::int64_t t : minsum_available_targets()) {
    const std::string target = minsum_target_name(t);
    if (target == wanted) {
      minsum_force_target(t);
      return true;
    }
    names += (names.empty() ? "" : ", ") + target;
    if (target == "avx3") names += " (avx512)";
    if (target == "sse4") names += " (sse4.2)";
  }
  error = "SIMD target '" + name + "' is not available here (available: best, " + names + ")";
  return false;
}

}  // namespace ldpcsw::minsum
#endif  // HWY_ONCE
