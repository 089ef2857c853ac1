#include "publish/name_escaping.h"

#include <gtest/gtest.h>

namespace vorelia {
namespace {

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
