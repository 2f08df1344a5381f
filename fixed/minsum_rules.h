// fixed/: the integer arithmetic of the min-sum decoders, in one header with no dependencies,
// so that the CPU decoders (minsum/) and device kernels include the same definition.
//
// A min-sum decoder here works on saturating 8-bit messages: every message, channel value and
// layered a-posteriori value lies in [-MSG_MAX, MSG_MAX] (the range is symmetric, so negation
// and magnitude never overflow). Flooding bit sums are formed in 16 bits; a column of weight up
// to MAX_COLUMN_WEIGHT keeps them exact (no 16-bit sum or difference ever saturates), so the
// order of the additions never matters. Every rule below is integer arithmetic: each result is
// the same on every machine, scalar or vector.
//
// Error policy: minsum_params_error() names the first parameter outside its range; the
// decoders assume valid parameters (a broken invariant is a bug).
#pragma once

#include <cstdint>
#include <string>

namespace ldpcsw::minsum {

// Largest message magnitude; messages saturate at +-MSG_MAX.
inline constexpr int MSG_MAX = 127;
// Largest column weight the flooding schedule serves with exact 16-bit bit sums:
// MSG_MAX * (MAX_COLUMN_WEIGHT + 2) stays below 32767.
inline constexpr int MAX_COLUMN_WEIGHT = 255;
// Largest normalisation shift: a factor num / 2^shift with num <= 2^shift keeps
// MSG_MAX * num within 16 bits.
inline constexpr int MAX_NORM_SHIFT = 7;
inline constexpr int MAX_ITERATION_LIMIT = 100000;

enum class Schedule : std::uint8_t { flooding, layered };
enum class Correction : std::uint8_t { offset, normalise };

// The defaults are the layered schedule's; default_params() gives each schedule's own.
struct MinsumParams {
  int q = 16;                 // channel magnitude: +q for y = 0, -q for y = 1 (1..MSG_MAX)
  Correction correction = Correction::normalise;
  int beta = 1;               // offset: subtracted from each check magnitude, floor 0 (0..MSG_MAX)
  int norm_num = 7;           // normalisation: magnitude * norm_num >> norm_shift
  int norm_shift = 3;         //   (1 <= norm_num <= 2^norm_shift, 0 <= norm_shift <= 7)
  int max_iterations = 50;    // iteration limit (1..MAX_ITERATION_LIMIT)
  bool operator==(const MinsumParams&) const = default;
};

// Defaults chosen on the shipped (504, 252) matrix by the lowest frame error rate at crossover
// 0.06 and 0.07 over a grid of Q (2..96), offsets (0..6) and normalisations (1/2..15/16):
// Q = 16 with 7/8 (layered) and 13/16 (flooding); the channel LLR ln((1-p)/p) is then about
// 2.7 per 16 units and messages saturate near 22 in LLR units.
inline MinsumParams default_params(Schedule schedule) {
  MinsumParams p;
  if (schedule == Schedule::flooding) {
    p.norm_num = 13;
    p.norm_shift = 4;
  }
  return p;
}

// Empty when `p` is valid, otherwise one line naming the parameter and its value.
inline std::string minsum_params_error(const MinsumParams& p) {
  if (p.q < 1 || p.q > MSG_MAX) return "Q = " + std::to_string(p.q) + " is outside 1..127";
  if (p.correction == Correction::offset && (p.beta < 0 || p.beta > MSG_MAX))
    return "the offset " + std::to_string(p.beta) + " is outside 0..127";
  if (p.correction == Correction::normalise) {
    if (p.norm_shift < 0 || p.norm_shift > MAX_NORM_SHIFT)
      return "the normalisation denominator 2^" + std::to_string(p.norm_shift) +
             " is outside 1..128";
    if (p.norm_num < 1 || p.norm_num > (1 << p.norm_shift))
      return "the normalisation factor " + std::to_string(p.norm_num) + "/" +
             std::to_string(1 << p.norm_shift) + " is outside (0, 1]";
  }
  if (p.max_iterations < 1 || p.max_iterations > MAX_ITERATION_LIMIT)
    return "the iteration limit " + std::to_string(p.max_iterations) + " is outside 1..100000";
  return {};
}

// v clamped to [-MSG_MAX, MSG_MAX].
constexpr int saturate_msg(int v) { return v < -MSG_MAX ? -MSG_MAX : (v > MSG_MAX ? MSG_MAX : v); }

// The channel value of a bit whose side information is y (0 or 1).
constexpr int channel_value(int y, int q) { return y != 0 ? -q : q; }

// Sign of a message as a bit: 1 for negative; zero counts as positive.
constexpr int sign_bit(int v) { return v < 0 ? 1 : 0; }

// Decision of a bit from its a-posteriori value: 1 when negative.
constexpr int decide(int post) { return post < 0 ? 1 : 0; }

// The corrected magnitude a check sends for a smallest other incoming magnitude `mag`
// (0..MSG_MAX). Monotone in `mag`, so correcting the two smallest magnitudes of a row once
// gives every edge's corrected value.
constexpr int correct_magnitude(int mag, const MinsumParams& p) {
  if (p.correction == Correction::offset) return mag > p.beta ? mag - p.beta : 0;
  return (mag * p.norm_num) >> p.norm_shift;
}

// A check's outgoing message: magnitude `mag` (already corrected) with sign bit `sign`.
constexpr int check_message(int sign, int mag) { return sign != 0 ? -mag : mag; }

}  // namespace ldpcsw::minsum
