#include "publish/catalogue_scripts.h"

#include <gtest/gtest.h>

#include <sstream>

namespace vorelia {
namespace {

// How both scripts address the host and pick the target document, one line per line.
const std::string ChooseDocument = R"(tell application "Capture One 12"

set _currentDocument to item 1 of documents

if (count of documents) > 1 then

set _docNames to {}

repeat with _document1 in documents
set end of _docNames to name of _document1
end repeat

set _defaultName to item 1 of _docNames
set _docName to choose from list _docNames with prompt "Select your catalog or session:" default items {_defaultName}

repeat with _document2 in documents

set _name to name of _document2
if (_name as string) = (_docName as string) then
set _currentDocument to _document2
end if
end repeat
end if)";

// The keyword script after the records, one line per line and without the 16 spaces that start
// every line.
const std::string KeywordBody = "\n\n" + ChooseDocument + R"(



repeat with _image in images of current collection of _currentDocument

repeat with _analysis in _analyses

set _key to voreliaKey of _analysis
set _keywords to voreliaTags of _analysis
set _describe to voreliaDescribe of _analysis

if name of _image starts with _key then


repeat with _variant in variants of _image
if _keywords is not equal to "" then
tell _variant to make keyword with properties {name:_keywords}
end if
if _describe is not equal to "" then
set content description of _variant to _describe
end if
end repeat


end if
end repeat

end repeat

display notification "All images have been tagged." with title "Vorelia Auto Tagging Script" subtitle "Tagging is complete." sound name "Frog"

end tell)";

// Every line after the first gets the 16 spaces in front.
std::string indented(const std::string& lines) {
  std::string out;
  for (const char c : lines) {
    out.push_back(c);
    if (c == '\n') out.append(16, ' ');
  }
  return out;
}

const std::string Spaces(16, ' ');

TEST(KeywordScript, IsTheHeadTheRecordsAndTheBodyByteForByte) {
  const std::string one = keywordRecord("IMG_0001.", "dog;beach;", "");
  EXPECT_EQ(one,
            "set end of _analyses to {voreliaKey:\"IMG_0001.\", voreliaTags:\"dog;beach;\", "
            "voreliaDescribe:\"\"}\n");
  const std::string two = keywordRecord("l'été.", "", "A dog on a beach");
  const std::string head = Spaces + "set _analyses to {}\n" + Spaces;
  const std::string body = indented(KeywordBody);
  ASSERT_EQ(head.size(), 52u);
  ASSERT_EQ(body.size(), 2178u);

  EXPECT_EQ(keywordScript(one), head + one + body);
  EXPECT_EQ(keywordScript(one + two), head + one + two + body);

  // The first record follows the head's spaces on the second line.
  std::istringstream lines(keywordScript(one));
  std::string line;
  std::getline(lines, line);
  std::getline(lines, line);
  EXPECT_EQ(line, Spaces + one.substr(0, one.size() - 1));
}

// Reads the AppleScript string literals of a record line the way the language does, and the text
// between them. A text that broke out of its literal shows up as extra literals or code.
struct Parsed {
  std::vector<std::string> literals;
  std::vector<std::string> between;
};
Parsed parseLiterals(const std::string& line) {
  Parsed parsed{{}, {""}};
  bool inside = false;
  for (std::size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (!inside) {
      if (c == '"') {
        inside = true;
        parsed.literals.emplace_back();
      } else {
        parsed.between.back().push_back(c);
      }
    } else if (c == '\\' && i + 1 < line.size()) {
      parsed.literals.back().push_back(line[++i]);
    } else if (c == '"') {
      inside = false;
      parsed.between.emplace_back();
    } else {
      parsed.literals.back().push_back(c);
    }
  }
  return parsed;
}

TEST(KeywordScript, ServiceTextStaysInsideItsStringLiteral) {
  struct Case {
    std::string key, tags, description;
  };
  const Case cases[] = {
      {"IMG_0001.", "dog;", R"(x" & (do shell script "touch /tmp/pwned") & ")"},
      {R"(a"b.)", R"(back\slash;"quoted";)", R"(ends with a backslash \)"},
      {R"(\".)", R"(\\;)", "line one\nline two, été"},
  };
  for (const auto& c : cases) {
    const std::string record = keywordRecord(c.key, c.tags, c.description);
    SCOPED_TRACE(record);
    const auto parsed = parseLiterals(record);
    ASSERT_EQ(parsed.literals.size(), 3u);
    EXPECT_EQ(parsed.literals[0], c.key);
    EXPECT_EQ(parsed.literals[1], c.tags);
    EXPECT_EQ(parsed.literals[2], c.description);
    EXPECT_EQ(parsed.between,
              (std::vector<std::string>{"set end of _analyses to {voreliaKey:", ", voreliaTags:",
                                        ", voreliaDescribe:", "}\n"}));
  }
  EXPECT_EQ(appleScriptLiteralText(R"(x" & "\)"), R"(x\" & \"\\)");
}

TEST(RatingsScript, IsTheLinesOfTheChoiceByteForByte) {
  const std::string expected = R"(set imagesToBeRated to {"Beach_01.","Say \"cheese\"."}
)" + ChooseDocument + R"(


repeat with currentImage in images of current collection  of _currentDocument

if count of variants of currentImage > 0 then
    if color tag of ((item 1 of variants) of currentImage) = 6 then
        set color tag of every variant of currentImage to 0
    end if
end if

repeat with imageToBeRated in imagesToBeRated

if name of currentImage starts with imageToBeRated then
set color tag of every variant of currentImage to 6

end if
end repeat
end repeat
end tell)";
  EXPECT_EQ(ratingsScript({"Beach_01.", R"(Say "cheese".)"}, "Pink"), expected);
}

TEST(RatingsScript, EachChoiceSetsItsPropertyAndValue) {
  const std::pair<const char*, RatingMark> cases[] = {
      {"1", {"rating", 1}},         {"5", {"rating", 5}},         {"Red", {"color tag", 1}},
      {"Orange", {"color tag", 2}}, {"Yellow", {"color tag", 3}}, {"Green", {"color tag", 4}},
      {"Blue", {"color tag", 5}},   {"Purple", {"color tag", 7}}, {"6", {"color tag", 4}},
      {"red", {"color tag", 4}},    {"", {"color tag", 4}},
  };
  for (const auto& [option, mark] : cases) {
    SCOPED_TRACE(option);
    EXPECT_EQ(ratingMark(option).property, mark.property);
    EXPECT_EQ(ratingMark(option).value, mark.value);
  }
}

}  // namespace
}  // namespace vorelia
