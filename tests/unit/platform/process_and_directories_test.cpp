#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

#include "platform/process.h"
#include "platform/user_directories.h"
#include "support/temp_home.h"

namespace vorelia::platform {
namespace {

TEST(RunProcess, PassesArgumentsVerbatimWithoutAShell) {
  const auto folder = testing::makeTempDirectory("vorelia-process");
  const auto output = folder / "out";
  for (const std::string argument :
       {"a b'c", "\"quoted\" $HOME `id` ; |", "", "tab\there\nnewline", "caf\xc3\xa9 *"}) {
    ASSERT_EQ(
        runProcess("/bin/sh", {"-c", "printf %s \"$1\" > \"$2\"", "sh", argument, output.string()}),
        0)
        << argument;
    std::ifstream in(output, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), argument);
  }
  std::filesystem::remove_all(folder);
}

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
