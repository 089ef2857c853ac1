#include "host_script.h"

#include <charconv>
#include <map>
#include <optional>

#include "script_lexer.h"

namespace vorelia::host {

namespace {

// The statements of the two scripts, as the plugin writes them. A placeholder stands for what
// varies: $key, $tags, $description one string each; $names a comma-separated list of strings;
// $mark the property "rating" or "color tag" (the same at each use); $reset and $value a whole
// number. A statement starting with '*' may occur any number of times, including none.

// Picking the document to work on: the first, or the one chosen when several are open.
constexpr const char* ChooseDocument =
    "tell application \"Capture One 12\"\n"
    "set _currentDocument to item 1 of documents\n"
    "if (count of documents) > 1 then\n"
    "set _docNames to {}\n"
    "repeat with _document1 in documents\n"
    "set end of _docNames to name of _document1\n"
    "end repeat\n"
    "set _defaultName to item 1 of _docNames\n"
    "set _docName to choose from list _docNames with prompt \"Select your catalog or session:\" "
    "default items {_defaultName}\n"
    "repeat with _document2 in documents\n"
    "set _name to name of _document2\n"
    "if (_name as string) = (_docName as string) then\n"
    "set _currentDocument to _document2\n"
    "end if\n"
    "end repeat\n"
    "end if\n";

constexpr const char* KeywordHead =
    "set _analyses to {}\n"
    "*set end of _analyses to {voreliaKey:$key, voreliaTags:$tags, voreliaDescribe:$description}\n";

constexpr const char* KeywordBody =
    "repeat with _image in images of current collection of _currentDocument\n"
    "repeat with _analysis in _analyses\n"
    "set _key to voreliaKey of _analysis\n"
    "set _keywords to voreliaTags of _analysis\n"
    "set _describe to voreliaDescribe of _analysis\n"
    "if name of _image starts with _key then\n"
    "repeat with _variant in variants of _image\n"
    "if _keywords is not equal to \"\" then\n"
    "tell _variant to make keyword with properties {name:_keywords}\n"
    "end if\n"
    "if _describe is not equal to \"\" then\n"
    "set content description of _variant to _describe\n"
    "end if\n"
    "end repeat\n"
    "end if\n"
    "end repeat\n"
    "end repeat\n"
    "display notification \"All images have been tagged.\" with title \"Vorelia Auto Tagging "
    "Script\" subtitle \"Tagging is complete.\" sound name \"Frog\"\n"
    "end tell\n";

constexpr const char* RatingsHead = "set imagesToBeRated to {$names}\n";

constexpr const char* RatingsBody =
    "repeat with currentImage in images of current collection of _currentDocument\n"
    "if count of variants of currentImage > 0 then\n"
    "if $mark of ((item 1 of variants) of currentImage) = $reset then\n"
    "set $mark of every variant of currentImage to 0\n"
    "end if\n"
    "end if\n"
    "repeat with imageToBeRated in imagesToBeRated\n"
    "if name of currentImage starts with imageToBeRated then\n"
    "set $mark of every variant of currentImage to $value\n"
    "end if\n"
    "end repeat\n"
    "end repeat\n"
    "end tell\n";

struct TemplateLine {
  ScriptLine line;
  bool repeats = false;
};

std::vector<TemplateLine> compile(const std::string& text) {
  std::vector<TemplateLine> lines;
  Result<std::vector<ScriptLine>> lexed = lexScript(text, true);  // ours: it always reads
  for (ScriptLine& line : *lexed) {
    TemplateLine compiled;
    if (line.tokens.front().kind == ScriptTokenKind::symbol && line.tokens.front().text == "*") {
      compiled.repeats = true;
      line.tokens.erase(line.tokens.begin());
    }
    compiled.line = std::move(line);
    lines.push_back(std::move(compiled));
  }
  return lines;
}

// What the placeholders of one script took.
struct Captures {
  std::map<std::string, std::string> values;  // $mark, $reset, $value, and the last record's
  std::vector<std::string> names;             // $names
  std::vector<KeywordRecord> records;         // one per repeated record statement
};

bool same(const ScriptToken& a, const ScriptToken& b) {
  return a.kind == b.kind && a.text == b.text;
}

// Matches one statement against one template statement, adding to captures. Returns false (and
// leaves captures partly filled) when they differ.
bool matchLine(const ScriptLine& pattern, const ScriptLine& line, Captures& captures) {
  const std::vector<ScriptToken>& t = line.tokens;
  std::size_t j = 0;
  const auto at = [&](std::size_t k, ScriptTokenKind kind) {
    return k < t.size() && t[k].kind == kind;
  };
  const auto isSymbol = [&](std::size_t k, const char* text) {
    return at(k, ScriptTokenKind::symbol) && t[k].text == text;
  };
  const auto bind = [&](const std::string& name, const std::string& value) {
    const auto [it, inserted] = captures.values.emplace(name, value);
    return inserted || it->second == value;
  };
  for (const ScriptToken& expected : pattern.tokens) {
    if (expected.kind != ScriptTokenKind::placeholder) {
      if (j >= t.size() || !same(expected, t[j])) return false;
      ++j;
    } else if (expected.text == "names") {
      while (at(j, ScriptTokenKind::string)) {
        captures.names.push_back(t[j++].text);
        if (!isSymbol(j, ",") || !at(j + 1, ScriptTokenKind::string)) break;
        ++j;
      }
    } else if (expected.text == "mark") {
      std::string mark;
      if (at(j, ScriptTokenKind::word) && t[j].text == "rating") {
        mark = "rating";
        j += 1;
      } else if (at(j, ScriptTokenKind::word) && t[j].text == "color" &&
                 at(j + 1, ScriptTokenKind::word) && t[j + 1].text == "tag") {
        mark = "color tag";
        j += 2;
      } else {
        return false;
      }
      if (!bind("mark", mark)) return false;
    } else if (expected.text == "reset" || expected.text == "value") {
      if (!at(j, ScriptTokenKind::integer) || !bind(expected.text, t[j].text)) return false;
      ++j;
    } else {  // key, tags, description
      if (!at(j, ScriptTokenKind::string)) return false;
      captures.values[expected.text] = t[j++].text;
    }
  }
  return j == t.size();
}

std::string shortened(std::string text) {
  constexpr std::size_t Limit = 120;
  if (text.size() > Limit) text = text.substr(0, Limit) + "...";
  return text;
}

struct MatchResult {
  bool matched = false;
  std::size_t reached = 0;  // statements matched before the first difference
  std::string error;
  Captures captures;
};

MatchResult match(const std::vector<TemplateLine>& pattern, const std::vector<ScriptLine>& lines) {
  MatchResult result;
  std::size_t i = 0;
  for (const TemplateLine& expected : pattern) {
    if (expected.repeats) {
      while (i < lines.size()) {
        Captures attempt = result.captures;
        if (!matchLine(expected.line, lines[i], attempt)) break;
        attempt.records.push_back(KeywordRecord{attempt.values["key"], attempt.values["tags"],
                                                attempt.values["description"]});
        result.captures = std::move(attempt);
        ++i;
      }
      continue;
    }
    if (i >= lines.size()) {
      result.reached = i;
      result.error =
          "the script ends where `" + shortened(sourceText(expected.line)) + "` was expected";
      return result;
    }
    if (!matchLine(expected.line, lines[i], result.captures)) {
      result.reached = i;
      result.error = "line " + std::to_string(lines[i].line) + " reads `" +
                     shortened(sourceText(lines[i])) + "` where `" +
                     shortened(sourceText(expected.line)) + "` was expected";
      return result;
    }
    ++i;
  }
  result.reached = i;
  if (i < lines.size()) {
    result.error = "line " + std::to_string(lines[i].line) + " reads `" +
                   shortened(sourceText(lines[i])) + "` after the end of the script";
    return result;
  }
  result.matched = true;
  return result;
}

std::optional<int> wholeNumber(const std::string& text) {
  int value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// The ratings script from its captures, or an error for a value the catalogue cannot hold.
Result<HostScript> ratingsFrom(Captures& captures) {
  RatingsScript ratings;
  ratings.names = std::move(captures.names);
  ratings.mark = captures.values["mark"] == "rating" ? Mark::rating : Mark::colorTag;
  const int highest = ratings.mark == Mark::rating ? 5 : 7;
  const char* what = ratings.mark == Mark::rating ? "rating" : "color tag";
  for (const char* name : {"reset", "value"}) {
    const std::optional<int> value = wholeNumber(captures.values[name]);
    if (!value || *value > highest) {
      return Failure{std::string("the ") + what + " " + captures.values[name] +
                     " is not one the catalogue holds (0 to " + std::to_string(highest) + ")"};
    }
    (std::string_view(name) == "reset" ? ratings.resetValue : ratings.markValue) = *value;
  }
  return HostScript{std::move(ratings)};
}

}  // namespace

Result<HostScript> readHostScript(std::string_view text) {
  static const std::vector<TemplateLine> keywordPattern =
      compile(std::string(KeywordHead) + ChooseDocument + KeywordBody);
  static const std::vector<TemplateLine> ratingsPattern =
      compile(std::string(RatingsHead) + ChooseDocument + RatingsBody);

  if (text.starts_with("\xEF\xBB\xBF")) text.remove_prefix(3);  // a UTF-8 byte order mark
  const Result<std::vector<ScriptLine>> lexed = lexScript(text);
  if (!lexed) return Failure{lexed.error()};

  MatchResult keywords = match(keywordPattern, *lexed);
  if (keywords.matched) {
    return HostScript{KeywordScript{std::move(keywords.captures.records)}};
  }
  MatchResult ratings = match(ratingsPattern, *lexed);
  if (ratings.matched) return ratingsFrom(ratings.captures);

  const MatchResult& closer = ratings.reached > keywords.reached ? ratings : keywords;
  return Failure{"not a script this host runs: " + closer.error};
}

}  // namespace vorelia::host
