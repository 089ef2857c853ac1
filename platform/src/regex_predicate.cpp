#include "platform/regex_predicate.h"

#include <unicode/regex.h>
#include <unicode/unistr.h>
#include <unicode/utf8.h>

#include <cstdint>
#include <limits>
#include <optional>

namespace vorelia::platform {
namespace {

// Work bounds of one match. ICU counts the time limit in units of 10,000 steps of its match engine
// (not wall time), so a match gives the same answer on every machine. 100 units let the plugin's
// patterns finish on texts of 100,000 characters (also ones that backtrack over every character, or
// repeat a group 50,000 times) and stop a catastrophic backtrack after some tens of milliseconds.
constexpr int32_t kTimeLimitUnits = 100;

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

  // Each ICU call does nothing once status holds a failure (a pattern that does not compile, no
  // memory), so one check at the end covers them all: any failure reads as no match. matches() is
  // anchored at both ends: the whole text must match. A time-out sets status; so does running out
  // of backtracking stack (ICU's default bound, 8 MB, is kept).
  UErrorCode status = U_ZERO_ERROR;
  icu::RegexMatcher matcher(*unicodePattern, *unicodeText, UREGEX_CASE_INSENSITIVE, status);
  matcher.setTimeLimit(kTimeLimitUnits, status);
  const UBool matched = matcher.matches(status);
  return U_SUCCESS(status) && matched;
}

}  // namespace vorelia::platform
