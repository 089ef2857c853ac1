#include "model/text.h"

#include <gtest/gtest.h>

namespace vorelia {
namespace {

TEST(FoldedCase, NamesThatDifferOnlyInLetterCaseFoldAlike) {
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
      {"Été 2019", "éTÉ 2019", true},
      {"STRASSE", "straße", true},
      {"Anna", "Anne", false},
      {"Ete 2019", "Été 2019", false},  // accents are not letter case
      // Bytes that are not UTF-8 are compared as they are, never replaced or dropped.
      {"Ab\xFF", "Ab\xFF", true},
      {"Ab\xFF", "ab\xFF", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FoldedCase(c.a) == FoldedCase(c.b), c.same) << c.a << " / " << c.b;
  }
}

}  // namespace
}  // namespace vorelia
