#include "model/text.h"

#include <gtest/gtest.h>

namespace vorelia {
namespace {

TEST(FoldedCase, NamesThatDifferOnlyInLetterCaseFoldAlike) {
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
      {"\xC3\x89t\xC3\xA9 2019", "\xC3\xA9T\xC3\x89 2019", true},  // Été / éTÉ
      {"STRASSE",
       "stra\xC3\x9F"
       "e",
       true},  // straße
      {"\xCE\xA3\xCE\x9F\xCE\xA6\xCE\x99\xCE\x91", "\xCF\x83\xCE\xBF\xCF\x86\xCE\xB9\xCE\xB1",
       true},
      {"Anna", "Anne", false},
      {"Ete 2019", "\xC3\x89t\xC3\xA9 2019", false},  // accents are not letter case
      // Bytes that are not UTF-8 are compared as they are, never replaced or dropped.
      {"Ab\xFF", "Ab\xFF", true},
      {"Ab\xFF", "ab\xFF", false},
      {"\xC3", "\xC3\xA9", false},
      {std::string("a\0b", 3), std::string("A\0B", 3), true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FoldedCase(c.a) == FoldedCase(c.b), c.same) << c.a << " / " << c.b;
  }
}

}  // namespace
}  // namespace vorelia
