#include "platform/process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

#include "support/temp_home.h"

namespace vorelia::platform {
namespace {

TEST(RunProcess, ReturnsTheExitStatusOrSignalOrNothingWhenItCannotStart) {
  const auto folder = testing::makeTempDirectory("vorelia-process");
  const struct {
    std::string program;
    std::string script;
    std::optional<int> status;
  } cases[] = {{"/bin/sh", "exit 0", 0},
               {"/bin/sh", "exit 255", 255},
               {"/bin/sh", "kill -TERM $$", 128 + 15},
               {"/bin/sh", "kill -KILL $$", 128 + 9},
               {"/nonexistent/program", "", std::nullopt},
               {folder.string(), "", std::nullopt}};  // a folder is not a program
  for (const auto& c : cases) {
    EXPECT_EQ(runProcess(c.program, {"-c", c.script}), c.status) << c.program << " " << c.script;
  }
  std::filesystem::remove_all(folder);
}

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

}  // namespace
}  // namespace vorelia::platform
