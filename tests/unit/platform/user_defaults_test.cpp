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
#include <iterator>
#include <limits>
#include <random>
#include <thread>

#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// Names in the folder of file other than file itself.
std::vector<std::string> othersBeside(const fs::path& file) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(file.parent_path())) {
    if (entry.path() != file) names.push_back(entry.path().filename().string());
  }
  return names;
}

TEST(UserDefaults, EveryTypeSurvivesANewInstanceAndMissingKeysReadAbsent) {
  testing::TempHome home;
  const Date refresh = sys_days(2026y / 12 / 6) + 17h + 58min + 35s + 123456us;
  const std::pair<std::string, DefaultsValue> values[] = {
      {"userName", std::string("a@b.example")},
      {"unicode", std::string("caf\xc3\xa9 \xe2\x9c\x93 &=+ %\"\\\n")},
      {"empty", std::string()},
      {"yes", true},
      {"no", false},
      {"smallest", std::numeric_limits<std::int64_t>::min()},
      {"largest", std::numeric_limits<std::int64_t>::max()},
      {"tenth", 0.1},
      {"huge", -1.7976931348623157e308},
      {"infinite", std::numeric_limits<double>::infinity()},
      {"authenticationHeaderLastRefresh", refresh},
      {"now", system_clock::now()},
      {"before1970", Date(-1234567891ns)},
      {"noAlbums", std::vector<std::string>{}},
      {"albums", std::vector<std::string>{"a", "", "\xc3\xbc b"}},
  };
  const auto path = UserDefaults::PathForDomain("com.vorelia.test");
  {
    UserDefaults defaults(path);
    for (const auto& [key, value] : values) ASSERT_TRUE(defaults.set(key, value)) << key;
    ASSERT_TRUE(defaults.set("gone", std::string("y")) && defaults.remove("gone"));
    EXPECT_TRUE(defaults.remove("neverThere"));
  }
  EXPECT_NE(readFile(path).find("\"2026-12-06T17:58:35.123456Z\""), std::string::npos);
  UserDefaults reloaded(path);
  for (const auto& [key, value] : values) EXPECT_EQ(reloaded.object(key), value) << key;
  EXPECT_EQ(reloaded.object("gone"), std::nullopt);
  EXPECT_EQ(reloaded.object("missing"), std::nullopt);
  EXPECT_EQ(reloaded.string("largest"), std::nullopt);  // not a string
  EXPECT_EQ(reloaded.date("userName"), std::nullopt);   // not a date
  ASSERT_TRUE(reloaded.set("notANumber", std::nan("")));
  EXPECT_TRUE(std::isnan(std::get<double>(*UserDefaults(path).object("notANumber"))));
}

TEST(UserDefaults, BooleanConversions) {
  testing::TempHome home;
  UserDefaults defaults(UserDefaults::PathForDomain("booleans"));
  const auto check = [&](const DefaultsValue& value, bool expected, const std::string& name) {
    ASSERT_TRUE(defaults.set("flag", value));
    EXPECT_EQ(defaults.boolean("flag"), expected) << name;
  };
  for (const char* text : {"YES", "yes", "True", "1"}) check(std::string(text), true, text);
  for (const char* text : {"no", "0", "", "yes ", "2"}) check(std::string(text), false, text);
  check(true, true, "true");
  check(false, false, "false");
  check(std::int64_t{-7}, true, "-7");
  check(std::int64_t{0}, false, "0 integer");
  check(0.5, true, "0.5");
  check(0.0, false, "0.0");
  check(Date(1s), false, "date");
  check(std::vector<std::string>{"YES"}, false, "array");
  EXPECT_FALSE(defaults.boolean("missing"));
}

TEST(UserDefaults, UnreadableFileIsSetAsideAndAFreshDomainPersists) {
  const std::string corrupt[] = {
      "not json",
      "",
      "[1, 2]",
      R"({"k": "bare"})",
      R"({"k": {"integer": 1.5}})",
      R"({"k": {"integer": 9223372036854775808}})",
      R"({"k": {"date": "yesterday"}})",
      R"({"k": {"date": "2026-02-30T00:00:00Z"}})",
      R"({"k": {"string": "a", "bool": true}})",
      R"({"k": {"array": [1]}})",
      R"({"k": {"colour": "red"}})",
      R"({"k": {"string": "a"}, "k2": {"bool": tru)",
  };
  for (const auto& contents : corrupt) {
    testing::TempHome home;
    const auto path = UserDefaults::PathForDomain("corrupt");
    fs::create_directories(path.parent_path());
    std::ofstream(path) << contents;
    {
      UserDefaults defaults(path);
      EXPECT_EQ(defaults.object("k"), std::nullopt) << contents;
      const auto aside = othersBeside(path);
      ASSERT_EQ(aside.size(), 1u) << contents;
      EXPECT_EQ(aside[0].rfind("corrupt.json.corrupt-", 0), 0u) << aside[0];
      EXPECT_EQ(readFile(path.parent_path() / aside[0]), contents);
      ASSERT_TRUE(defaults.set("k", std::string("fresh"))) << contents;
    }
    UserDefaults reloaded(path);
    EXPECT_EQ(reloaded.string("k"), "fresh") << contents;
    EXPECT_EQ(othersBeside(path).size(), 1u) << contents;
  }
}

TEST(UserDefaults, ThreadsSettingAndReadingLoseNothing) {
  testing::TempHome home;
  const auto path = UserDefaults::PathForDomain("threads");
  constexpr int kThreads = 8;
  constexpr int kKeysEach = 30;
  {
    UserDefaults defaults(path);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int k = 0; k < kKeysEach; ++k) {
          const std::string key = "t" + std::to_string(t) + "k" + std::to_string(k);
          EXPECT_TRUE(defaults.set(key, std::int64_t{t * 1000 + k}));
          EXPECT_EQ(defaults.object(key), DefaultsValue(std::int64_t{t * 1000 + k}));
          defaults.boolean("t0k0");
        }
      });
    }
    for (auto& thread : threads) thread.join();
  }
  UserDefaults reloaded(path);
  for (int t = 0; t < kThreads; ++t) {
    for (int k = 0; k < kKeysEach; ++k) {
      const std::string key = "t" + std::to_string(t) + "k" + std::to_string(k);
      EXPECT_EQ(reloaded.object(key), DefaultsValue(std::int64_t{t * 1000 + k})) << key;
    }
  }
}

TEST(UserDefaults, StandardIsSharedPerDomainFile) {
  setenv("VORELIA_DEFAULTS_DOMAIN", "com.vorelia.standard", 1);
  std::shared_ptr<UserDefaults> first;
  {
    testing::TempHome home;
    first = UserDefaults::standard();
    EXPECT_EQ(first->path(), home.path() / "Library/Preferences/com.vorelia.standard.json");
    EXPECT_EQ(UserDefaults::standard(), first);
    testing::TempHome other;
    EXPECT_NE(UserDefaults::standard(), first);
  }
  unsetenv("VORELIA_DEFAULTS_DOMAIN");
}

// The child's loop: every round sets three keys to values derived from one counter, so a file holds
// counter c, then payload c or c - 1, then stamp equal to payload or one less. Reports progress
// through the pipe after each write; never returns.
[[noreturn]] void writeUntilKilled(const fs::path& path, int progress) {
  ::prctl(PR_SET_PDEATHSIG, SIGKILL);
  ::fcntl(progress, F_SETFL, O_NONBLOCK);
  UserDefaults defaults(path);
  // Resume after the last whole round, so earlier kills cannot widen the gaps.
  std::int64_t counter = 0;
  if (auto stamp = defaults.date("stamp")) {
    counter = duration_cast<seconds>(stamp->time_since_epoch()).count();
  }
  for (;;) {
    ++counter;
    defaults.set("counter", counter);
    (void)!::write(progress, "c", 1);
    defaults.set("payload", std::string(64 * 1024, 'x') + std::to_string(counter));
    (void)!::write(progress, "p", 1);
    defaults.set("stamp", Date(seconds(counter)));
    (void)!::write(progress, "s", 1);
  }
}

TEST(UserDefaults, WriterKilledAtAnyMomentLeavesAWholeEarlierOrLaterState) {
  testing::TempHome home;
  const auto path = UserDefaults::PathForDomain("killed");
  const unsigned seed = std::random_device{}();
  std::mt19937 random(seed);
  {
    UserDefaults first(path);  // a whole state to start from
    ASSERT_TRUE(first.set("counter", std::int64_t{0}) &&
                first.set("payload", std::string(64 * 1024, 'x') + "0") &&
                first.set("stamp", Date(seconds(0))));
  }
  std::int64_t lastCounter = 0;
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
    for (int writes = 1 + static_cast<int>(random() % 6); writes > 0; --writes) {
      pollfd ready{pipe[0], POLLIN, 0};
      char byte = 0;
      ASSERT_EQ(::poll(&ready, 1, 10000), 1);
      ASSERT_EQ(::read(pipe[0], &byte, 1), 1);
    }
    if (round % 2 == 1) {
      EXPECT_TRUE(testing::waitUntil([&] { return !othersBeside(path).empty(); }));
    }
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ::close(pipe[0]);

    UserDefaults reloaded(path);
    EXPECT_TRUE(othersBeside(path).empty())
        << "set aside or left behind: " << othersBeside(path)[0];
    const auto counter = reloaded.object("counter");
    const auto payload = reloaded.string("payload");
    const auto stamp = reloaded.date("stamp");
    ASSERT_TRUE(counter && payload && stamp);
    const auto c = std::get<std::int64_t>(*counter);
    const auto p = std::stoll(payload->substr(64 * 1024));
    const auto s = duration_cast<seconds>(stamp->time_since_epoch()).count();
    EXPECT_TRUE(c >= p && p >= s && s >= c - 1) << c << " " << p << " " << s;
    EXPECT_GE(c, lastCounter);
    lastCounter = c;
  }
}

}  // namespace
}  // namespace vorelia::platform
