// What the fuzz targets share: a check that stops the run with the failed condition, and a reader
// that cuts one input into several texts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

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
      : left_(reinterpret_cast<const char*>(data), size) {}

  bool empty() const { return left_.empty(); }
  // The next count bytes, fewer at the end.
  std::string take(std::size_t count) {
    std::string field(left_.substr(0, count));
    left_.remove_prefix(field.size());
    return field;
  }
  // The next byte; 0 when nothing is left.
  std::uint8_t byte() {
    const std::string next = take(1);
    return next.empty() ? 0 : static_cast<std::uint8_t>(next[0]);
  }
  // The next field; empty when nothing is left.
  std::string next() { return take(byte()); }
  // Everything not read yet.
  std::string rest() { return take(left_.size()); }

 private:
  std::string_view left_;
};

}  // namespace vorelia::fuzz
