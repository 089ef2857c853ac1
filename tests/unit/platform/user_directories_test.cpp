#include "platform/user_directories.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "support/temp_home.h"

namespace vorelia::platform {
namespace {

TEST(UserDirectories, FollowHomeInTheMacLayout) {
  testing::TempHome home;
  EXPECT_EQ(homeDirectory(), home.path());
  EXPECT_EQ(libraryDirectory(), home.path() / "Library");
  EXPECT_EQ(downloadsDirectory(), home.path() / "Downloads");
}

TEST(UserDirectories, FallBackToThePasswordDatabaseWithoutHome) {
  const passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr);
  const std::filesystem::path expected = entry->pw_dir;
  testing::TempHome home;  // restores HOME afterwards
  for (const bool unset : {true, false}) {
    if (unset) {
      unsetenv("HOME");
    } else {
      setenv("HOME", "", 1);
    }
    EXPECT_EQ(homeDirectory(), expected) << (unset ? "HOME unset" : "HOME empty");
    EXPECT_EQ(libraryDirectory(), expected / "Library");
  }
}

}  // namespace
}  // namespace vorelia::platform
