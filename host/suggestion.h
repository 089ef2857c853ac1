// Helping a user who mistyped a name: the closest known name and a readable list of them.
#pragma once

#include <string>
#include <vector>

namespace vorelia::host {

// " (did you mean \"NAME\"?)" for the known name closest to given when it is a near miss (a few
// letters added, dropped, changed or swapped, letter case ignored); otherwise empty.
std::string didYouMean(const std::string& given, const std::vector<std::string>& known);

// The names separated by ", ", or "none".
std::string listOf(const std::vector<std::string>& names);

}  // namespace vorelia::host
