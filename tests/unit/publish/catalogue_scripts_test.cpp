// The scripts through which tags and ratings reach the catalogue, byte for byte, and the escaping
// of item names.
#include "publishing_fixture.h"

namespace vorelia::testing_publish {
namespace {

// Service text that tries to leave its string literal stays inside it: quotes and backslashes
// are escaped, line feeds and non-ASCII kept as they are. Each line of the keyword script is
// indented by sixteen spaces (I16).
#define I16 "                "
TEST(CatalogueScripts, KeywordsAndRatingsScriptsAreTheirHeadRecordsAndBodyByteForByte) {
  const std::string text =
      keywordRecord("IMG_0001.", "dog;beach;", "") +
      keywordRecord(R"(a"b.)", R"(back\slash;"quoted";)",
                    R"(x" & (do shell script "touch /tmp/pwned") & ")") +
      keywordRecord(R"(\".)", R"(\\;)", "line one\nline two, \xC3\xA9t\xC3\xA9 \xE2\x9C\x93");
  EXPECT_EQ(
      keywordScript(text), I16
      "set _analyses to {}\n" I16
      "set end of _analyses to {voreliaKey:\"IMG_0001.\", voreliaTags:\"dog;beach;\", "
      "voreliaDescribe:\"\"}\n"
      "set end of _analyses to {voreliaKey:\"a\\\"b.\", "
      "voreliaTags:\"back\\\\slash;\\\"quoted\\\";\", voreliaDescribe:\"x\\\" & (do "
      "shell script \\\"touch /tmp/pwned\\\") & \\\"\"}\n"
      "set end of _analyses to {voreliaKey:\"\\\\\\\".\", voreliaTags:\"\\\\\\\\;\", "
      "voreliaDescribe:\"line one\nline two, \xC3\xA9t\xC3\xA9 \xE2\x9C\x93\"}\n"
      "\n" I16 "\n" I16 "tell application \"Capture One 12\"\n" I16 "\n" I16
      "set _currentDocument to item 1 of documents\n" I16 "\n" I16
      "if (count of documents) > 1 then\n" I16 "\n" I16 "set _docNames to {}\n" I16 "\n" I16
      "repeat with _document1 in documents\n" I16 "set end of _docNames to name of _document1\n" I16
      "end repeat\n" I16 "\n" I16 "set _defaultName to item 1 of _docNames\n" I16
      "set _docName to choose from list _docNames with prompt \"Select your catalog or "
      "session:\" default items {_defaultName}\n" I16 "\n" I16
      "repeat with _document2 in documents\n" I16 "\n" I16 "set _name to name of _document2\n" I16
      "if (_name as string) = (_docName as string) then\n" I16
      "set _currentDocument to _document2\n" I16 "end if\n" I16 "end repeat\n" I16 "end if\n" I16
      "\n" I16 "\n" I16 "\n" I16
      "repeat with _image in images of current collection of _currentDocument\n" I16 "\n" I16
      "repeat with _analysis in _analyses\n" I16 "\n" I16
      "set _key to voreliaKey of _analysis\n" I16 "set _keywords to voreliaTags of _analysis\n" I16
      "set _describe to voreliaDescribe of _analysis\n" I16 "\n" I16
      "if name of _image starts with _key then\n" I16 "\n" I16 "\n" I16
      "repeat with _variant in variants of _image\n" I16
      "if _keywords is not equal to \"\" then\n" I16
      "tell _variant to make keyword with properties {name:_keywords}\n" I16 "end if\n" I16
      "if _describe is not equal to \"\" then\n" I16
      "set content description of _variant to _describe\n" I16 "end if\n" I16 "end repeat\n" I16
      "\n" I16 "\n" I16 "end if\n" I16 "end repeat\n" I16 "\n" I16 "end repeat\n" I16 "\n" I16
      "display notification \"All images have been tagged.\" with title \"Vorelia Auto "
      "Tagging Script\" subtitle \"Tagging is complete.\" sound name \"Frog\"\n" I16 "\n" I16
      "end tell");
  const std::vector<std::string> names = {"Beach_01.", R"(Say "cheese" \o/.)",
                                          "\xC3\x89t\xC3\xA9 2."};
  EXPECT_EQ(ratingsScript(names, "Purple"),
            "set imagesToBeRated to {\"Beach_01.\",\"Say \\\"cheese\\\" \\\\o/.\",\""
            "\xC3\x89t\xC3\xA9 2.\"}\n"
            "tell application \"Capture One 12\"\n\nset _currentDocument to item 1 of documents\n"
            "\nif (count of documents) > 1 then\n\nset _docNames to {}\n\n"
            "repeat with _document1 in documents\nset end of _docNames to name of _document1\n"
            "end repeat\n\nset _defaultName to item 1 of _docNames\n"
            "set _docName to choose from list _docNames with prompt \"Select your catalog or "
            "session:\" default items {_defaultName}\n\nrepeat with _document2 in documents\n\n"
            "set _name to name of _document2\nif (_name as string) = (_docName as string) then\n"
            "set _currentDocument to _document2\nend if\nend repeat\nend if\n\n\n"
            "repeat with currentImage in images of current collection  of _currentDocument\n\n"
            "if count of variants of currentImage > 0 then\n"
            "    if color tag of ((item 1 of variants) of currentImage) = 7 then\n"
            "        set color tag of every variant of currentImage to 0\n    end if\nend if\n\n"
            "repeat with imageToBeRated in imagesToBeRated\n\n"
            "if name of currentImage starts with imageToBeRated then\n"
            "set color tag of every variant of currentImage to 7\n\nend if\nend repeat\n"
            "end repeat\nend tell");
  const std::pair<const char*, RatingMark> choices[] = {
      {"1", {"rating", 1}},         {"5", {"rating", 5}},         {"Red", {"color tag", 1}},
      {"Orange", {"color tag", 2}}, {"Yellow", {"color tag", 3}}, {"Green", {"color tag", 4}},
      {"Blue", {"color tag", 5}},   {"Pink", {"color tag", 6}},   {"Purple", {"color tag", 7}},
      {"6", {"color tag", 4}},      {"red", {"color tag", 4}},    {"", {"color tag", 4}},
  };
  for (const auto& [option, mark] : choices) {
    EXPECT_EQ(ratingMark(option).property, mark.property) << option;
    EXPECT_EQ(ratingMark(option).value, mark.value) << option;
  }
}
#undef I16

TEST(NameEscaping, EscapesTheTenUnsafeCharactersAndUnescapesCodesInOrder) {
  const std::pair<std::string, std::string> cases[] = {
      {"My photo & more.jpg", "My___photo____1____more.jpg"},
      {"a/b?c.jpg", "a_6_b_9_c.jpg"},
      {"l'été.jpg", "l_a_été.jpg"},
      {"100% \"raw\" ~1+2\\x.jpg", "100_3_____5_raw_5_____7_1_8_2_4_x.jpg"},
  };
  for (const auto& [name, escaped] : cases) EXPECT_EQ(voreliaEscape(name), escaped) << name;
  // A name without underscores comes back whole from its escape (the fuzz target checks that);
  // elsewhere the codes are replaced one after another, an underscore in one code at most.
  const std::pair<std::string, std::string> escapes[] = {
      {"IMG_1_2.jpg", "IMG&2.jpg"},
      {"______", "  "},
      {"_____", " __"},
      {"a_3___b", "a_3 b"},  // not the escape of a name without underscores
  };
  for (const auto& [name, unescaped] : escapes) EXPECT_EQ(voreliaUnescape(name), unescaped) << name;
}

}  // namespace
}  // namespace vorelia::testing_publish
