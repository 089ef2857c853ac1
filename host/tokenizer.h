// Splitting a command line into arguments. Arguments are separated by white space; an argument that
// starts with '"' is a JSON string (so it may hold spaces and JSON escapes), one that starts with
// '[' or '{' is a JSON array or object that runs to its matching bracket. Anything else runs to the
// next white space.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vorelia::host {

// One argument as written, JSON quotes and brackets included.
struct Token {
  std::string text;

  // The argument as a plain string: a JSON string decoded, anything else as written. Returns
  // nullopt for a '"' argument that is not a valid JSON string.
  std::optional<std::string> string() const;
};

// Not a Result: a line that does not split still names its command, for the usage error.
struct TokenizeResult {
  std::vector<Token> tokens;  // on an error, the arguments before it
  std::string error;          // empty when the line split cleanly
};

// Splits line into tokens. A quoted string or bracket that is not closed, or text glued to the end
// of one (as in "a"b), is an error naming the column.
TokenizeResult tokenize(std::string_view line);

}  // namespace vorelia::host
