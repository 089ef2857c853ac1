// Item names on the service: ten characters that are unsafe in item names and storage paths are
// replaced by three-character codes ("&" -> "_1_", space -> "___", "%" -> "_3_", "\" -> "_4_",
// '"' -> "_5_", "/" -> "_6_", "~" -> "_7_", "+" -> "_8_", "?" -> "_9_", "'" -> "_a_"), and back.
#pragma once

#include <string>
#include <string_view>

namespace vorelia {

// Applies the codes in table order, each step working on the text of the one before.
std::string voreliaEscape(std::string_view name);

// The inverse of voreliaEscape for names without underscores: a name that is the escape of an
// underscore-free name gives that name. Any other name has each code replaced by its character,
// in the same order, searching from the start without overlap; so a code already in a name comes
// back as its character.
std::string voreliaUnescape(std::string_view name);

}  // namespace vorelia
