// Runs one window-search kernel on the device backend in use, from host arrays to host
// arrays: upload, launch, wait, download, release. For the kernel tests, ldpcsw-window and
// the device-versus-emulation comparison; the stage itself does not use these.
// Each returns false, after releasing what it acquired, when a runtime call fails or the
// launch shape is outside what the kernel supports.
#pragma once

namespace ldpcsw {

// "cuda" or "host": where the kernels run in this build.
const char* device_backend_name();

// GPU_findbest1 over gamma[0 .. n-1] with `blocks` blocks of `threads` threads; writes
// blocks * threads errors into sigma2 (thread t evaluates width w + 2t).
bool run_findbest1(const float* gamma, int n, int w, int blocks, int threads, float* sigma2);

// min_idx_kernel over data[0 .. dsize-1] with `blocks` (1 or 2) blocks of 256 threads;
// writes the position it finds into *result.
bool run_min_idx(const float* data, int dsize, int blocks, int* result);

// GPU_findbest over gamma[0 .. n-1]; writes blocks * threads errors into sigma2 and the
// predictions of thread t into bias[t*n .. t*n + n-1].
bool run_findbest(const double* gamma, int n, int w, int blocks, int threads, float* sigma2,
                  double* bias);

}  // namespace ldpcsw
