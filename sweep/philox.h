// Philox4x32-10 for the sweep, in the array form its callers use; the generator itself lives
// in streams/block_streams.h, shared with the device kernels.
#pragma once

#include <array>
#include <cstdint>

#include "streams/block_streams.h"

namespace ldpcsw::sweep {

using PhiloxCounter = std::array<std::uint32_t, 4>;
using PhiloxKey = std::array<std::uint32_t, 2>;

// The ten-round Philox4x32 bijection of `counter` under `key`.
inline PhiloxCounter philox4x32_10(PhiloxCounter counter, PhiloxKey key) {
  streams::philox4x32_10(counter.data(), key[0], key[1]);
  return counter;
}

}  // namespace ldpcsw::sweep
