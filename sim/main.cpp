#include "sim/driver.h"

int main() { return ldpcsw::run_experiment(); }
