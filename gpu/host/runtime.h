// The host backend's stand-in for the CUDA runtime and cuBLAS calls the window-search stage
// makes, with the same names, signatures, result codes and error strings as the real ones.
// "Device" memory is host memory; events read the monotonic high-resolution counter; a
// launch runs the kernel through the SIMT emulation (gpu/host/simt.h) before it returns, so
// every call is synchronous and an event recorded after a launch sees it finished.
//
// Like the real runtime, every failing call leaves its error as the pending error that
// cudaGetLastError returns (and clears). Tests can make chosen calls fail (fault.h).
#pragma once

#include <cstddef>

#include "gpu/host/simt.h"

enum cudaError_t {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInitializationError = 3,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorInvalidMemcpyDirection = 21,
  cudaErrorNoDevice = 100,
  cudaErrorInvalidDevice = 101,
  cudaErrorInvalidResourceHandle = 400,
  cudaErrorIllegalAddress = 700,
  cudaErrorLaunchFailure = 719,
  cudaErrorUnknown = 999,
};

enum cudaMemcpyKind {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4,
};

typedef struct CUevent_st* cudaEvent_t;
typedef struct CUstream_st* cudaStream_t;
typedef struct cublasContext* cublasHandle_t;

enum cublasStatus_t {
  CUBLAS_STATUS_SUCCESS = 0,
  CUBLAS_STATUS_NOT_INITIALIZED = 1,
  CUBLAS_STATUS_ALLOC_FAILED = 3,
  CUBLAS_STATUS_INVALID_VALUE = 7,
};

cudaError_t cudaSetDevice(int device);
cudaError_t cudaMalloc(void** dev_ptr, std::size_t size);
template <class T>
cudaError_t cudaMalloc(T** dev_ptr, std::size_t size) {
  return cudaMalloc(reinterpret_cast<void**>(dev_ptr), size);
}
cudaError_t cudaFree(void* dev_ptr);
cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);
cudaError_t cudaEventCreate(cudaEvent_t* event);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end);
cudaError_t cudaEventDestroy(cudaEvent_t event);
cudaError_t cudaGetLastError();
const char* cudaGetErrorString(cudaError_t error);
cudaError_t cudaDeviceSynchronize();

cublasStatus_t cublasCreate_v2(cublasHandle_t* handle);
cublasStatus_t cublasDestroy_v2(cublasHandle_t handle);

namespace ldpcsw::host_runtime {

// Checks a launch configuration as the real runtime does (1 to 1024 threads per block, grid
// dimensions in range) and consults the fault plan. On refusal the error becomes pending and
// the kernel does not run.
bool accept_launch(dim3 grid, dim3 block);

template <class... P, class... A>
void launch(dim3 grid, dim3 block, void (*kernel)(P...), A&&... args) {
  if (accept_launch(grid, block)) simt::launch(grid, block, kernel, std::forward<A>(args)...);
}

}  // namespace ldpcsw::host_runtime
