// libFuzzer target for read_code_alist: any bytes are either rejected with a message or give a
// matrix that keeps every promise of fuzz/checks.h.
#include <cstdint>
#include <string>

#include "fuzz/checks.h"
#include "fuzz/memory_stream.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ldpcsw::fuzz::MemoryStream stream(data, size);
  ldpcsw::ColumnMatrix h;
  std::string error;
  if (!ldpcsw::read_code_alist(stream.file(), h, error)) {
    if (error.empty()) ldpcsw::fuzz::broken("rejected without a message");
    return 0;
  }
  if (const char* problem = ldpcsw::fuzz::check_columns(h)) ldpcsw::fuzz::broken(problem);
  return 0;
}
