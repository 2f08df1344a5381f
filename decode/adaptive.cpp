#include "decode/adaptive.h"
