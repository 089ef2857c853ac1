// The AppleScript documents that write results back into the host's catalogue: the keyword script
// of auto-tagging (keywords and content descriptions, one record per tagged image) and the ratings
// script of proofing (a star rating or a colour tag on the images a client rated). Every text
// that comes from the service is inserted as a string literal, escaped, so it can never end the
// literal or add a command to the script.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace vorelia {

// text as the inside of an AppleScript string literal: each '"' becomes \" and each '\' becomes
// \\; everything else (line breaks and non-ASCII included) stays as it is.
std::string appleScriptLiteralText(std::string_view text);

// One record line of the keyword script:
//   set end of _analyses to {voreliaKey:"KEY", voreliaTags:"TAGS", voreliaDescribe:"DESCRIPTION"}
// followed by a line feed, with the three texts escaped. key is the exported file's base name and
// a full stop; tags is each keyword followed by ";"; either of tags and description may be empty.
std::string keywordRecord(std::string_view key, std::string_view tags,
                          std::string_view description);

// The whole keyword script around recordText (record lines, concatenated in analysis order). It
// picks the target document (the first, or the user's choice when several are open), tags every
// variant of each image whose name starts with a record's key, and posts a notification.
std::string keywordScript(std::string_view recordText);

// What the ratings script sets for a rating choice: a property of the variants and its value.
struct RatingMark {
  std::string property;  // "rating" or "color tag"
  int value = 0;
};
// "1" to "5": rating 1 to 5; "Red", "Orange", "Yellow", "Green", "Blue", "Pink", "Purple": colour
// tag 1 to 7; any other text: colour tag 4 (green).
RatingMark ratingMark(std::string_view taggingOption);

// The ratings script: marks every image of the target document's current collection whose name
// starts with one of entries (a rated item's base name and a full stop) with the choice's mark,
// after clearing that mark from images whose first variant carried it.
std::string ratingsScript(const std::vector<std::string>& entries, std::string_view taggingOption);

}  // namespace vorelia
