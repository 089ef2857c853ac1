#include "plugin_scripts.h"

namespace vorelia::testing {

namespace {

const char* const ChooseDocument[] = {
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

const char* const KeywordTail[] = {
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

// "\"" and "\\" escaped, as in an AppleScript string literal.
std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string keywordScript(const std::vector<Record>& records) {
  const std::string indent(16, ' ');
  std::string script = indent + "set _analyses to {}\n" + indent;
  for (const Record& record : records) {
    script += "set end of _analyses to {voreliaKey:" + quoted(record.key) +
              ", voreliaTags:" + quoted(record.tags) +
              ", voreliaDescribe:" + quoted(record.description) + "}\n";
  }
  script += "\n" + indent;  // the body's empty first line, then its blank second line
  for (const char* line : ChooseDocument) script += "\n" + indent + line;
  for (const char* line : KeywordTail) script += "\n" + indent + line;
  return script;
}

std::string ratingsScript(const std::vector<std::string>& names, const std::string& property,
                          int value) {
  std::string list;
  for (const std::string& name : names) list += (list.empty() ? "" : ",") + quoted(name);
  const std::string v = std::to_string(value);
  std::string script = "set imagesToBeRated to {" + list + "}";
  for (const char* line : ChooseDocument) script += std::string("\n") + line;
  script += "\n\n\nrepeat with currentImage in images of current collection  of _currentDocument";
  script += "\n\nif count of variants of currentImage > 0 then";
  script += "\n    if " + property + " of ((item 1 of variants) of currentImage) = " + v + " then";
  script += "\n        set " + property + " of every variant of currentImage to 0";
  script += "\n    end if\nend if\n\nrepeat with imageToBeRated in imagesToBeRated\n\n";
  script += "if name of currentImage starts with imageToBeRated then\n";
  script += "set " + property + " of every variant of currentImage to " + v;
  script += "\n\nend if\nend repeat\nend repeat\nend tell";
  return script;
}

}  // namespace vorelia::testing
