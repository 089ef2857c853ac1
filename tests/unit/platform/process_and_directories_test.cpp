#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include "platform/leftovers.h"
#include "platform/process.h"
#include "platform/user_directories.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"
#include "support/wait.h"

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

// Another process's sweep may lock and remove a fresh entry before its maker locks it: the maker's
// lock, granted once the sweep lets go, must not claim what is gone, nor take a live lock's entry.
TEST(InUseLock, HoldsOnlyAnEntryThatIsStillThere) {
  const auto folder = testing::makeTempDirectory("vorelia-locks");
  const int sweep = ::open(folder.c_str(), O_RDONLY);
  ASSERT_EQ(::flock(sweep, LOCK_EX), 0);
  bool held = true;
  std::thread maker([&] { held = InUseLock(folder).held(); });
  // The maker waits for the lock: its request shows in /proc/locks as blocked ("->").
  EXPECT_TRUE(testing::waitUntil(
      [] { return testing::readFile("/proc/locks").find("->") != std::string::npos; }));
  std::filesystem::remove_all(folder);
  ::close(sweep);
  maker.join();
  EXPECT_FALSE(held);
  std::filesystem::create_directory(folder);
  const InUseLock live(folder);
  EXPECT_TRUE(live.held());
  // An abandoned entry beside it goes, and its sweep leaves no descriptor open.
  const auto abandoned = folder.string() + "-abandoned";
  std::filesystem::create_directory(abandoned);
  const auto descriptors = [] { return testing::namesIn("/proc/self/fd").size(); };
  const auto before = descriptors();
  removeAbandoned(folder.parent_path(), folder.filename().string());
  EXPECT_EQ(descriptors(), before);
  EXPECT_TRUE(std::filesystem::exists(folder));
  EXPECT_FALSE(std::filesystem::exists(abandoned));
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vorelia::platform
