// The min-sum stage: the device arrays of a GpuMinsum, the launch of minsum_batch_kernel and
// the transfers around it. Written once against the CUDA runtime; compiled by nvcc for the
// `cuda` backend and as C++ over the project's stand-in for the `host` backend.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "gpu/device_runtime.h"
#include "gpu/gpu_minsum.h"
#include "gpu/minsum_kernels.cuh"

namespace ldpcsw {

namespace {

constexpr int THREADS_PER_BLOCK = 128;

std::string runtime_error(const char* call, cudaError_t status) {
  return std::string("the device failed: ") + call + ": " + cudaGetErrorString(status);
}

}  // namespace

struct GpuMinsum::Device {
  int n = 0, m = 0, edges = 0, capacity = 0;
  // Device buffers; each freed by release().
  int* ir = nullptr;
  int* jc = nullptr;
  int* col_ptr = nullptr;
  int* col_edge = nullptr;
  std::int8_t* x = nullptr;
  std::int8_t* y = nullptr;
  std::int8_t* s = nullptr;
  std::int8_t* x_hat = nullptr;
  std::int8_t* msg = nullptr;
  std::int16_t* post = nullptr;
  std::int16_t* aux = nullptr;
  int* outcomes = nullptr;
  unsigned long long* totals = nullptr;

  ~Device() { release(); }

  void release() {
    void* all[] = {ir, jc, col_ptr, col_edge, x, y, s, x_hat, msg, post, aux, outcomes, totals};
    for (void* q : all)
      if (q != nullptr) cudaFree(q);
    ir = jc = col_ptr = col_edge = nullptr;
    x = y = s = x_hat = msg = nullptr;
    post = aux = nullptr;
    outcomes = nullptr;
    totals = nullptr;
  }

  template <class T>
  bool alloc(T*& p, std::size_t count, std::string& error) {
    // At least one element, so that an empty array is still a valid pointer.
    const std::size_t bytes = (count > 0 ? count : 1) * sizeof(T);
    const cudaError_t status = cudaMalloc(&p, bytes);
    if (status != cudaSuccess) {
      p = nullptr;
      error = runtime_error("cudaMalloc", status) + " (" + std::to_string(bytes) + " bytes)";
      return false;
    }
    return true;
  }

  template <class T>
  bool upload(T* dst, const T* src, std::size_t count, std::string& error) {
    if (count == 0) return true;
    const cudaError_t status = cudaMemcpy(dst, src, count * sizeof(T), cudaMemcpyHostToDevice);
    if (status != cudaSuccess) {
      error = runtime_error("cudaMemcpy to the device", status);
      return false;
    }
    return true;
  }

  template <class T>
  bool download(T* dst, const T* src, std::size_t count, std::string& error) {
    if (count == 0) return true;
    const cudaError_t status = cudaMemcpy(dst, src, count * sizeof(T), cudaMemcpyDeviceToHost);
    if (status != cudaSuccess) {
      error = runtime_error("cudaMemcpy from the device", status);
      return false;
    }
    return true;
  }

  // One lane-minor array of `rows` entries per block, block-major into `out`.
  bool download_lanes(const std::int8_t* src, int rows, int count, std::vector<std::int8_t>& out,
                      std::string& error) {
    std::vector<std::int8_t> lanes(static_cast<std::size_t>(rows) * capacity);
    if (!download(lanes.data(), src, lanes.size(), error)) return false;
    out.assign(static_cast<std::size_t>(rows) * count, 0);
    for (int i = 0; i < count; ++i)
      for (int j = 0; j < rows; ++j)
        out[static_cast<std::size_t>(i) * rows + j] =
            lanes[static_cast<std::size_t>(j) * capacity + i];
    return true;
  }
};

bool gpu_minsum_available(std::string& why) {
#if defined(__CUDACC__)
  int devices = 0;
  const cudaError_t status = cudaGetDeviceCount(&devices);
  if (status != cudaSuccess) {
    why = std::string("no usable CUDA device: ") + cudaGetErrorString(status);
    return false;
  }
  if (devices < 1) {
    why = "no CUDA device is present";
    return false;
  }
#else
  (void)why;
#endif
  return true;
}

int gpu_minsum_batch_capacity(const minsum::MinsumCode& code) {
#if defined(__CUDACC__)
  // Per block: a message and a 16-bit row input per edge, five bytes per bit (x, y,
  // decisions, the 16-bit a-posteriori value), a syndrome byte per check and the outcome.
  const std::size_t per_block = 3 * static_cast<std::size_t>(code.edges()) +
                                5 * static_cast<std::size_t>(code.n) +
                                static_cast<std::size_t>(code.m) + 3 * sizeof(int);
  const std::size_t fit = (std::size_t{1} << 32) / per_block;
  return static_cast<int>(fit < 1 ? 1 : (fit > 65536 ? 65536 : fit));
#else
  (void)code;
  return 256;
#endif
}

GpuMinsum::GpuMinsum() = default;
GpuMinsum::~GpuMinsum() = default;

bool GpuMinsum::is_open() const { return device_ != nullptr; }
int GpuMinsum::capacity() const { return device_ ? device_->capacity : 0; }
void GpuMinsum::close() { device_.reset(); }

bool GpuMinsum::open(const minsum::MinsumCode& code, int capacity, std::string& error,
                     int device) {
  close();
  if (capacity < 1) {
    error = "the device batch must hold at least one block";
    return false;
  }
#if defined(__CUDACC__)
  int devices = 0;
  cudaError_t status = cudaGetDeviceCount(&devices);
  if (status == cudaSuccess && devices < 1) status = cudaErrorNoDevice;
  if (status == cudaSuccess) status = cudaSetDevice((device < 0 ? -device : device) % devices);
  if (status != cudaSuccess) {
    error = runtime_error("cudaSetDevice", status);
    return false;
  }
#else
  (void)device;
#endif
  auto d = std::make_unique<Device>();
  d->n = code.n;
  d->m = code.m;
  d->edges = code.edges();
  d->capacity = capacity;
  const std::size_t B = static_cast<std::size_t>(capacity);
  const std::size_t n = static_cast<std::size_t>(code.n), m = static_cast<std::size_t>(code.m),
                    edges = static_cast<std::size_t>(code.edges());
  // A failure returns with `d` releasing what was allocated.
  if (!d->alloc(d->ir, m + 1, error) || !d->alloc(d->jc, edges, error) ||
      !d->alloc(d->col_ptr, n + 1, error) || !d->alloc(d->col_edge, edges, error) ||
      !d->alloc(d->x, n * B, error) || !d->alloc(d->y, n * B, error) ||
      !d->alloc(d->s, m * B, error) || !d->alloc(d->x_hat, n * B, error) ||
      !d->alloc(d->msg, edges * B, error) || !d->alloc(d->post, n * B, error) ||
      !d->alloc(d->aux, edges * B, error) || !d->alloc(d->outcomes, 3 * B, error) ||
      !d->alloc(d->totals, 5, error))
    return false;
  if (!d->upload(d->ir, code.ir.data(), m + 1, error) ||
      !d->upload(d->jc, code.jc.data(), edges, error) ||
      !d->upload(d->col_ptr, code.col_ptr.data(), n + 1, error) ||
      !d->upload(d->col_edge, code.col_edge.data(), edges, error))
    return false;
  device_ = std::move(d);
  return true;
}

bool GpuMinsum::decode(const minsum::MinsumParams& params, minsum::Schedule schedule,
                       std::uint32_t key0, std::uint32_t key1, std::uint64_t threshold,
                       std::uint64_t first, int count, GpuBlockOutcome* outcomes,
                       GpuMinsumTotals* totals, GpuMinsumDump* dump, std::string& error) {
  if (!device_) {
    error = "the device decoder is not open";
    return false;
  }
  Device& d = *device_;
  if (count < 0 || count > d.capacity) {
    error = "a device batch of " + std::to_string(count) + " blocks is outside 0.." +
            std::to_string(d.capacity);
    return false;
  }
  const std::string bad = minsum::minsum_params_error(params);
  if (!bad.empty()) {
    error = bad;
    return false;
  }
  if (params.check == minsum::CheckRule::sum_product && schedule != minsum::Schedule::layered) {
    error = "the sum-product rule runs on the layered schedule only";
    return false;
  }
  if (count == 0) {
    if (totals != nullptr) *totals = GpuMinsumTotals{};
    if (dump != nullptr) *dump = GpuMinsumDump{};
    return true;
  }
  const unsigned long long zeros[5] = {0, 0, 0, 0, 0};
  if (!d.upload(d.totals, zeros, 5, error)) return false;

  MinsumBatchArgs a{};
  a.ir = d.ir;
  a.jc = d.jc;
  a.col_ptr = d.col_ptr;
  a.col_edge = d.col_edge;
  a.n = d.n;
  a.m = d.m;
  a.x = d.x;
  a.y = d.y;
  a.s = d.s;
  a.x_hat = d.x_hat;
  a.msg = d.msg;
  a.post = d.post;
  a.aux = d.aux;
  a.batch = d.capacity;
  a.count = count;
  a.first = first;
  a.key0 = key0;
  a.key1 = key1;
  a.threshold = threshold;
  a.params = params;
  a.layered = schedule == minsum::Schedule::layered ? 1 : 0;
  a.outcomes = d.outcomes;
  a.totals = d.totals;
  const int grid = (count + THREADS_PER_BLOCK - 1) / THREADS_PER_BLOCK;
  LDPCSW_LAUNCH(minsum_batch_kernel, grid, THREADS_PER_BLOCK, a);
  cudaError_t status = cudaGetLastError();
  if (status != cudaSuccess) {
    error = runtime_error("launching the min-sum kernel", status);
    return false;
  }
  status = cudaDeviceSynchronize();
  if (status != cudaSuccess) {
    error = runtime_error("running the min-sum kernel", status);
    return false;
  }

  std::vector<int> raw(3 * static_cast<std::size_t>(count));
  if (!d.download(raw.data(), d.outcomes, raw.size(), error)) return false;
  for (int i = 0; i < count; ++i)
    outcomes[i] = GpuBlockOutcome{raw[3 * i], raw[3 * i + 1], raw[3 * i + 2] != 0};
  if (totals != nullptr) {
    unsigned long long t[5];
    if (!d.download(t, d.totals, 5, error)) return false;
    *totals = GpuMinsumTotals{t[0], t[1], t[2], t[3], t[4]};
  }
  if (dump != nullptr) {
    if (!d.download_lanes(d.x, d.n, count, dump->x, error) ||
        !d.download_lanes(d.y, d.n, count, dump->y, error) ||
        !d.download_lanes(d.s, d.m, count, dump->s, error) ||
        !d.download_lanes(d.x_hat, d.n, count, dump->x_hat, error))
      return false;
  }
  return true;
}

}  // namespace ldpcsw
