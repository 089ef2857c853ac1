// Regular-expression predicate: does the whole text match the pattern, ignoring case (ICU syntax).
#pragma once

#include <string_view>

namespace vorelia::platform {

// True when the whole of text (UTF-8) matches pattern, case-insensitively. An invalid pattern, text
// that is not UTF-8, or a match that runs past a bounded amount of work gives false, so input of
// any length returns quickly. The bound counts steps of the match engine, not time, so the answer
// is the same on every machine. Any thread may call it.
bool regexMatches(std::string_view text, std::string_view pattern);

}  // namespace vorelia::platform
