// The words, strings, numbers and symbols of an AppleScript text, as far as the scripts the plugin
// sends to the host need them. Line feeds (and carriage returns) outside strings end a statement.
// String literals understand the escapes of AppleScript: \" \\ \n \r \t; any other escape, or a
// string that is not closed, is an error.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace vorelia::host {

enum class ScriptTokenKind {
  word,         // a name or keyword: letters, digits and '_', not starting with a digit
  string,       // a string literal; text holds its value with the escapes resolved
  integer,      // decimal digits
  symbol,       // any other single character
  placeholder,  // '$' and a word; only when lexing a template
};

struct ScriptToken {
  ScriptTokenKind kind = ScriptTokenKind::symbol;
  std::string text;
  int line = 0;  // 1-based line of the text where the token starts
};

// One statement: the tokens between two line breaks. Never empty.
struct ScriptLine {
  std::vector<ScriptToken> tokens;
  int line = 0;
};

// Splits text into statements, blank lines left out. With placeholders, "$name" is a placeholder
// token. Fails on a string that is not closed or an unknown escape, naming the line.
Result<std::vector<ScriptLine>> lexScript(std::string_view text, bool placeholders = false);

// The line written back as AppleScript source (strings quoted and escaped), for messages.
std::string sourceText(const ScriptLine& line);

}  // namespace vorelia::host
