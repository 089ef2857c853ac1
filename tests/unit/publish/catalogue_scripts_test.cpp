#include "publish/catalogue_scripts.h"

#include <gtest/gtest.h>

#include "host/plugin_scripts.h"

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

}  // namespace
}  // namespace vorelia
