// A read-only stdio stream over a fuzzer's input bytes, so that the readers see exactly the
// stream they see in the programs, one byte at a time through getc.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ldpcsw::fuzz {

class MemoryStream {
 public:
  MemoryStream(const std::uint8_t* data, std::size_t size) : bytes_(data, data + size) {
    // fmemopen needs a buffer even for an empty input.
    bytes_.push_back(0);
    file_ = fmemopen(bytes_.data(), size, "r");
    if (file_ == nullptr) std::abort();
  }
  ~MemoryStream() { std::fclose(file_); }
  MemoryStream(const MemoryStream&) = delete;
  MemoryStream& operator=(const MemoryStream&) = delete;
  std::FILE* file() const { return file_; }

 private:
  std::vector<char> bytes_;
  std::FILE* file_ = nullptr;
};

// Stops the run with a crash that libFuzzer records, for a broken promise of a reader.
[[noreturn]] inline void broken(const char* what) {
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}

}  // namespace ldpcsw::fuzz
