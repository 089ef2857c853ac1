// What the fuzz targets share: a check that stops the run with the failed condition, and a reader
// that cuts one input into several texts.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Stops the process (libFuzzer keeps the input as a crash) when condition is false.
#define FUZZ_CHECK(condition)                                                            \
  do {                                                                                   \
    if (!(condition)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (false)

namespace vorelia::fuzz {

// Reads fields off the front of an input: a length byte and as many bytes as it says (fewer at
// the end), so that mutating one field leaves the others in place.
class FuzzFields {
 public:
  FuzzFields(const std::uint8_t* data, std::size_t size)
      : data_(reinterpret_cast<const char*>(data)), size_(size) {}

  bool empty() const { return size_ == 0; }
  // The next byte; 0 when nothing is left.
  std::uint8_t byte() {
    if (size_ == 0) return 0;
    --size_;
    return static_cast<std::uint8_t>(*data_++);
  }
  // The next field; empty when nothing is left.
  std::string next() {
    const std::size_t length = std::min<std::size_t>(byte(), size_);
    std::string field(data_, length);
    data_ += length;
    size_ -= length;
    return field;
  }
  // Everything not read yet.
  std::string rest() {
    std::string all(data_, size_);
    data_ += size_;
    size_ = 0;
    return all;
  }

 private:
  const char* data_;
  std::size_t size_;
};

}  // namespace vorelia::fuzz
