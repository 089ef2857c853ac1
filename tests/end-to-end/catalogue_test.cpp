// cohost's catalogue: folders opened as documents (--document, `open`) reach the script
// interpreter the plugin runs, cohost-osascript beside cohost, which marks the chosen document.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cohost_process.h"
#include "host/plugin_scripts.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;

fs::path makeSession(const fs::path& folder) {
  fs::create_directories(folder);
  std::ofstream(folder / "IMG_0001.jpg") << "jpeg";
  return folder;
}

bool rated(const fs::path& session) {
  std::ifstream in(session / "IMG_0001.jpg.xmp");
  const std::string text(std::istreambuf_iterator<char>(in), {});
  return text.find("Rating=\"4\"") != std::string::npos ||
         text.find("<xmp:Rating>4</xmp:Rating>") != std::string::npos;
}

TEST(Catalogue, ScriptsOfThePluginReachTheChosenOpenDocument) {
  TempHome home;
  const fs::path first = makeSession(home.path() / "First");
  const fs::path second = makeSession(home.path() / "Second: the other");
  const std::string setScript =
      "set script " + json(ratingsScript({"IMG_0001."}, "rating", 4)).dump();
  struct Case {
    const char* name;
    std::vector<std::string> options;
    std::string commands;
    bool firstRated, secondRated;
  };
  const Case cases[] = {
      {"the first of two",
       {"--document", first.string()},
       "open " + json(second.string()).dump() + "\n" + setScript,
       true,
       false},
      {"the chosen of two",
       {"--choose", second.filename().string(), "--document", first.string()},
       "open " + json(second.string()).dump() + "\n" + setScript,
       false,
       true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (const fs::path& session : {first, second}) fs::remove(session / "IMG_0001.jpg.xmp");
    const fs::path script = home.path() / "commands.txt";
    std::ofstream(script) << c.commands << "\n";
    std::vector<std::string> args = {"--json", "--bundle", fixtureBundle("echo").string()};
    args.insert(args.end(), c.options.begin(), c.options.end());
    args.insert(args.end(), {"run", script.string()});
    const CohostRun run = runCohost(CohostOptions(args));
    ASSERT_EQ(run.exitCode, 0) << run.describe();
    EXPECT_EQ(run.lines().back()["callbacks"], json::parse(R"([{"action":0,"value":0}])"))
        << run.describe();
    EXPECT_EQ(rated(first), c.firstRated);
    EXPECT_EQ(rated(second), c.secondRated);
  }
}

TEST(Catalogue, OpenListsTheDocumentsAndRefusesWhatIsNoFolder) {
  TempHome home;
  const fs::path first = makeSession(home.path() / "First");
  const std::string echo = fixtureBundle("echo").string();
  CohostRun run = runCohost({"--json", "--bundle", echo, "--document", first.string(), "open",
                             (home.path() / "." / "First").string()});
  ASSERT_EQ(run.exitCode, 0) << run.describe();
  EXPECT_EQ(run.single()["documents"], json::array({fs::canonical(first).string()}));
  EXPECT_EQ(run.single()["name"], "First");

  run = runCohost({"--json", "--bundle", echo, "open", (first / "IMG_0001.jpg").string()});
  EXPECT_EQ(run.exitCode, 1) << run.describe();
  EXPECT_THAT(run.single()["error"]["localizedDescription"].get<std::string>(),
              HasSubstr("is not a folder"));

  run = runCohost({"--json", "--bundle", echo, "--document", "/no/such/folder", "page"});
  EXPECT_EQ(run.exitCode, 2) << run.describe();
}

}  // namespace
}  // namespace vorelia::testing
