// Name escaping on any name: the escaped name holds none of the ten unsafe characters, each of
// them grew by exactly two characters, and names without an underscore come back unchanged.
#include <algorithm>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "publish/name_escaping.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  constexpr std::string_view Unsafe = "& %\\\"/~+?'";
  const std::string_view name(reinterpret_cast<const char*>(data), size);
  const auto unsafe = std::count_if(
      name.begin(), name.end(), [&](char c) { return Unsafe.find(c) != std::string_view::npos; });

  const std::string escaped = vorelia::voreliaEscape(name);
  FUZZ_CHECK(escaped.find_first_of(Unsafe) == std::string::npos);
  FUZZ_CHECK(escaped.size() == name.size() + 2 * static_cast<std::size_t>(unsafe));

  const std::string unescaped = vorelia::voreliaUnescape(name);
  FUZZ_CHECK(unescaped.size() <= name.size());
  if (name.find('_') == std::string_view::npos) {
    FUZZ_CHECK(vorelia::voreliaUnescape(escaped) == name);
    FUZZ_CHECK(unescaped == name);  // without an underscore there is no code to replace
  }
  return 0;
}
