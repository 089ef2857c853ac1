// Small text helpers for what users type.
#pragma once

#include <string>
#include <string_view>

namespace vorelia {

// text without white space and line breaks at either end (ASCII and Unicode spaces, tabs, line
// and paragraph separators).
std::string TrimmingWhitespaceAndNewlines(std::string_view text);

// text with ASCII letters in lower case; other characters unchanged.
std::string LowercasedAscii(std::string_view text);

}  // namespace vorelia
