#include "tokenizer.h"

#include <cctype>

#include <nlohmann/json.hpp>

namespace vorelia::host {

namespace {

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// The index just past the string that opens at line[start] == '"', or npos when it is not closed.
std::size_t endOfString(std::string_view line, std::size_t start) {
  for (std::size_t i = start + 1; i < line.size(); ++i) {
    if (line[i] == '\\') {
      ++i;
    } else if (line[i] == '"') {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

// The index just past the bracket that matches the one at line[start], or npos. Brackets inside
// strings do not count.
std::size_t endOfBrackets(std::string_view line, std::size_t start) {
  int depth = 0;
  for (std::size_t i = start; i < line.size(); ++i) {
    const char c = line[i];
    if (c == '"') {
      const std::size_t end = endOfString(line, i);
      if (end == std::string_view::npos) return end;
      i = end - 1;
    } else if (c == '[' || c == '{') {
      ++depth;
    } else if ((c == ']' || c == '}') && --depth == 0) {
      return i + 1;
    }
  }
  return std::string_view::npos;
}

}  // namespace

std::optional<std::string> Token::string() const {
  if (text.empty() || text.front() != '"') return text;
  const nlohmann::json parsed = nlohmann::json::parse(text, nullptr, false);
  if (!parsed.is_string()) return std::nullopt;
  return parsed.get<std::string>();
}

TokenizeResult tokenize(std::string_view line) {
  TokenizeResult result;
  std::size_t i = 0;
  while (true) {
    while (i < line.size() && isSpace(line[i])) ++i;
    if (i == line.size()) return result;
    const std::size_t start = i;
    const char first = line[i];
    if (first == '"' || first == '[' || first == '{') {
      i = first == '"' ? endOfString(line, start) : endOfBrackets(line, start);
      if (i == std::string_view::npos) {
        result.error =
            "unclosed " + std::string(1, first) + " at column " + std::to_string(start + 1);
        return result;
      }
      if (i < line.size() && !isSpace(line[i])) {
        result.error = "unexpected text after the argument at column " + std::to_string(start + 1);
        return result;
      }
    } else {
      while (i < line.size() && !isSpace(line[i])) ++i;
    }
    result.tokens.push_back(Token{std::string(line.substr(start, i - start))});
  }
}

}  // namespace vorelia::host
