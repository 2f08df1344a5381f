// The min-sum code preparation and the scalar reference decoder: one block, plain loops, each
// rule of fixed/minsum_rules.h applied edge by edge as the schedules define it.
#include <algorithm>
#include <cassert>
#include <vector>

#include "minsum/minsum.h"

namespace ldpcsw::minsum {

bool make_minsum_code(int n, int m, const int* ir, const int* jc, MinsumCode& code,
                      std::string& error) {
  code = MinsumCode{};
  code.n = n;
  code.m = m;
  code.ir.assign(ir, ir + m + 1);
  const int edges = ir[m];
  code.jc.assign(jc, jc + edges);
  code.col_ptr.assign(static_cast<std::size_t>(n) + 1, 0);
  for (int e = 0; e < edges; ++e) code.col_ptr[static_cast<std::size_t>(jc[e]) + 1] += 1;
  for (int j = 0; j < n; ++j) {
    if (code.col_ptr[j + 1] > MAX_COLUMN_WEIGHT) {
      error = "column " + std::to_string(j + 1) + " has weight " +
              std::to_string(code.col_ptr[j + 1]) + ", beyond the " +
              std::to_string(MAX_COLUMN_WEIGHT) + " the min-sum decoders serve";
      code = MinsumCode{};
      return false;
    }
    code.col_ptr[j + 1] += code.col_ptr[j];
  }
  code.col_edge.assign(static_cast<std::size_t>(edges), 0);
  std::vector<int> fill(code.col_ptr.begin(), code.col_ptr.end() - 1);
  for (int r = 0; r < m; ++r) {
    code.max_row_weight = std::max(code.max_row_weight, ir[r + 1] - ir[r]);
    for (int e = ir[r]; e < ir[r + 1]; ++e) code.col_edge[fill[jc[e]]++] = e;
  }
  return true;
}

namespace {

// The message a check sends back on edge `skip` of a row whose inputs are `in` (in row order):
// the parity of the syndrome bit and the other inputs' signs, with the other inputs'
// magnitude under the check rule. Min-sum: the smallest, corrected. Sum-product: the box-plus
// of the others, combined from the left up to `skip` and from the right down to it, then the
// two partial results. A row with no other input sends the largest magnitude.
int check_rule(const std::vector<int>& in, std::size_t skip, int syndrome,
               const MinsumParams& params, const RowCorrection& correction) {
  int sign = syndrome;
  for (std::size_t k = 0; k < in.size(); ++k)
    if (k != skip) sign ^= sign_bit(in[k]);
  if (in.size() == 1) return check_message(sign, MSG_MAX);
  if (params.check == CheckRule::sum_product) {
    int left = -1, right = -1;  // -1: nothing combined yet
    for (std::size_t k = 0; k < skip; ++k) {
      const int a = in[k] < 0 ? -in[k] : in[k];
      left = left < 0 ? a : spa_combine(left, a);
    }
    for (std::size_t k = in.size(); k-- > skip + 1;) {
      const int a = in[k] < 0 ? -in[k] : in[k];
      right = right < 0 ? a : spa_combine(right, a);
    }
    const int mag = left < 0 ? right : right < 0 ? left : spa_combine(left, right);
    return check_message(sign, mag);
  }
  int smallest = MSG_MAX;
  for (std::size_t k = 0; k < in.size(); ++k)
    if (k != skip) smallest = std::min(smallest, in[k] < 0 ? -in[k] : in[k]);
  return check_message(sign, correct_magnitude(smallest, correction));
}

bool syndrome_satisfied(const MinsumCode& code, const std::int8_t* s, const std::int8_t* x_hat) {
  for (int r = 0; r < code.m; ++r) {
    int parity = s[r];
    for (int e = code.ir[r]; e < code.ir[r + 1]; ++e) parity ^= x_hat[code.jc[e]];
    if (parity != 0) return false;
  }
  return true;
}

}  // namespace

bool minsum_decode_reference(const MinsumCode& code, const MinsumParams& params,
                             Schedule schedule, const std::int8_t* y, const std::int8_t* s,
                             std::int8_t* x_hat, int* iterations) {
  assert(minsum_params_error(params).empty());
  assert(params.check == CheckRule::min_sum || schedule == Schedule::layered);
  const int n = code.n, m = code.m, edges = code.edges();
  std::vector<int> channel(static_cast<std::size_t>(n));
  for (int j = 0; j < n; ++j) channel[j] = channel_value(y[j], params.q);

  std::vector<int> in;  // a row's inputs, in row order
  bool success = false;
  int k = 0;
  if (schedule == Schedule::flooding) {
    // msg[e]: bit-to-check before the check pass, check-to-bit after it.
    std::vector<int> msg(static_cast<std::size_t>(edges));
    for (int e = 0; e < edges; ++e) msg[e] = channel[code.jc[e]];
    while (k < params.max_iterations && !success) {
      for (int r = 0; r < m; ++r) {
        in.assign(msg.begin() + code.ir[r], msg.begin() + code.ir[r + 1]);
        const RowCorrection corr = row_correction(params, schedule, static_cast<int>(in.size()));
        for (std::size_t i = 0; i < in.size(); ++i)
          msg[code.ir[r] + static_cast<int>(i)] = check_rule(in, i, s[r], params, corr);
      }
      for (int j = 0; j < n; ++j) {
        int post = channel[j];
        for (int k2 = code.col_ptr[j]; k2 < code.col_ptr[j + 1]; ++k2) post += msg[code.col_edge[k2]];
        x_hat[j] = static_cast<std::int8_t>(decide(post));
        for (int k2 = code.col_ptr[j]; k2 < code.col_ptr[j + 1]; ++k2) {
          int& v = msg[code.col_edge[k2]];
          v = saturate_msg(post - v);
        }
      }
      ++k;
      success = syndrome_satisfied(code, s, x_hat);
    }
  } else {
    // Each bit's a-posteriori value a first loses the row's old message, t = a - c; the row
    // works on the inputs sat(t) and a becomes t + c. With 16-bit a-posteriori values t and a
    // are kept whole (they never reach POST_MAX); with 8-bit ones both saturate at MSG_MAX.
    const bool wide = params.posterior_bits == 16;
    std::vector<int> check(static_cast<std::size_t>(edges), 0);  // check-to-bit, per edge
    std::vector<int> post(channel);                               // a-posteriori values
    std::vector<int> whole;                                       // a row's t values
    while (k < params.max_iterations && !success) {
      for (int r = 0; r < m; ++r) {
        in.clear();
        whole.clear();
        for (int e = code.ir[r]; e < code.ir[r + 1]; ++e) {
          const int t = wide ? saturate_post(post[code.jc[e]] - check[e])
                             : saturate_msg(post[code.jc[e]] - check[e]);
          whole.push_back(t);
          in.push_back(saturate_msg(t));
        }
        const RowCorrection corr = row_correction(params, schedule, static_cast<int>(in.size()));
        for (std::size_t i = 0; i < in.size(); ++i) {
          const int e = code.ir[r] + static_cast<int>(i);
          check[e] = check_rule(in, i, s[r], params, corr);
          post[code.jc[e]] = wide ? saturate_post(whole[i] + check[e])
                                  : saturate_msg(whole[i] + check[e]);
        }
      }
      for (int j = 0; j < n; ++j) x_hat[j] = static_cast<std::int8_t>(decide(post[j]));
      ++k;
      success = syndrome_satisfied(code, s, x_hat);
    }
  }
  if (iterations != nullptr) *iterations = k;
  return success;
}

}  // namespace ldpcsw::minsum
