#include "code/int_scan.h"

#include <cctype>
#include <climits>

namespace ldpcsw {

ScanStatus scan_int(std::FILE* file, int& value) {
  int c = getc_unlocked(file);
  while (c != EOF && std::isspace(c)) c = getc_unlocked(file);
  if (c == EOF) return ScanStatus::end_of_file;
  bool negative = false;
  if (c == '+' || c == '-') {
    negative = (c == '-');
    c = getc_unlocked(file);
  }
  if (c == EOF || !std::isdigit(c)) {
    if (c != EOF) ungetc(c, file);
    return ScanStatus::not_integer;
  }
  // Accumulate as a negative number so that INT_MIN is reachable.
  long long acc = 0;
  bool overflow = false;
  while (c != EOF && std::isdigit(c)) {
    if (!overflow) {
      acc = acc * 10 - (c - '0');
      if (acc < static_cast<long long>(INT_MIN) - 1) overflow = true;
    }
    c = getc_unlocked(file);
  }
  if (c != EOF) ungetc(c, file);
  if (!negative) acc = -acc;
  if (overflow || acc > INT_MAX || acc < INT_MIN) return ScanStatus::out_of_range;
  value = static_cast<int>(acc);
  return ScanStatus::ok;
}

std::string scan_problem(ScanStatus status) {
  switch (status) {
    case ScanStatus::ok: return "no problem";
    case ScanStatus::end_of_file: return "the file ends early";
    case ScanStatus::not_integer: return "a value is not an integer";
    case ScanStatus::out_of_range: return "a value is outside the int range";
  }
  return "unknown problem";
}

}  // namespace ldpcsw
