// gpu_window_search: the window-width search on the device, timed against the CPU search.
// Uploads p_one (n floats), evaluates 625 candidate widths 1, 3, ..., 1249 in one launch of
// GPU_findbest1, takes the arg-min with min_idx_kernel, prints the kernel time line, adds
// it to GPUtime_kernel and counts the search in estimate_count. Returns false on a failure
// of the device runtime (its message already printed); the caller then ends its decode call.
#pragma once

namespace ldpcsw {

// Process-wide, milliseconds (0 at start). GPUtime_thrust and GPUtime_cublas are printed by
// the report but never added to.
extern double GPUtime_thrust;
extern double GPUtime_cublas;
extern double GPUtime_kernel;
// Process-wide count of completed device searches.
extern int estimate_count;

bool gpu_window_search(const float* p_one, int n);

}  // namespace ldpcsw
