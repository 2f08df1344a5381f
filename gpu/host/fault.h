// Fault injection and bookkeeping of the host backend's runtime stand-in, for tests: make a
// chosen call fail, and see what a search left allocated.
#pragma once

namespace ldpcsw::host_runtime {

enum class Call {
  cublas_create,  // cublasCreate_v2: CUBLAS_STATUS_NOT_INITIALIZED
  malloc,         // cudaMalloc: cudaErrorMemoryAllocation ("out of memory")
  memcpy,         // cudaMemcpy, either direction: cudaErrorIllegalAddress
  set_device,     // cudaSetDevice: cudaErrorNoDevice
  launch,         // a kernel launch refused: cudaErrorInvalidConfiguration, left pending
  device_sync,    // cudaDeviceSynchronize: cudaErrorLaunchFailure
};

// From now on, the nth call of kind `call` (1 = the next one) and the `times` - 1 calls of
// that kind after it fail (times < 0: every call from the nth on) with `error`, or with the
// call's usual error above when `error` is 0. Several plans may be active at once.
void fail_call(Call call, int nth = 1, int times = 1, int error = 0);

// Forgets every plan and the pending error; memory, events and handles stay as they are.
void reset();

struct Stats {
  int live_allocations = 0;  // cudaMalloc'd buffers not yet freed
  int live_events = 0;
  int live_handles = 0;      // cuBLAS handles
  long calls = 0;            // runtime and cuBLAS calls made since the process began
};
Stats stats();

}  // namespace ldpcsw::host_runtime
