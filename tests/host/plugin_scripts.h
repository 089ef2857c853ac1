// The two scripts the plugin hands to the host, byte for byte as the plugin writes them, for
// feeding cohost-osascript in tests. Texts are escaped for AppleScript string literals.
#pragma once

#include <string>
#include <vector>

namespace vorelia::testing {

struct Record {
  std::string key;
  std::string tags;
  std::string description;
};

std::string keywordScript(const std::vector<Record>& records);

// property is "rating" or "color tag".
std::string ratingsScript(const std::vector<std::string>& names, const std::string& property,
                          int value);

}  // namespace vorelia::testing
