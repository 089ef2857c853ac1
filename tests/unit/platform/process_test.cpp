#include "platform/process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/temp_home.h"

namespace vorelia::platform {
namespace {

TEST(RunProcess, ReturnsTheExitStatusOrSignal) {
  struct Case {
    std::string script;
    int status;
  };
  const Case cases[] = {{"exit 0", 0},
                        {"exit 3", 3},
                        {"exit 255", 255},
                        {"kill -TERM $$", 128 + 15},
                        {"kill -KILL $$", 128 + 9}};
  for (const auto& c : cases) {
    EXPECT_EQ(runProcess("/bin/sh", {"-c", c.script}), c.status) << c.script;
  }
}

TEST(RunProcess, IsAbsentWhenTheProgramCannotStart) {
  const auto folder = testing::makeTempDirectory("vorelia-process");
  EXPECT_EQ(runProcess("/nonexistent/program", {}), std::nullopt);
  EXPECT_EQ(runProcess(folder.string(), {}), std::nullopt);  // a folder is not a program
  std::filesystem::remove_all(folder);
}

TEST(RunProcess, PassesArgumentsVerbatimWithoutAShell) {
  const auto folder = testing::makeTempDirectory("vorelia-process");
  const auto output = folder / "out";
  const std::string arguments[] = {"a b'c", "\"quoted\" $HOME `id` ; |", "", "tab\there\nnewline",
                                   "caf\xc3\xa9 *"};
  for (const auto& argument : arguments) {
    ASSERT_EQ(
        runProcess("/bin/sh", {"-c", "printf %s \"$1\" > \"$2\"", "sh", argument, output.string()}),
        0)
        << argument;
    std::ifstream in(output, std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), argument);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vorelia::platform
