// Whitespace-separated decimal ints from a text stream, read the way fscanf("%d") reads
// well-formed input, but telling apart the end of the file, a token that is not an integer
// and a value outside the int range, so that a reader can reject a bad file precisely
// instead of carrying on with garbage.
#pragma once

#include <cstdio>
#include <string>

namespace ldpcsw {

enum class ScanStatus { ok, end_of_file, not_integer, out_of_range, read_error };

// Skips white space, then reads an optional sign and one or more decimal digits. A stream
// that fails (a folder in place of a file, an I/O error) gives read_error, not end_of_file.
ScanStatus scan_int(std::FILE* file, int& value);

// Skips white space to the end of the stream. Returns ok when nothing else is left,
// not_integer when something else follows (the stream then stands at it), read_error when the
// stream fails.
ScanStatus scan_rest_is_space(std::FILE* file);

// A short phrase for a failed scan, for messages such as "row 3: <phrase>"; for read_error
// it names the system's reason for the last failed read on this thread.
std::string scan_problem(ScanStatus status);

}  // namespace ldpcsw
