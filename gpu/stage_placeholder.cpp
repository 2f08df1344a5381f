#include "gpu/gpu_window_search.h"

namespace ldpcsw {

double GPUtime_thrust = 0.0;
double GPUtime_cublas = 0.0;
double GPUtime_kernel = 0.0;
int estimate_count = 0;

bool gpu_window_search(const float*, int) { return true; }

}  // namespace ldpcsw
