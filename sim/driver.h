// The fixed experiment: reads "Reg504252.dat" from the working folder, decodes 200 blocks
// with side information through a channel of crossover 0.08, and prints the report.
#pragma once

namespace ldpcsw {

// Runs the whole experiment; returns the process exit status.
int run_experiment();

}  // namespace ldpcsw
