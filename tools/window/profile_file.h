// Reading a probability profile: a text file of n numbers, one per line.
// A bad file is the user's error: read_profile says which file, which line and what is wrong.
#pragma once

#include <string>
#include <vector>

namespace ldpcsw {

// Reads `path` into `p`. Each line holds one number (surrounding blanks and a carriage return
// allowed); empty lines may only close the file. Returns false with a one-line `error` naming
// the file when it cannot be opened, holds no number, or a line is not exactly one number or
// not a probability (finite, within [0, 1]).
bool read_profile(const std::string& path, std::vector<float>& p, std::string& error);

}  // namespace ldpcsw
