// phi(t) = -ln(tanh(max(t, DBL_MIN) / 2)): the log-tanh check rule of the sum-product
// decoders. About 709.0896 for every t <= DBL_MIN and for NaN; falls as t grows; exactly 0
// once tanh(t/2) rounds to 1 (t above about 38.12).
#pragma once

#include <cfloat>
#include <cmath>

#include "platform/fminmax.h"

namespace ldpcsw {

inline double phi(double t) { return -std::log(std::tanh(crt_fmax(t, DBL_MIN) / 2.0)); }

}  // namespace ldpcsw
