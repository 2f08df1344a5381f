// Whitespace-separated decimal ints from a text stream, read the way fscanf("%d") reads
// well-formed input, but telling apart the end of the file, a token that is not an integer
// and a value outside the int range, so that a reader can reject a bad file precisely
// instead of carrying on with garbage.
#pragma once

#include <cstdio>
#include <string>

namespace ldpcsw {

enum class ScanStatus { ok, end_of_file, not_integer, out_of_range };

// Skips white space, then reads an optional sign and one or more decimal digits.
ScanStatus scan_int(std::FILE* file, int& value);

// A short phrase for a failed scan, for messages such as "row 3: <phrase>".
std::string scan_problem(ScanStatus status);

}  // namespace ldpcsw
