// The two scratch arrays a caller lends to the decoders, and where each region starts.
//   byte scratch (E + m):   edge_sign [0, E)      chk_parity [E, E+m)
//   number scratch (E + 2n): llr_ch [0, n)  edge_msg [n, n+E)  chk_sum / llr_post [n+E, n+E+n)
// chk_sum (m values, check pass) and llr_post (n values, bit pass) share one region, so the
// decoders need m <= n.
#pragma once

#include <cstddef>

namespace ldpcsw {

inline std::size_t byte_scratch_size(int edges, int m) {
  return static_cast<std::size_t>(edges) + static_cast<std::size_t>(m);
}

inline std::size_t number_scratch_size(int edges, int n) {
  return static_cast<std::size_t>(edges) + 2 * static_cast<std::size_t>(n);
}

}  // namespace ldpcsw
