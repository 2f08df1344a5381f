// The host backend's build of the min-sum stage: the same source that nvcc compiles for the
// cuda backend, here compiled as C++ over the runtime stand-in and the SIMT emulation.
#include "gpu/minsum_stage.cu"
