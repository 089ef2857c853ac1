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

// text with full Unicode case folding (not tied to a locale), so that two names that differ only
// in letter case fold to the same bytes: "Été 2019" and "été 2019", "STRASSE" and "straße". Text
// that is not well-formed UTF-8 comes back unchanged.
std::string FoldedCase(std::string_view text);

}  // namespace vorelia
