#include "platform/regex_predicate.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <limits>
#include <memory>
#include <optional>

namespace vorelia::platform {
namespace {

// Work bounds of one match. ICU counts the time limit in units of 10,000 steps of its match engine
// (not wall time), so a match gives the same answer on every machine. 100 units let the plugin's
// patterns finish on texts of 100,000 characters (also ones that backtrack over every character, or
// repeat a group 50,000 times) and stop a catastrophic backtrack after some tens of milliseconds.
constexpr int32_t kTimeLimitUnits = 100;
// Bytes of backtracking stack one match may use.
constexpr int32_t kStackLimitBytes = 8 * 1024 * 1024;

bool isUtf8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
  const auto length = static_cast<int32_t>(text.size());
  for (int32_t i = 0; i < length;) {
    UChar32 c = 0;
    U8_NEXT(bytes, i, length, c);
    if (c < 0) return false;
  }
  return true;
}

std::optional<icu::UnicodeString> fromUtf8(std::string_view text) {
  if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()) || !isUtf8(text)) {
    return std::nullopt;
  }
  return icu::UnicodeString::fromUTF8(
      icu::StringPiece(text.data(), static_cast<int32_t>(text.size())));
}

}  // namespace

bool regexMatches(std::string_view text, std::string_view pattern) {
  const auto unicodeText = fromUtf8(text);
  const auto unicodePattern = fromUtf8(pattern);
  if (!unicodeText || !unicodePattern) return false;

  UErrorCode status = U_ZERO_ERROR;
  UParseError where{};
  std::unique_ptr<icu::RegexPattern> compiled(
      icu::RegexPattern::compile(*unicodePattern, UREGEX_CASE_INSENSITIVE, where, status));
  if (U_FAILURE(status) || !compiled) return false;

  std::unique_ptr<icu::RegexMatcher> matcher(compiled->matcher(*unicodeText, status));
  if (U_FAILURE(status) || !matcher) return false;
  matcher->setTimeLimit(kTimeLimitUnits, status);
  matcher->setStackLimit(kStackLimitBytes, status);
  if (U_FAILURE(status)) return false;

  // matches() is anchored at both ends: the whole text must match. A time-out or a stack overflow
  // sets status and reads as no match.
  const UBool matched = matcher->matches(status);
  return U_SUCCESS(status) && matched;
}

}  // namespace vorelia::platform
