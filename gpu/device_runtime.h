// The device runtime the stage and the kernel runners are written against: the real CUDA
// runtime and cuBLAS when nvcc compiles them (the `cuda` backend), the project's stand-in
// otherwise (the `host` backend, gpu/host/runtime.h). LDPCSW_LAUNCH(kernel, grid, block,
// args...) is the launch: `kernel<<<grid, block>>>(args...)` on the device, the SIMT
// emulation on the host.
#pragma once

#if defined(__CUDACC__)
#include <cublas_v2.h>
#include <cuda_runtime.h>
#define LDPCSW_LAUNCH(kernel, grid, block, ...) kernel<<<(grid), (block)>>>(__VA_ARGS__)
#define LDPCSW_DEVICE_BACKEND "cuda"
#else
#include "gpu/host/runtime.h"
#define LDPCSW_LAUNCH(kernel, grid, block, ...) \
  ::ldpcsw::host_runtime::launch((grid), (block), kernel, __VA_ARGS__)
#define LDPCSW_DEVICE_BACKEND "host"
#endif
