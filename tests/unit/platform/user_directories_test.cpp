#include "platform/user_directories.h"

#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

#include "support/temp_home.h"

namespace vorelia::platform {
namespace {

TEST(UserDirectories, FollowHomeOrThePasswordDatabaseWithoutIt) {
  testing::TempHome home;  // restores HOME afterwards
  EXPECT_EQ(libraryDirectory(), home.path() / "Library");
  EXPECT_EQ(downloadsDirectory(), home.path() / "Downloads");

  const passwd* entry = getpwuid(getuid());
  ASSERT_NE(entry, nullptr);
  const std::filesystem::path expected = entry->pw_dir;
  unsetenv("HOME");
  EXPECT_EQ(homeDirectory(), expected) << "HOME unset";
  setenv("HOME", "", 1);
  EXPECT_EQ(libraryDirectory(), expected / "Library") << "HOME empty";
}

}  // namespace
}  // namespace vorelia::platform
