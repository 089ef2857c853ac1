// Reading the two kinds of AppleScript the plugin sends to the host, and nothing else: the keyword
// script of auto-tagging (its records of key, tags and description) and the ratings script of
// proofing (the names to mark, the property and its value). A script is accepted when its
// statements are exactly those the plugin writes, blank lines and indentation aside; the texts it
// carries are string literals, read with their escapes.
#pragma once

#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "result.h"

namespace vorelia::host {

// One analysed image: catalogue images whose names start with key get the keyword tags (when not
// empty) and the content description (when not empty).
struct KeywordRecord {
  std::string key;
  std::string tags;
  std::string description;
};

struct KeywordScript {
  std::vector<KeywordRecord> records;  // in the order of the script
};

// Which mark a ratings script sets: the star rating (0 to 5) or the colour tag (0 to 7, 0 none).
enum class Mark { rating, colorTag };

// Every image whose first variant holds resetValue has the mark cleared to 0; then every image
// whose name starts with one of names gets markValue.
struct RatingsScript {
  std::vector<std::string> names;
  Mark mark = Mark::rating;
  int resetValue = 0;
  int markValue = 0;
};

using HostScript = std::variant<KeywordScript, RatingsScript>;

// Reads text as one of the two scripts. The failure of a refused text names the first statement
// that differs from the closest of the two and what was expected there.
Result<HostScript> readHostScript(std::string_view text);

}  // namespace vorelia::host
