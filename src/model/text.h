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

// text in Unicode normalization form C, then lowercased with the full Unicode mapping of the root
// locale (not the user's): "Été 2019" and "été 2019" give the same bytes, and so do an "é" written
// as one character and as "e" with a combining accent; "STRASSE" ("strasse") and "Straße"
// ("straße") do not. Text that is not well-formed UTF-8 comes back unchanged.
std::string NormalizedLowercase(std::string_view text);

}  // namespace vorelia
