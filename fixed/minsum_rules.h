// fixed/: the integer arithmetic of the min-sum decoders, in one header with no dependencies,
// so that the CPU decoders (minsum/) and device kernels include the same definition.
//
// The fast decoders here work on saturating 8-bit messages: every message and channel value
// lies in [-MSG_MAX, MSG_MAX] (the range is symmetric, so negation and magnitude never
// overflow). Flooding bit sums are formed in 16 bits; a column of weight up to
// MAX_COLUMN_WEIGHT keeps them exact (no 16-bit sum or difference ever saturates), so the order
// of the additions never matters. The layered a-posteriori values are 16-bit (POST_MAX) by
// default, and so exact for the same reason: a bit's value stays its channel value plus its
// incoming check messages, however many checks agree. The former 8-bit layered rule, whose
// a-posteriori values saturate at MSG_MAX and then lose the channel value, stays selectable
// (posterior_bits = 8) so that results made with it can be reproduced.
//
// Two check rules: min-sum (the smallest other magnitude, corrected by an offset or a
// normalisation, either given or chosen from the row's weight) and a fixed-point sum-product
// (box-plus of the other inputs in units of 1/SPA_UNITS nat, its correction term by a table).
// Every rule below is integer arithmetic: each result is the same on every machine, scalar or
// vector, CPU or device.
//
// Error policy: minsum_params_error() names the first parameter outside its range; the
// decoders assume valid parameters (a broken invariant is a bug).
#pragma once

#include <cmath>
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
// Largest magnitude of a 16-bit layered a-posteriori value. Never reached: a value is at most
// MSG_MAX * (MAX_COLUMN_WEIGHT + 1) = 32512 in magnitude.
inline constexpr int POST_MAX = 32767;
// The sum-product rule's resolution: messages count units of 1/SPA_UNITS nat (natural-log
// likelihood ratio), so they reach MSG_MAX / SPA_UNITS = 15.9 nats.
inline constexpr int SPA_UNITS = 8;

enum class Schedule : std::uint8_t { flooding, layered };
// offset and normalise apply one correction to every check; by_weight chooses each check's
// from its weight (row_correction below).
enum class Correction : std::uint8_t { offset, normalise, by_weight };
enum class CheckRule : std::uint8_t { min_sum, sum_product };

// The defaults are the layered schedule's; default_params() gives each schedule's own.
struct MinsumParams {
  int q = 16;                 // channel magnitude: +q for y = 0, -q for y = 1 (1..MSG_MAX)
  Correction correction = Correction::normalise;
  int beta = 1;               // offset: subtracted from each check magnitude, floor 0 (0..MSG_MAX)
  int norm_num = 7;           // normalisation: magnitude * norm_num >> norm_shift
  int norm_shift = 3;         //   (1 <= norm_num <= 2^norm_shift, 0 <= norm_shift <= 7)
  int max_iterations = 50;    // iteration limit (1..MAX_ITERATION_LIMIT)
  int posterior_bits = 16;    // layered a-posteriori values: 16 (exact) or 8 (the former rule)
  CheckRule check = CheckRule::min_sum;  // sum_product: layered schedule only
  bool operator==(const MinsumParams&) const = default;
};

// The defaults: Q = 16, each check's correction chosen from its weight, 16-bit layered
// a-posteriori values. Q = 16 puts the channel LLR ln((1-p)/p) near 2.7 per 16 units, so
// messages saturate near 22 in LLR units.
inline MinsumParams default_params(Schedule) {
  MinsumParams p;
  p.correction = Correction::by_weight;
  return p;
}

// The parameters of the decoders before checks chose their corrections by weight and before
// the layered a-posteriori values were widened: Q = 16 with 7/8 (layered, 8-bit a-posteriori
// values) and 13/16 (flooding), chosen on the shipped (504, 252) matrix by the lowest frame
// error rate at crossover 0.06 and 0.07 over a grid of Q (2..96), offsets (0..6) and
// normalisations (1/2..15/16). Results made with them are reproduced by these parameters.
inline MinsumParams former_params(Schedule schedule) {
  MinsumParams p;
  p.posterior_bits = 8;
  if (schedule == Schedule::flooding) {
    p.norm_num = 13;
    p.norm_shift = 4;
  }
  return p;
}

// The channel magnitude of the sum-product rule at crossover p (0 < p < 1/2): ln((1-p)/p) in
// units of 1/SPA_UNITS nat, rounded, within 1..MSG_MAX. Computed once per point on the host.
inline int spa_channel_q(double p) {
  const double units = std::log((1.0 - p) / p) * SPA_UNITS;
  if (!(units < MSG_MAX)) return MSG_MAX;
  const int q = static_cast<int>(std::lround(units));
  return q < 1 ? 1 : q;
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
  if (p.posterior_bits != 8 && p.posterior_bits != 16)
    return "the a-posteriori width " + std::to_string(p.posterior_bits) + " is neither 8 nor 16";
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

// The correction one check applies to its smallest magnitudes: max(0, mag - beta) or
// mag * num >> shift.
struct RowCorrection {
  bool offset = false;
  int beta = 0;
  int num = 1;
  int shift = 0;
};

// The correction of a check of weight `weight` (its number of ones). Given parameters apply
// to every check; by_weight chooses from the weight and Q:
//   weight <= 7: normalisation by 7/8 (flooding: 13/16);
//   weight 8:    an offset of Q/4; weight 9: 6/16 of Q; weight 10: 7/16 of Q, growing by
//                1/16 of Q for every two ones more, at most Q/2.
// The smallest of a longer row's inputs overstates the true check message by more, and a
// fixed factor corrects small magnitudes too little. Chosen by the frame errors of the
// layered decoder on regular codes of row weight 4..8 and three irregular codes (rows 7,
// 8..9 and 9..10; the table is in the documentation of the decoders): no single factor or
// offset serves both short and long rows (7/8 fails every block of the designed n = 10,000
// code where an offset of 7/16 of Q fails 14 in 3000; an offset of 7/16 of Q fails 2186 of
// 3000 on a code of rows 8..9 where Q/4 fails 14).
// An offset that divides Q would make many sums tie at exactly zero (Q = 9 with offset 3
// collapses the decoder), so the chosen offset is moved down to the next value that does not:
// with the default Q = 16, rows of weight 8, 9, 10..13 and 14 on get offsets 3, 6, 7 and 7.
constexpr RowCorrection row_correction(const MinsumParams& p, Schedule schedule, int weight) {
  RowCorrection c;
  if (p.correction == Correction::offset) {
    c.offset = true;
    c.beta = p.beta;
  } else if (p.correction == Correction::normalise) {
    c.num = p.norm_num;
    c.shift = p.norm_shift;
  } else if (weight <= 7) {
    c.num = schedule == Schedule::flooding ? 13 : 7;
    c.shift = schedule == Schedule::flooding ? 4 : 3;
  } else {
    c.offset = true;
    const int longer = 7 + (weight - 10) / 2;
    const int sixteenths = weight == 8 ? 4 : weight == 9 ? 6 : (longer < 8 ? longer : 8);
    int beta = (p.q * sixteenths + 8) / 16;
    if (beta < 1) beta = 1;
    while (beta > 1 && p.q % beta == 0) --beta;
    c.beta = beta;
  }
  return c;
}

// The corrected magnitude a check sends for a smallest other incoming magnitude `mag`
// (0..MSG_MAX). Monotone in `mag`, so correcting the two smallest magnitudes of a row once
// gives every edge's corrected value.
constexpr int correct_magnitude(int mag, const RowCorrection& c) {
  if (c.offset) return mag > c.beta ? mag - c.beta : 0;
  return (mag * c.num) >> c.shift;
}

// v clamped to [-POST_MAX, POST_MAX].
constexpr int saturate_post(int v) {
  return v < -POST_MAX ? -POST_MAX : (v > POST_MAX ? POST_MAX : v);
}

// The sum-product correction term ln(1 + e^(-x)) for x in units of 1/SPA_UNITS nat, in the
// same units, rounded: a non-increasing step function of x >= 0, stored as the x at which it
// drops below 6, 5, ..., 1 (tests check it against the formula).
inline constexpr int SPA_STEPS = 6;
constexpr int spa_step_at(int i) {
  return i == 0 ? 1 : i == 1 ? 3 : i == 2 ? 5 : i == 3 ? 9 : i == 4 ? 13 : 22;
}
constexpr int spa_correction(int x) {
  int f = 0;
  for (int i = 0; i < SPA_STEPS; ++i) f += x < spa_step_at(i) ? 1 : 0;
  return f;
}

// Magnitude of the box-plus of two messages of magnitudes a and b (0..MSG_MAX):
// min(a, b) + ln(1 + e^-(a+b)) - ln(1 + e^-|a-b|), never below 0. Symmetric in a and b.
constexpr int spa_combine(int a, int b) {
  const int lo = a < b ? a : b;
  const int sum = a + b > MSG_MAX ? MSG_MAX : a + b;
  const int diff = a < b ? b - a : a - b;
  const int r = lo + spa_correction(sum) - spa_correction(diff);
  return r < 0 ? 0 : r;
}

// A check's outgoing message: magnitude `mag` (already corrected) with sign bit `sign`.
constexpr int check_message(int sign, int mag) { return sign != 0 ? -mag : mag; }

}  // namespace ldpcsw::minsum
