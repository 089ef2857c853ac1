#include "publish/script_runner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <ctime>
#include <fstream>
#include <future>
#include <sstream>

#include "support/temp_home.h"

namespace vorelia {
namespace {

namespace fs = std::filesystem;
using testing::ScopedEnvironment;

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

// A scripts folder in a temporary HOME, and a stand-in interpreter (a shell script) that keeps a
// copy of every script it is given in `ran`, named after the script file.
class ScriptRunner : public ::testing::Test {
 protected:
  ScriptRunner() {
    fs::create_directories(folder);
    fs::create_directories(ran);
  }

  // body runs after the copy is made; $1 is the script file.
  void useInterpreter(const std::string& body) {
    const fs::path program = home.path() / "interpreter.sh";
    std::ofstream(program) << "#!/bin/sh\ncp \"$1\" \"" << ran.string()
                           << "/$(basename \"$1\")\" || exit 9\n"
                           << body << "\n";
    fs::permissions(program, fs::perms::owner_all);
    interpreter.emplace("VORELIA_OSASCRIPT", program.string());
  }

  std::vector<std::string> namesIn(const fs::path& dir) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) {
      names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
  }

  testing::TempHome home;
  fs::path folder = home.path() / "Library" / "Scripts" / "Capture One Scripts";
  fs::path ran = home.path() / "ran";
  std::optional<ScopedEnvironment> interpreter;
  // 7 March 2019, 14:05:09 in the local time zone.
  std::chrono::system_clock::time_point when = [] {
    std::tm local{};
    strptime("2019-03-07 14:05:09", "%Y-%m-%d %H:%M:%S", &local);
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
  }();
};

TEST_F(ScriptRunner, ReportsAScriptThatCouldNotRun) {
  struct Case {
    const char* what;
    std::optional<std::string> interpreterBody;  // absent: a program that does not exist
    bool makeFolder;
  };
  const Case cases[] = {
      {"the interpreter fails", "exit 1", true},
      {"the interpreter is killed", "kill -9 $$", true},
      {"no interpreter", std::nullopt, true},
      {"no scripts folder", "exit 0", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.interpreterBody) {
      useInterpreter(*c.interpreterBody);
    } else {
      interpreter.reset();
      interpreter.emplace("VORELIA_OSASCRIPT", (home.path() / "missing").string());
    }
    if (!c.makeFolder) fs::remove_all(folder);
    EXPECT_FALSE(runScript("Vorelia_proofing_", "set x to 1", when));
    // Nothing is left behind, and nothing is written anywhere else.
    if (c.makeFolder) {
      EXPECT_TRUE(namesIn(folder).empty());
    }
    EXPECT_TRUE(namesIn(home.path() / "Library").size() <= 1u);
  }
}

TEST_F(ScriptRunner, RunsInTheSameSecondKeepTheirOwnFiles) {
  // Each interpreter waits (at most about five seconds) until both scripts are running, so both
  // files exist at once.
  useInterpreter("n=0\nwhile :; do\n  set -- \"" + ran.string() +
                 "\"/*\n  [ $# -ge 2 ] && exit 0\n  [ $n -ge 500 ] && exit 1\n"
                 "  sleep 0.01; n=$((n+1))\ndone");
  const std::string text = "tell application \"Capture One 12\"\n été\nend tell";
  auto first = std::async(std::launch::async, [&] { return runScript("P_", text, when); });
  auto second = std::async(std::launch::async, [&] { return runScript("P_", "second", when); });
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(second.get());

  const auto names = namesIn(ran);
  ASSERT_EQ(names, (std::vector<std::string>{"P_07_03_2019_14_05_09.scpt",
                                             "P_07_03_2019_14_05_09_2.scpt"}));
  std::vector<std::string> texts = {readFile(ran / names[0]), readFile(ran / names[1])};
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"second", text}));
  EXPECT_TRUE(namesIn(folder).empty());
}

TEST_F(ScriptRunner, AWrittenFileNeverReplacesAnother) {
  std::ofstream(folder / "P_07_03_2019_14_05_09.scpt") << "someone else's";
  const auto file = writeScriptFile(folder, "P_", "mine", when);
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->filename(), "P_07_03_2019_14_05_09_2.scpt");
  EXPECT_EQ(readFile(*file), "mine");
  EXPECT_EQ(readFile(folder / "P_07_03_2019_14_05_09.scpt"), "someone else's");
  EXPECT_EQ(namesIn(folder).size(), 2u);  // no temporary left behind
}

}  // namespace
}  // namespace vorelia
