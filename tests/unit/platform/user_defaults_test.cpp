#include "platform/user_defaults.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <limits>
#include <random>
#include <thread>

#include "support/temp_home.h"
#include "support/test_bytes.h"
#include "support/wait.h"

namespace vorelia::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using testing::readFile;

// Names in the folder of file other than file itself.
std::vector<std::string> othersBeside(const fs::path& file) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(file.parent_path())) {
    if (entry.path() != file) names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(UserDefaults, EveryTypeSurvivesANewInstanceMissingKeysReadAbsentAndBooleansConvert) {
  testing::TempHome home;
  const Date refresh = sys_days(2026y / 12 / 6) + 17h + 58min + 35s + 123456us;
  const std::pair<std::string, DefaultsValue> values[] = {
      {"unicode", std::string("caf\xc3\xa9 \xe2\x9c\x93 &=+ %\"\\\n")},
      {"empty", std::string()},
      {"no", false},
      {"smallest", std::numeric_limits<std::int64_t>::min()},
      {"largest", std::numeric_limits<std::int64_t>::max()},
      {"tenth", 0.1},
      {"infinite", std::numeric_limits<double>::infinity()},
      {"authenticationHeaderLastRefresh", refresh},
      {"albums", std::vector<std::string>{"a", "", "\xc3\xbc b"}},
  };
  const auto path = UserDefaults::PathForDomain("com.vorelia.test");
  fs::create_directories(path.parent_path());  // a folder that exists keeps its mode
  fs::permissions(path.parent_path(), fs::perms::owner_all);
  {
    UserDefaults defaults(path);
    for (const auto& [key, value] : values) ASSERT_TRUE(defaults.set(key, value)) << key;
    ASSERT_TRUE(defaults.set("gone", std::string("y")) && defaults.remove("gone"));
  }
  EXPECT_NE(readFile(path).find("\"2026-12-06T17:58:35.123456Z\""), std::string::npos);
  EXPECT_EQ(fs::status(path.parent_path()).permissions(), fs::perms::owner_all);
  UserDefaults reloaded(path);
  for (const auto& [key, value] : values) EXPECT_EQ(reloaded.object(key), value) << key;
  EXPECT_EQ(reloaded.object("gone"), std::nullopt);
  EXPECT_EQ(reloaded.string("largest"), std::nullopt);  // not a string
  EXPECT_EQ(reloaded.date("unicode"), std::nullopt);    // not a date
  ASSERT_TRUE(reloaded.set("notANumber", std::nan("")));
  EXPECT_TRUE(std::isnan(std::get<double>(*UserDefaults(path).object("notANumber"))));
  // Another writer may leave out the fraction of a second.
  std::ofstream(path) << R"({"whole": {"date": "2026-12-06T17:58:35Z"}})";
  EXPECT_EQ(UserDefaults(path).date("whole"), Date(sys_days(2026y / 12 / 6) + 17h + 58min + 35s));
  // Booleans: what reads as true, and what does not.
  UserDefaults defaults(UserDefaults::PathForDomain("booleans"));
  const std::vector<DefaultsValue> trues = {std::string("YES"), std::string("True"),
                                            std::string("1"), std::int64_t{-7}, 0.5};
  const std::vector<DefaultsValue> falses = {std::string("yes "),
                                             std::string("2"),
                                             std::int64_t{0},
                                             0.0,
                                             Date(1s),
                                             std::vector<std::string>(1, "YES")};
  for (const bool expected : {true, false}) {
    const auto& values = expected ? trues : falses;
    for (std::size_t i = 0; i < values.size(); ++i) {
      ASSERT_TRUE(defaults.set("flag", values[i]));
      EXPECT_EQ(defaults.boolean("flag"), expected) << "case " << i;
    }
  }
  EXPECT_FALSE(defaults.boolean("missing"));
}

TEST(UserDefaults, UnreadableFileIsSetAsideAndAFreshDomainPersists) {
  for (const std::string contents : {
           "not json",
           "[1, 2]",
           R"({"k": "bare"})",
           R"({"k": {"integer": 9223372036854775808}})",
           R"({"k": {"date": "2026-02-30T00:00:00Z"}})",
           R"({"k": {"date": "2262-04-11T23:47:16.854775808Z"}})",  // one past the latest Date
           R"({"k": {"date": "1677-09-21T00:12:43.145224191Z"}})",  // one before the earliest
           R"({"k": {"string": "a", "bool": true}})",
           R"({"k": {"string": "a"}, "k2": {"bool": tru)",
       }) {
    SCOPED_TRACE(contents);
    testing::TempHome home;
    const auto path = UserDefaults::PathForDomain("corrupt");
    fs::create_directories(path.parent_path());
    std::ofstream(path) << contents;
    {
      UserDefaults defaults(path);
      EXPECT_EQ(defaults.object("k"), std::nullopt);
      const auto aside = othersBeside(path);
      ASSERT_EQ(aside.size(), 1u);
      EXPECT_EQ(aside[0].rfind("corrupt.json.corrupt-", 0), 0u) << aside[0];
      EXPECT_EQ(readFile(path.parent_path() / aside[0]), contents);
      ASSERT_TRUE(defaults.set("k", std::string("fresh")));
    }
    EXPECT_EQ(UserDefaults(path).string("k"), "fresh");
    EXPECT_EQ(othersBeside(path).size(), 1u);
  }
  // A read that fails (here EIO at the first byte) ends as an empty domain, not a retry forever.
  EXPECT_EQ(UserDefaults("/proc/self/mem").object("k"), std::nullopt);
}

TEST(UserDefaults, ThreadsSettingAndReadingLoseNothing) {
  testing::TempHome home;
  const auto path = UserDefaults::PathForDomain("threads");
  const auto key = [](int t, int k) { return "t" + std::to_string(t) + "k" + std::to_string(k); };
  {
    UserDefaults defaults(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
      threads.emplace_back([&, t] {
        for (int k = 0; k < 30; ++k) {
          EXPECT_TRUE(defaults.set(key(t, k), std::int64_t{t * 1000 + k}));
          EXPECT_EQ(defaults.object(key(t, k)), DefaultsValue(std::int64_t{t * 1000 + k}));
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  UserDefaults reloaded(path);
  for (int t = 0; t < 8; ++t) {
    for (int k = 0; k < 30; ++k) {
      EXPECT_EQ(reloaded.object(key(t, k)), DefaultsValue(std::int64_t{t * 1000 + k})) << key(t, k);
    }
  }
}

TEST(UserDefaults, StandardIsSharedPerDomainFile) {
  const testing::ScopedEnvironment domain("VORELIA_DEFAULTS_DOMAIN", "com.vorelia.standard");
  testing::TempHome home;
  const auto first = UserDefaults::standard();
  EXPECT_EQ(first->path(), home.path() / "Library/Preferences/com.vorelia.standard.json");
  EXPECT_EQ(UserDefaults::standard(), first);
  testing::TempHome other;
  EXPECT_NE(UserDefaults::standard(), first);
  // A domain that could leave the Preferences folder gives way to the program's name.
  for (const char* unusable : {"../escape", "a/b", ".."}) {
    const testing::ScopedEnvironment bad("VORELIA_DEFAULTS_DOMAIN", unusable);
    testing::TempHome fresh;
    EXPECT_EQ(UserDefaults::standard()->path(),
              fresh.path() / "Library/Preferences/unit_platform.json")
        << unusable;
  }
}

// The value a writer stores in round n: large enough that a kill often lands inside a write.
std::string payload(std::int64_t n) { return std::string(64 * 1024, 'x') + std::to_string(n); }

std::int64_t roundOf(const std::string& payload) { return std::stoll(payload.substr(64 * 1024)); }

// The child's loop: stores round after round, reporting each one through the pipe once set()
// returned; never returns.
[[noreturn]] void writeUntilKilled(const fs::path& path, int progress) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  ::fcntl(progress, F_SETFL, O_NONBLOCK);
  UserDefaults defaults(path);
  for (std::int64_t n = roundOf(*defaults.string("payload")) + 1;; ++n) {
    defaults.set("payload", payload(n));
    (void)!::write(progress, "w", 1);
  }
}

TEST(UserDefaults, WriterKilledAtAnyMomentLeavesEveryFinishedWrite) {
  testing::TempHome home;
  const auto path = UserDefaults::PathForDomain("killed");
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  ASSERT_TRUE(UserDefaults(path).set("payload", payload(0)));
  std::int64_t last = 0;
  for (int round = 0; round < 50; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + " seed " + std::to_string(seed));
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      ::close(pipe[0]);
      writeUntilKilled(path, pipe[1]);
    }
    ::close(pipe[1]);
    // Kill either right after a write returned, or while a temporary file is being written.
    const int writes = 1 + static_cast<int>(random() % 6);
    for (int i = 0; i < writes; ++i) {
      pollfd ready{pipe[0], POLLIN, 0};
      char byte = 0;
      ASSERT_EQ(::poll(&ready, 1, 10000), 1);
      ASSERT_EQ(::read(pipe[0], &byte, 1), 1);
    }
    if (round % 2 == 1) {
      EXPECT_TRUE(testing::waitUntil([&] { return !othersBeside(path).empty(); }));
    }
    ::kill(child, SIGKILL);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    ::close(pipe[0]);

    const auto stored = UserDefaults(path).string("payload");
    EXPECT_TRUE(othersBeside(path).empty())
        << "set aside or left behind: " << othersBeside(path)[0];
    ASSERT_TRUE(stored.has_value());
    const auto n = roundOf(*stored);
    EXPECT_GE(n, last + writes) << "a write that returned was lost";
    last = n;
  }
}

}  // namespace
}  // namespace vorelia::platform
