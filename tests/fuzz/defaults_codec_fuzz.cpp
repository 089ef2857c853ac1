// The user-defaults file on any bytes: a corrupt file decodes to nothing rather than crashing, and
// what does decode is written again as text that decodes to the same values. Any date that the
// defaults can hold (the first eight bytes, as nanoseconds) reads back from its text exactly.
#include <cstring>
#include <string_view>

#include "defaults_codec.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vorelia::platform;
  if (size >= sizeof(std::int64_t)) {
    std::int64_t nanoseconds = 0;
    std::memcpy(&nanoseconds, data, sizeof nanoseconds);
    const Date date{
        std::chrono::duration_cast<Date::duration>(std::chrono::nanoseconds(nanoseconds))};
    FUZZ_CHECK(parseDate(formatDate(date)) == date);
  }

  const auto values = decodeDefaults(std::string_view(reinterpret_cast<const char*>(data), size));
  if (!values) return 0;
  const std::string text = encodeDefaults(*values);
  const auto again = decodeDefaults(text);
  // Compared as text: a double that is not a number is not equal to itself.
  FUZZ_CHECK(again && again->size() == values->size() && encodeDefaults(*again) == text);
  return 0;
}
