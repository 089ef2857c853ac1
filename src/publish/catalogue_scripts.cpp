#include "publish/catalogue_scripts.h"

#include <array>
#include <iterator>
#include <utility>

namespace vorelia {
namespace {

// Both scripts start by addressing the host and picking the target document: the first open one,
// or the one the user chooses when several are open.
constexpr std::array<std::string_view, 23> ChooseDocumentLines = {
    "tell application \"Capture One 12\"",
    "",
    "set _currentDocument to item 1 of documents",
    "",
    "if (count of documents) > 1 then",
    "",
    "set _docNames to {}",
    "",
    "repeat with _document1 in documents",
    "set end of _docNames to name of _document1",
    "end repeat",
    "",
    "set _defaultName to item 1 of _docNames",
    "set _docName to choose from list _docNames with prompt \"Select your catalog or session:\" "
    "default items {_defaultName}",
    "",
    "repeat with _document2 in documents",
    "",
    "set _name to name of _document2",
    "if (_name as string) = (_docName as string) then",
    "set _currentDocument to _document2",
    "end if",
    "end repeat",
    "end if",
};

// The keyword script's lines after the records and the document choice, without their indentation
// of 16 spaces; each empty string is a line of the 16 spaces alone.
constexpr std::array<std::string_view, 32> KeywordBodyLines = {
    "",
    "",
    "",
    "repeat with _image in images of current collection of _currentDocument",
    "",
    "repeat with _analysis in _analyses",
    "",
    "set _key to voreliaKey of _analysis",
    "set _keywords to voreliaTags of _analysis",
    "set _describe to voreliaDescribe of _analysis",
    "",
    "if name of _image starts with _key then",
    "",
    "",
    "repeat with _variant in variants of _image",
    "if _keywords is not equal to \"\" then",
    "tell _variant to make keyword with properties {name:_keywords}",
    "end if",
    "if _describe is not equal to \"\" then",
    "set content description of _variant to _describe",
    "end if",
    "end repeat",
    "",
    "",
    "end if",
    "end repeat",
    "",
    "end repeat",
    "",
    "display notification \"All images have been tagged.\" with title \"Vorelia Auto Tagging "
    "Script\" subtitle \"Tagging is complete.\" sound name \"Frog\"",
    "",
    "end tell",
};

constexpr std::string_view Indent = "                ";  // 16 spaces

}  // namespace

std::string appleScriptLiteralText(std::string_view text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    if (c == '"' || c == '\\') escaped.push_back('\\');
    escaped.push_back(c);
  }
  return escaped;
}

std::string keywordRecord(std::string_view key, std::string_view tags,
                          std::string_view description) {
  return "set end of _analyses to {voreliaKey:\"" + appleScriptLiteralText(key) +
         "\", voreliaTags:\"" + appleScriptLiteralText(tags) + "\", voreliaDescribe:\"" +
         appleScriptLiteralText(description) + "\"}\n";
}

std::string keywordScript(std::string_view recordText) {
  std::string script;
  script.append(Indent).append("set _analyses to {}\n").append(Indent).append(recordText);
  script.append("\n").append(Indent);  // the body starts with a line of the indentation alone
  for (const auto line : ChooseDocumentLines) script.append("\n").append(Indent).append(line);
  for (const auto line : KeywordBodyLines) script.append("\n").append(Indent).append(line);
  return script;
}

RatingMark ratingMark(std::string_view taggingOption) {
  static constexpr std::array<std::pair<std::string_view, int>, 5> Stars = {
      {{"1", 1}, {"2", 2}, {"3", 3}, {"4", 4}, {"5", 5}}};
  static constexpr std::array<std::pair<std::string_view, int>, 7> Colours = {{{"Red", 1},
                                                                               {"Orange", 2},
                                                                               {"Yellow", 3},
                                                                               {"Green", 4},
                                                                               {"Blue", 5},
                                                                               {"Pink", 6},
                                                                               {"Purple", 7}}};
  for (const auto& [option, value] : Stars) {
    if (taggingOption == option) return {"rating", value};
  }
  for (const auto& [option, value] : Colours) {
    if (taggingOption == option) return {"color tag", value};
  }
  return {"color tag", 4};
}

std::string ratingsScript(const std::vector<std::string>& entries, std::string_view taggingOption) {
  std::string list;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    list += (i == 0 ? "\"" : ",\"") + appleScriptLiteralText(entries[i]) + "\"";
  }
  const auto [p, number] = ratingMark(taggingOption);
  const std::string v = std::to_string(number);
  std::vector<std::string> lines = {"set imagesToBeRated to {" + list + "}"};
  lines.insert(lines.end(), ChooseDocumentLines.begin(), ChooseDocumentLines.end());
  const std::string markLines[] = {
      "",
      "",
      "repeat with currentImage in images of current collection  of _currentDocument",
      "",
      "if count of variants of currentImage > 0 then",
      "    if " + p + " of ((item 1 of variants) of currentImage) = " + v + " then",
      "        set " + p + " of every variant of currentImage to 0",
      "    end if",
      "end if",
      "",
      "repeat with imageToBeRated in imagesToBeRated",
      "",
      "if name of currentImage starts with imageToBeRated then",
      "set " + p + " of every variant of currentImage to " + v,
      "",
      "end if",
      "end repeat",
      "end repeat",
      "end tell",
  };
  lines.insert(lines.end(), std::begin(markLines), std::end(markLines));
  std::string script;
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (i > 0) script.push_back('\n');
    script += lines[i];
  }
  return script;
}

}  // namespace vorelia
