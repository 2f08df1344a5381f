#include "decode/window.h"
