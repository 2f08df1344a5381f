#include "sim/driver.h"

namespace ldpcsw {
int run_experiment() { return 0; }
}  // namespace ldpcsw
