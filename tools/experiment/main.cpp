// ldpcsw: the fixed experiment. It takes no arguments and ignores any it is given, so that its
// output stays the same whatever the command line.
#include "sim/driver.h"

int main() { return ldpcsw::run_experiment(); }
