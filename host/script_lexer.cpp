#include "script_lexer.h"

namespace vorelia::host {

namespace {

bool isWordStart(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isWordPart(char c) { return isWordStart(c) || isDigit(c); }

class Lexer {
 public:
  Lexer(std::string_view text, bool placeholders) : text_(text), placeholders_(placeholders) {}

  Result<std::vector<ScriptLine>> run() {
    while (pos_ < text_.size() && error_.empty()) step();
    if (!error_.empty()) return Failure{error_};
    endStatement();
    return std::move(lines_);
  }

 private:
  void step() {
    const char c = text_[pos_];
    if (c == '\n' || c == '\r') {
      endStatement();
      if (c == '\r' && pos_ + 1 < text_.size() && text_[pos_ + 1] == '\n') ++pos_;
      ++pos_;
      ++line_;
    } else if (c == ' ' || c == '\t') {
      ++pos_;
    } else if (c == '"') {
      readString();
    } else if (isWordStart(c)) {
      push(ScriptTokenKind::word, readWhile(isWordPart));
    } else if (isDigit(c)) {
      push(ScriptTokenKind::integer, readWhile(isDigit));
    } else if (c == '$' && placeholders_) {
      ++pos_;
      push(ScriptTokenKind::placeholder, readWhile(isWordPart));
    } else {
      push(ScriptTokenKind::symbol, std::string(1, c));
      ++pos_;
    }
  }

  std::string readWhile(bool (*accept)(char)) {
    const std::size_t start = pos_;
    while (pos_ < text_.size() && accept(text_[pos_])) ++pos_;
    return std::string(text_.substr(start, pos_ - start));
  }

  void readString() {
    const int startLine = line_;
    std::string value;
    ++pos_;  // the opening quote
    while (true) {
      if (pos_ >= text_.size()) {
        error_ = "line " + std::to_string(startLine) + ": the string is not closed";
        return;
      }
      const char c = text_[pos_++];
      if (c == '"') break;
      if (c == '\n') ++line_;
      if (c != '\\') {
        value += c;
        continue;
      }
      const char escaped = pos_ < text_.size() ? text_[pos_++] : '\0';
      switch (escaped) {
        case '"':
        case '\\':
          value += escaped;
          break;
        case 'n':
          value += '\n';
          break;
        case 'r':
          value += '\r';
          break;
        case 't':
          value += '\t';
          break;
        default:
          error_ = "line " + std::to_string(line_) + ": unknown escape in a string";
          return;
      }
    }
    current_.tokens.push_back(ScriptToken{ScriptTokenKind::string, std::move(value), startLine});
    if (current_.line == 0) current_.line = startLine;
  }

  void push(ScriptTokenKind kind, std::string text) {
    if (current_.tokens.empty()) current_.line = line_;
    current_.tokens.push_back(ScriptToken{kind, std::move(text), line_});
  }

  void endStatement() {
    if (!current_.tokens.empty()) lines_.push_back(std::move(current_));
    current_ = ScriptLine{};
  }

  std::string_view text_;
  bool placeholders_;
  std::size_t pos_ = 0;
  int line_ = 1;
  ScriptLine current_;
  std::vector<ScriptLine> lines_;  // blank lines left out
  std::string error_;              // empty while the text reads well
};

}  // namespace

Result<std::vector<ScriptLine>> lexScript(std::string_view text, bool placeholders) {
  return Lexer(text, placeholders).run();
}

std::string sourceText(const ScriptLine& line) {
  std::string text;
  const ScriptToken* previous = nullptr;
  for (const ScriptToken& token : line.tokens) {
    // One space between tokens, none inside brackets or before a comma or colon.
    const auto isSymbol = [](const ScriptToken& t, std::string_view any) {
      return t.kind == ScriptTokenKind::symbol && any.find(t.text) != std::string_view::npos;
    };
    if (previous != nullptr && !isSymbol(*previous, "{(:") && !isSymbol(token, "}),:")) text += ' ';
    switch (token.kind) {
      case ScriptTokenKind::string:
        text += '"';
        for (const char c : token.text) {
          if (c == '"' || c == '\\') text += '\\';
          text += c;
        }
        text += '"';
        break;
      case ScriptTokenKind::placeholder:
        text += "$" + token.text;
        break;
      default:
        text += token.text;
    }
    previous = &token;
  }
  return text;
}

}  // namespace vorelia::host
