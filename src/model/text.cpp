#include "model/text.h"

#include <array>
#include <cctype>

namespace vorelia {
namespace {

// The UTF-8 encodings of the white space and line break characters beyond ASCII.
constexpr std::array<std::string_view, 19> UnicodeSpaces = {
    "\xc2\x85",     "\xc2\xa0",     "\xe1\x9a\x80", "\xe2\x80\x80", "\xe2\x80\x81",
    "\xe2\x80\x82", "\xe2\x80\x83", "\xe2\x80\x84", "\xe2\x80\x85", "\xe2\x80\x86",
    "\xe2\x80\x87", "\xe2\x80\x88", "\xe2\x80\x89", "\xe2\x80\x8a", "\xe2\x80\xa8",
    "\xe2\x80\xa9", "\xe2\x80\xaf", "\xe2\x81\x9f", "\xe3\x80\x80",
};

// The length of the space at the front (or back) of text, 0 when there is none.
std::size_t SpaceAt(std::string_view text, bool atFront) {
  if (text.empty()) return 0;
  const char edge = atFront ? text.front() : text.back();
  if (std::isspace(static_cast<unsigned char>(edge))) return 1;
  const auto matches = [&](std::string_view space) {
    return atFront ? text.starts_with(space) : text.ends_with(space);
  };
  for (auto space : UnicodeSpaces) {
    if (matches(space)) return space.size();
  }
  return 0;
}

}  // namespace

std::string TrimmingWhitespaceAndNewlines(std::string_view text) {
  while (const auto n = SpaceAt(text, true)) text.remove_prefix(n);
  while (const auto n = SpaceAt(text, false)) text.remove_suffix(n);
  return std::string(text);
}

std::string LowercasedAscii(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

}  // namespace vorelia
