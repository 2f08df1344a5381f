// gpu_minsum: the min-sum decoders on the device. A GpuMinsum holds one matrix and the arrays
// of a batch of blocks on the device (uploaded and allocated once, by open); each decode call
// draws, decodes and counts up to capacity() consecutive blocks of a point there, and brings
// home only their outcomes (eight bytes a block) and the batch's counts. On the host backend
// the same kernel runs through the SIMT emulation.
//
// Identity: a block's decisions and iteration count are those of the CPU decoders
// (minsum/minsum.h) for the same block of the same point, whatever the batch, the slot or
// the backend.
//
// Error policy: every failure of the device runtime is returned as false with one line in
// `error` naming the call and the runtime's message; whatever was acquired is released on
// every path (a failed open leaves the object closed, a failed decode leaves it usable or
// closed as the runtime allows, and the destructor releases everything).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "minsum/minsum.h"

namespace ldpcsw {

// One block's outcome, in block order.
struct GpuBlockOutcome {
  std::int32_t bit_errors = 0;
  std::int32_t iterations = 0;
  bool success = false;  // the decisions satisfy the syndrome
};

// The counts of a decode call, summed on the device.
struct GpuMinsumTotals {
  std::uint64_t frame_errors = 0;
  std::uint64_t bit_errors = 0;
  std::uint64_t bit_errors_sq = 0;
  std::uint64_t iterations = 0;
  std::uint64_t undetected_errors = 0;  // blocks that satisfy the syndrome with bit errors
  bool operator==(const GpuMinsumTotals&) const = default;
};

// For tests and checks: every bit of the blocks of a decode call, block-major (block i's bit j
// at [i * n + j], check r at [i * m + r]).
struct GpuMinsumDump {
  std::vector<std::int8_t> x, y, s, x_hat;
};

// True when a device can run the kernels (always on the host backend); otherwise false with
// the reason in `why`.
bool gpu_minsum_available(std::string& why);

// The batch a sweep gives the device for `code`: on the cuda backend up to 65536 blocks, fewer
// where their arrays would pass 4 GiB; on the host backend 256 (the emulation gains nothing
// from more).
int gpu_minsum_batch_capacity(const minsum::MinsumCode& code);

class GpuMinsum {
 public:
  GpuMinsum();
  ~GpuMinsum();
  GpuMinsum(const GpuMinsum&) = delete;
  GpuMinsum& operator=(const GpuMinsum&) = delete;

  // Uploads `code` and allocates the arrays of `capacity` (>= 1) blocks on GPU
  // device % (GPUs present) (the host backend has one device).
  bool open(const minsum::MinsumCode& code, int capacity, std::string& error, int device = 0);
  bool is_open() const;
  int capacity() const;
  // Releases everything the device holds for this object.
  void close();

  // Blocks first .. first + count - 1 (count in 0..capacity()) of the point keyed (key0, key1)
  // with noise threshold `threshold`: outcomes[i] for block first + i (count entries), the
  // call's counts into *totals when not null, and every bit into *dump when not null.
  bool decode(const minsum::MinsumParams& params, minsum::Schedule schedule, std::uint32_t key0,
              std::uint32_t key1, std::uint64_t threshold, std::uint64_t first, int count,
              GpuBlockOutcome* outcomes, GpuMinsumTotals* totals, GpuMinsumDump* dump,
              std::string& error);

  struct Device;

 private:
  std::unique_ptr<Device> device_;
};

}  // namespace ldpcsw
