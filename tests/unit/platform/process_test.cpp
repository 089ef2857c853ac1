#include "platform/process.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>

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

}  // namespace
}  // namespace vorelia::platform
