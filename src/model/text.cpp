#include "model/text.h"

#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <array>
#include <cctype>
#include <climits>

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

std::string NormalizedLowercase(std::string_view text) {
  if (text.empty() || text.size() > INT32_MAX / 9) return std::string(text);
  const auto length = static_cast<int32_t>(text.size());
  // UTF-8 to UTF-16 never needs more units than bytes; ill-formed input fails the conversion.
  std::u16string wide(text.size(), u'\0');
  UErrorCode status = U_ZERO_ERROR;
  int32_t wideLength = 0;
  u_strFromUTF8(wide.data(), length, &wideLength, text.data(), length, &status);
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  if (U_FAILURE(status)) return std::string(text);
  // Composing never lengthens text by more than three times.
  std::u16string composed(static_cast<std::size_t>(wideLength) * 3, u'\0');
  const int32_t composedLength = unorm2_normalize(nfc, wide.data(), wideLength, composed.data(),
                                                  static_cast<int32_t>(composed.size()), &status);
  // Lowercasing may lengthen the text ("İ" becomes "i" and a combining dot), by three times at
  // most.
  std::u16string lower(static_cast<std::size_t>(composedLength) * 3, u'\0');
  const int32_t lowerLength = u_strToLower(lower.data(), static_cast<int32_t>(lower.size()),
                                           composed.data(), composedLength, "", &status);
  if (U_FAILURE(status)) return std::string(text);
  // Each UTF-16 unit needs at most three bytes of UTF-8.
  std::string result(static_cast<std::size_t>(lowerLength) * 3, '\0');
  int32_t resultLength = 0;
  u_strToUTF8(result.data(), static_cast<int32_t>(result.size()), &resultLength, lower.data(),
              lowerLength, &status);
  if (U_FAILURE(status)) return std::string(text);
  result.resize(static_cast<std::size_t>(resultLength));
  return result;
}

}  // namespace vorelia
