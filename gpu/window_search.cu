// The device module: the kernels, the window-search stage that runs them at every
// estimation step, and the runners that let tests and tools launch them one at a time.
// Written once against the CUDA runtime and cuBLAS; compiled by nvcc for the `cuda`
// backend and as C++ over the project's stand-in for the `host` backend.
#include <cstddef>
#include <cstdio>

#include "gpu/device_runtime.h"
#include "gpu/gpu_window_search.h"
#include "gpu/kernel_runner.h"
#include "gpu/kernels.cuh"

namespace ldpcsw {

double GPUtime_thrust = 0.0;
double GPUtime_cublas = 0.0;
double GPUtime_kernel = 0.0;
int estimate_count = 0;

namespace {

constexpr int CANDIDATES = 625;                       // widths 1, 3, ..., 1249
constexpr std::size_t SIGMA2_BYTES = CANDIDATES * 4;  // 2500
constexpr int FIRST_WIDTH = 1;
constexpr int FINDBEST_BLOCKS = 25;
constexpr int FINDBEST_THREADS = 25;
constexpr int ARGMIN_BLOCKS = 2;
constexpr int ARGMIN_THREADS = 256;

// What one search holds. The stage releases each item at its own step and clears it; the
// destructor releases whatever a failed step left, so a failure leaks nothing.
struct SearchHold {
  cublasHandle_t handle = nullptr;
  float* dev_sigma2 = nullptr;
  float* dev_overall = nullptr;
  int* d_min_index = nullptr;
  cudaEvent_t gstart = nullptr;
  cudaEvent_t gstop = nullptr;

  SearchHold() = default;
  SearchHold(const SearchHold&) = delete;
  SearchHold& operator=(const SearchHold&) = delete;
  ~SearchHold() {
    if (gstart != nullptr) cudaEventDestroy(gstart);
    if (gstop != nullptr) cudaEventDestroy(gstop);
    if (dev_sigma2 != nullptr) cudaFree(dev_sigma2);
    if (dev_overall != nullptr) cudaFree(dev_overall);
    if (d_min_index != nullptr) cudaFree(d_min_index);
    if (handle != nullptr) cublasDestroy_v2(handle);
  }
};

// Elapsed time between two recorded events in milliseconds; 0 when it cannot be had.
float elapsed_ms(cudaEvent_t start, cudaEvent_t stop) {
  float ms = 0.0f;
  if (cudaEventElapsedTime(&ms, start, stop) != cudaSuccess) return 0.0f;
  return ms;
}

}  // namespace

bool gpu_window_search(const float* p_one, int n) {
  SearchHold hold;
  const std::size_t overall_bytes = n > 0 ? static_cast<std::size_t>(n) * sizeof(float) : 0;

  // 1-5: handle, buffers, upload, device.
  if (cublasCreate_v2(&hold.handle) != CUBLAS_STATUS_SUCCESS) {
    hold.handle = nullptr;
    std::printf("CUBLAS initialization failed\n");
    return false;
  }
  if (cudaMalloc(&hold.dev_sigma2, SIGMA2_BYTES) != cudaSuccess) {
    hold.dev_sigma2 = nullptr;
    std::fprintf(stderr, "cudaMalloc failed!");
    return false;
  }
  if (cudaMalloc(&hold.dev_overall, overall_bytes) != cudaSuccess) {
    hold.dev_overall = nullptr;
    std::fprintf(stderr, "cudaMalloc failed!");
    return false;
  }
  if (cudaMemcpy(hold.dev_overall, p_one, overall_bytes, cudaMemcpyHostToDevice) != cudaSuccess) {
    std::fprintf(stderr, "cudaMemcpy failed!");
    return false;
  }
  if (cudaSetDevice(0) != cudaSuccess) {
    std::fprintf(stderr, "cudaSetDevice failed!  Do you have a CUDA-capable GPU installed?");
    return false;
  }

  // 6-8: the candidate errors, timed by events on the default stream.
  float time_elapsed = 0.0f;
  cudaEventCreate(&hold.gstart);
  cudaEventCreate(&hold.gstop);
  cudaEventRecord(hold.gstart, 0);
  LDPCSW_LAUNCH(GPU_findbest1, FINDBEST_BLOCKS, FINDBEST_THREADS, hold.dev_sigma2,
                hold.dev_overall, n, FIRST_WIDTH);
  cudaEventRecord(hold.gstop, 0);
  cudaEventSynchronize(hold.gstart);
  cudaEventSynchronize(hold.gstop);
  time_elapsed = elapsed_ms(hold.gstart, hold.gstop);

  // 9-10: a pending launch error is reported and tolerated; a failed device is not.
  cudaError_t status = cudaGetLastError();
  if (status != cudaSuccess)
    std::fprintf(stderr, "addKernel launch failed: %s\n", cudaGetErrorString(status));
  status = cudaDeviceSynchronize();
  if (status != cudaSuccess) {
    std::fprintf(stderr, "cudaDeviceSynchronize returned error code %d after launching addKernel!\n",
                 static_cast<int>(status));
    return false;
  }

  // 11-14: the table comes home and goes back up into a fresh buffer.
  float sigma2[CANDIDATES];
  if (cudaMemcpy(sigma2, hold.dev_sigma2, SIGMA2_BYTES, cudaMemcpyDeviceToHost) != cudaSuccess) {
    std::fprintf(stderr, "cudaMemcpy failed!");
    return false;
  }
  cudaFree(hold.dev_sigma2);
  hold.dev_sigma2 = nullptr;
  cudaFree(hold.dev_overall);
  hold.dev_overall = nullptr;
  if (cudaMalloc(&hold.dev_sigma2, SIGMA2_BYTES) != cudaSuccess) {
    hold.dev_sigma2 = nullptr;
    std::fprintf(stderr, "cudaMalloc failed!");
    return false;
  }
  if (cudaMemcpy(hold.dev_sigma2, sigma2, SIGMA2_BYTES, cudaMemcpyHostToDevice) != cudaSuccess) {
    std::fprintf(stderr, "cudaMemcpy failed!");
    return false;
  }

  // 15-16: the arg-min, timed the same way. The status of the index buffer is not
  // examined, but a kernel is never handed a buffer that does not exist.
  if (cudaMalloc(&hold.d_min_index, sizeof(int)) != cudaSuccess) hold.d_min_index = nullptr;
  float time_kernel = 0.0f;
  cudaEventRecord(hold.gstart, 0);
  if (hold.d_min_index != nullptr)
    LDPCSW_LAUNCH(min_idx_kernel, ARGMIN_BLOCKS, ARGMIN_THREADS, hold.dev_sigma2, CANDIDATES,
                  hold.d_min_index);
  cudaEventRecord(hold.gstop, 0);
  cudaEventSynchronize(hold.gstart);
  cudaEventSynchronize(hold.gstop);
  time_kernel = 0.0f;
  time_kernel = elapsed_ms(hold.gstart, hold.gstop);
  cudaEventDestroy(hold.gstart);
  hold.gstart = nullptr;
  cudaEventDestroy(hold.gstop);
  hold.gstop = nullptr;

  // 17-18: account and report.
  time_kernel = time_kernel + time_elapsed;
  GPUtime_kernel += static_cast<double>(time_kernel);
  estimate_count += 1;
  std::printf("\xD4\xDA" "GPU\xC9\xCF\xB2\xA2\xD0\xD0" "kernel time=%f(ms)\n",
              static_cast<double>(time_kernel));

  // 19-20: the winning candidate (read by nothing), then release.
  int bestu = -1;
  cudaMemcpy(&bestu, hold.d_min_index, sizeof(int), cudaMemcpyDeviceToHost);
  (void)bestu;
  cudaFree(hold.dev_sigma2);
  hold.dev_sigma2 = nullptr;
  cudaFree(hold.d_min_index);
  hold.d_min_index = nullptr;
  cublasDestroy_v2(hold.handle);
  hold.handle = nullptr;
  return true;
}

// ---- Single-kernel runners ----

const char* device_backend_name() { return LDPCSW_DEVICE_BACKEND; }

namespace {

// Device buffers of one runner call, freed on every way out.
struct RunnerBuffers {
  void* p[3] = {nullptr, nullptr, nullptr};
  RunnerBuffers() = default;
  RunnerBuffers(const RunnerBuffers&) = delete;
  RunnerBuffers& operator=(const RunnerBuffers&) = delete;
  ~RunnerBuffers() {
    for (void* q : p)
      if (q != nullptr) cudaFree(q);
  }
  bool alloc(int slot, std::size_t bytes) {
    if (bytes == 0) return true;
    if (cudaMalloc(&p[slot], bytes) != cudaSuccess) {
      p[slot] = nullptr;
      return false;
    }
    return true;
  }
};

bool finish_launch() {
  if (cudaGetLastError() != cudaSuccess) return false;
  return cudaDeviceSynchronize() == cudaSuccess;
}

}  // namespace

bool run_findbest1(const float* gamma, int n, int w, int blocks, int threads, float* sigma2) {
  if (n < 0 || blocks < 1 || threads < 1) return false;
  const std::size_t in_bytes = static_cast<std::size_t>(n) * sizeof(float);
  const std::size_t out_bytes = static_cast<std::size_t>(blocks) * threads * sizeof(float);
  RunnerBuffers b;
  if (!b.alloc(0, in_bytes) || !b.alloc(1, out_bytes)) return false;
  if (in_bytes > 0 && cudaMemcpy(b.p[0], gamma, in_bytes, cudaMemcpyHostToDevice) != cudaSuccess)
    return false;
  LDPCSW_LAUNCH(GPU_findbest1, blocks, threads, static_cast<float*>(b.p[1]),
                static_cast<const float*>(b.p[0]), n, w);
  if (!finish_launch()) return false;
  return cudaMemcpy(sigma2, b.p[1], out_bytes, cudaMemcpyDeviceToHost) == cudaSuccess;
}

bool run_min_idx(const float* data, int dsize, int blocks, int* result) {
  // The kernel's partial tables have two slots and its tree needs 256 threads per block.
  if (blocks < 1 || blocks > 2) return false;
  const std::size_t in_bytes = dsize > 0 ? static_cast<std::size_t>(dsize) * sizeof(float) : 0;
  RunnerBuffers b;
  if (!b.alloc(0, in_bytes) || !b.alloc(1, sizeof(int))) return false;
  if (in_bytes > 0 && cudaMemcpy(b.p[0], data, in_bytes, cudaMemcpyHostToDevice) != cudaSuccess)
    return false;
  LDPCSW_LAUNCH(min_idx_kernel, blocks, ARGMIN_THREADS, static_cast<const float*>(b.p[0]), dsize,
                static_cast<int*>(b.p[1]));
  if (!finish_launch()) return false;
  return cudaMemcpy(result, b.p[1], sizeof(int), cudaMemcpyDeviceToHost) == cudaSuccess;
}

bool run_findbest(const double* gamma, int n, int w, int blocks, int threads, float* sigma2,
                  double* bias) {
  if (n < 0 || blocks < 1 || threads < 1) return false;
  const std::size_t count = static_cast<std::size_t>(blocks) * threads;
  const std::size_t in_bytes = static_cast<std::size_t>(n) * sizeof(double);
  const std::size_t bias_bytes = count * n * sizeof(double);
  const std::size_t out_bytes = count * sizeof(float);
  RunnerBuffers b;
  if (!b.alloc(0, in_bytes) || !b.alloc(1, bias_bytes) || !b.alloc(2, out_bytes)) return false;
  if (in_bytes > 0 && cudaMemcpy(b.p[0], gamma, in_bytes, cudaMemcpyHostToDevice) != cudaSuccess)
    return false;
  LDPCSW_LAUNCH(GPU_findbest, blocks, threads, static_cast<float*>(b.p[2]),
                static_cast<double*>(b.p[1]), static_cast<const double*>(b.p[0]), n, w);
  if (!finish_launch()) return false;
  if (bias_bytes > 0 && cudaMemcpy(bias, b.p[1], bias_bytes, cudaMemcpyDeviceToHost) != cudaSuccess)
    return false;
  return cudaMemcpy(sigma2, b.p[2], out_bytes, cudaMemcpyDeviceToHost) == cudaSuccess;
}

}  // namespace ldpcsw
