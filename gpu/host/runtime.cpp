// The host backend's CUDA runtime and cuBLAS stand-in (see runtime.h), with its fault plan.
#include "gpu/host/runtime.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <vector>

#include "gpu/host/fault.h"
#include "platform/crt.h"

struct CUevent_st {
  std::int64_t ticks = 0;
  bool recorded = false;
};

struct cublasContext {
  int unused = 0;
};

namespace ldpcsw::host_runtime {
namespace {

struct Plan {
  Call call;
  int skip;   // calls of this kind still to let through
  int times;  // calls to fail then; < 0: all
  int error;
};

struct State {
  std::vector<Plan> plans;
  cudaError_t pending = cudaSuccess;
  std::map<const char*, std::size_t> buffers;  // base -> size
  int live_events = 0;
  int live_handles = 0;
  long calls = 0;
};

State& state() {
  static State s;
  return s;
}

int default_error(Call call) {
  switch (call) {
    case Call::cublas_create: return CUBLAS_STATUS_NOT_INITIALIZED;
    case Call::malloc: return cudaErrorMemoryAllocation;
    case Call::memcpy: return cudaErrorIllegalAddress;
    case Call::set_device: return cudaErrorNoDevice;
    case Call::launch: return cudaErrorInvalidConfiguration;
    case Call::device_sync: return cudaErrorLaunchFailure;
  }
  return cudaErrorUnknown;
}

// The error a call of this kind must report now under the fault plan, or 0.
int planned_failure(Call call) {
  State& s = state();
  ++s.calls;
  for (auto it = s.plans.begin(); it != s.plans.end(); ++it) {
    if (it->call != call) continue;
    if (it->skip > 0) {
      --it->skip;
      continue;
    }
    const int error = it->error != 0 ? it->error : default_error(call);
    if (it->times > 0 && --it->times == 0) s.plans.erase(it);
    return error;
  }
  return 0;
}

cudaError_t fail(int error) {
  state().pending = static_cast<cudaError_t>(error);
  return static_cast<cudaError_t>(error);
}

// True when [p, p + count) lies inside one live device buffer.
bool inside_device_buffer(const void* p, std::size_t count) {
  const auto& buffers = state().buffers;
  const char* c = static_cast<const char*>(p);
  auto it = buffers.upper_bound(c);
  if (it == buffers.begin()) return false;
  --it;
  return c >= it->first && count <= it->second && static_cast<std::size_t>(c - it->first) <= it->second - count;
}

}  // namespace

void fail_call(Call call, int nth, int times, int error) {
  if (nth < 1 || times == 0) return;
  state().plans.push_back(Plan{call, nth - 1, times, error});
}

void reset() {
  State& s = state();
  s.plans.clear();
  s.pending = cudaSuccess;
}

Stats stats() {
  const State& s = state();
  Stats out;
  out.live_allocations = static_cast<int>(s.buffers.size());
  out.live_events = s.live_events;
  out.live_handles = s.live_handles;
  out.calls = s.calls;
  return out;
}

bool accept_launch(dim3 grid, dim3 block) {
  if (const int error = planned_failure(Call::launch)) {
    fail(error);
    return false;
  }
  const unsigned long long threads = 1ull * block.x * block.y * block.z;
  const bool block_ok = block.x >= 1 && block.y >= 1 && block.z >= 1 && threads <= 1024 &&
                        block.z <= 64;
  const bool grid_ok = grid.x >= 1 && grid.y >= 1 && grid.z >= 1 && grid.x <= 0x7FFFFFFFu &&
                       grid.y <= 65535 && grid.z <= 65535;
  if (!block_ok || !grid_ok) {
    fail(cudaErrorInvalidConfiguration);
    return false;
  }
  return true;
}

}  // namespace ldpcsw::host_runtime

using ldpcsw::host_runtime::Call;
using ldpcsw::host_runtime::fail;
using ldpcsw::host_runtime::inside_device_buffer;
using ldpcsw::host_runtime::planned_failure;
using ldpcsw::host_runtime::state;

cudaError_t cudaSetDevice(int device) {
  if (const int error = planned_failure(Call::set_device)) return fail(error);
  if (device != 0) return fail(cudaErrorInvalidDevice);
  return cudaSuccess;
}

cudaError_t cudaMalloc(void** dev_ptr, std::size_t size) {
  if (dev_ptr == nullptr) return fail(cudaErrorInvalidValue);
  if (const int error = planned_failure(Call::malloc)) {
    *dev_ptr = nullptr;
    return fail(error);
  }
  if (size == 0) {  // the real runtime hands out no memory for 0 bytes
    *dev_ptr = nullptr;
    return cudaSuccess;
  }
  // Fresh device memory holds no meaningful values; zero keeps runs reproducible.
  char* p = static_cast<char*>(std::calloc(size, 1));
  if (p == nullptr) {
    *dev_ptr = nullptr;
    return fail(cudaErrorMemoryAllocation);
  }
  state().buffers.emplace(p, size);
  *dev_ptr = p;
  return cudaSuccess;
}

cudaError_t cudaFree(void* dev_ptr) {
  ++state().calls;
  if (dev_ptr == nullptr) return cudaSuccess;
  auto it = state().buffers.find(static_cast<const char*>(dev_ptr));
  if (it == state().buffers.end()) return fail(cudaErrorInvalidValue);
  state().buffers.erase(it);
  std::free(dev_ptr);
  return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
  if (const int error = planned_failure(Call::memcpy)) return fail(error);
  if (count == 0) return cudaSuccess;
  if (dst == nullptr || src == nullptr) return fail(cudaErrorInvalidValue);
  bool ok = false;
  switch (kind) {
    case cudaMemcpyHostToDevice: ok = inside_device_buffer(dst, count); break;
    case cudaMemcpyDeviceToHost: ok = inside_device_buffer(src, count); break;
    case cudaMemcpyDeviceToDevice:
      ok = inside_device_buffer(dst, count) && inside_device_buffer(src, count);
      break;
    case cudaMemcpyHostToHost:
    case cudaMemcpyDefault: ok = true; break;
    default: return fail(cudaErrorInvalidMemcpyDirection);
  }
  if (!ok) return fail(cudaErrorInvalidValue);
  std::memmove(dst, src, count);
  return cudaSuccess;
}

cudaError_t cudaEventCreate(cudaEvent_t* event) {
  ++state().calls;
  if (event == nullptr) return fail(cudaErrorInvalidValue);
  *event = new (std::nothrow) CUevent_st;
  if (*event == nullptr) return fail(cudaErrorMemoryAllocation);
  ++state().live_events;
  return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t) {
  ++state().calls;
  if (event == nullptr) return fail(cudaErrorInvalidResourceHandle);
  // Launches finish before they return, so everything issued before this call is done.
  event->ticks = ldpcsw::perf_counter();
  event->recorded = true;
  return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
  ++state().calls;
  if (event == nullptr) return fail(cudaErrorInvalidResourceHandle);
  return cudaSuccess;
}

cudaError_t cudaEventElapsedTime(float* ms, cudaEvent_t start, cudaEvent_t end) {
  ++state().calls;
  if (ms == nullptr) return fail(cudaErrorInvalidValue);
  if (start == nullptr || end == nullptr || !start->recorded || !end->recorded)
    return fail(cudaErrorInvalidResourceHandle);
  const double ticks = static_cast<double>(end->ticks - start->ticks);
  *ms = static_cast<float>(ticks * 1000.0 / static_cast<double>(ldpcsw::perf_frequency()));
  return cudaSuccess;
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
  ++state().calls;
  if (event == nullptr) return fail(cudaErrorInvalidResourceHandle);
  delete event;
  --state().live_events;
  return cudaSuccess;
}

cudaError_t cudaGetLastError() {
  ++state().calls;
  const cudaError_t e = state().pending;
  state().pending = cudaSuccess;
  return e;
}

const char* cudaGetErrorString(cudaError_t error) {
  switch (error) {
    case cudaSuccess: return "no error";
    case cudaErrorInvalidValue: return "invalid argument";
    case cudaErrorMemoryAllocation: return "out of memory";
    case cudaErrorInitializationError: return "initialization error";
    case cudaErrorInvalidConfiguration: return "invalid configuration argument";
    case cudaErrorInvalidMemcpyDirection: return "invalid copy direction for memcpy";
    case cudaErrorNoDevice: return "no CUDA-capable device is detected";
    case cudaErrorInvalidDevice: return "invalid device ordinal";
    case cudaErrorInvalidResourceHandle: return "invalid resource handle";
    case cudaErrorIllegalAddress: return "an illegal memory access was encountered";
    case cudaErrorLaunchFailure: return "unspecified launch failure";
    case cudaErrorUnknown: return "unknown error";
  }
  return "unrecognized error code";
}

cudaError_t cudaDeviceSynchronize() {
  if (const int error = planned_failure(Call::device_sync)) return fail(error);
  return cudaSuccess;
}

cublasStatus_t cublasCreate_v2(cublasHandle_t* handle) {
  if (handle == nullptr) return CUBLAS_STATUS_INVALID_VALUE;
  if (const int error = planned_failure(Call::cublas_create)) return static_cast<cublasStatus_t>(error);
  *handle = new (std::nothrow) cublasContext;
  if (*handle == nullptr) return CUBLAS_STATUS_ALLOC_FAILED;
  ++state().live_handles;
  return CUBLAS_STATUS_SUCCESS;
}

cublasStatus_t cublasDestroy_v2(cublasHandle_t handle) {
  ++state().calls;
  if (handle == nullptr) return CUBLAS_STATUS_NOT_INITIALIZED;
  delete handle;
  --state().live_handles;
  return CUBLAS_STATUS_SUCCESS;
}
