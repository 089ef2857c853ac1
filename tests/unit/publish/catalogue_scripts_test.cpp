#include "publish/catalogue_scripts.h"

#include <gtest/gtest.h>

#include "host/plugin_scripts.h"
#include "publish/name_escaping.h"

namespace vorelia {
namespace {

// The scripts are compared byte for byte with the texts the host's script tests feed to
// cohost-osascript; service text that tries to leave its string literal must stay inside it.
TEST(KeywordScript, IsTheHeadTheRecordsAndTheBodyByteForByte) {
  using Records = std::vector<testing::Record>;
  const Records cases[] = {
      {},
      {{"IMG_0001.", "dog;beach;", ""}},
      {{"IMG_0001.", "dog;", R"(x" & (do shell script "touch /tmp/pwned") & ")"},
       {R"(a"b.)", R"(back\slash;"quoted";)", R"(ends with a backslash \)"},
       {R"(\".)", R"(\\;)", "line one\nline two, été"}},
  };
  for (const auto& records : cases) {
    std::string text;
    for (const auto& r : records) text += keywordRecord(r.key, r.tags, r.description);
    EXPECT_EQ(keywordScript(text), testing::keywordScript(records)) << records.size();
  }
}

TEST(RatingsScript, EachChoiceMarksTheListedImagesByteForByte) {
  const std::vector<std::string> names = {"Beach_01.", R"(Say "cheese" \o/.)"};
  const std::pair<const char*, RatingMark> cases[] = {
      {"1", {"rating", 1}},         {"5", {"rating", 5}},         {"Red", {"color tag", 1}},
      {"Orange", {"color tag", 2}}, {"Yellow", {"color tag", 3}}, {"Green", {"color tag", 4}},
      {"Blue", {"color tag", 5}},   {"Pink", {"color tag", 6}},   {"Purple", {"color tag", 7}},
      {"6", {"color tag", 4}},      {"red", {"color tag", 4}},    {"", {"color tag", 4}},
  };
  for (const auto& [option, mark] : cases) {
    SCOPED_TRACE(option);
    EXPECT_EQ(ratingMark(option).property, mark.property);
    EXPECT_EQ(ratingMark(option).value, mark.value);
    EXPECT_EQ(ratingsScript(names, option),
              testing::ratingsScript(names, mark.property, mark.value));
  }
}

TEST(NameEscaping, EscapesTheTenUnsafeCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"My photo & more.jpg", "My___photo____1____more.jpg"},
      {"a/b?c.jpg", "a_6_b_9_c.jpg"},
      {"l'été.jpg", "l_a_été.jpg"},
      {"100% \"raw\" ~1+2\\x.jpg", "100_3_____5_raw_5_____7_1_8_2_4_x.jpg"},
      {"", ""},
      {"IMG_1_2.jpg", "IMG_1_2.jpg"},
  };
  for (const auto& [name, escaped] : cases) EXPECT_EQ(voreliaEscape(name), escaped) << name;
}

TEST(NameEscaping, UnescapesCodesInOrderWithoutOverlap) {
  const std::pair<std::string, std::string> cases[] = {
      {"My___photo____1____more.jpg", "My photo & more.jpg"},
      {"IMG_1_2.jpg", "IMG&2.jpg"},
      {"______", "  "},
      {"_____", " __"},
      {"l_a_été.jpg", "l'été.jpg"},
      {"", ""},
      // The escapes of "100% 1.jpg" and "~1+2.jpg": replaced code by code, a code's last
      // underscore would start the next one.
      {"100_3____1.jpg", "100% 1.jpg"},
      {"_7_1_8_2.jpg", "~1+2.jpg"},
      {"a_3___b", "a_3 b"},  // not the escape of a name without underscores
  };
  for (const auto& [name, unescaped] : cases) EXPECT_EQ(voreliaUnescape(name), unescaped) << name;
}

}  // namespace
}  // namespace vorelia
