// Loading bundles: every kind of unusable bundle is refused with a message that says why, and the
// one plugin instance of a run is made before the first command and destroyed after the last.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cohost_process.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;

struct RefusalCase {
  const char* bundle;
  const char* message;
};

TEST(BundleLoader, RefusesUnusableBundlesWithAClearMessage) {
  const RefusalCase cases[] = {
      {"wrong-sdk-info", "built for SDK version 2, this host supports 1"},
      {"wrong-sdk-library", "built for SDK version 2, this host supports 1"},
      {"no-create", "the library does not export COPluginCreate"},
      {"no-info", "the folder has no Info.json"},
      {"unknown-class", "the library does not provide the principal class \"NoSuchClass\""},
      {"broken-library", "the library does not load: "},
      {"missing", "it is not a folder"},
  };
  TempHome home;
  for (const RefusalCase& c : cases) {
    const fs::path bundle = fixtureBundle(c.bundle);
    SCOPED_TRACE(bundle.string());
    const CohostRun json = runCohost({"--json", "--bundle", bundle.string(), "page"});
    EXPECT_EQ(json.exitCode, 1) << json.describe();
    const nlohmann::json result = json.single();
    ASSERT_TRUE(result.is_object()) << json.describe();
    EXPECT_EQ(result["command"], "load");
    EXPECT_EQ(result["ok"], false);
    EXPECT_EQ(result["bundle"], bundle.string());
    EXPECT_EQ(result["error"]["domain"], "cohost");
    EXPECT_THAT(result["error"]["localizedDescription"].get<std::string>(),
                HasSubstr("cannot load the bundle " + bundle.string() + ": " + c.message));

    const CohostRun human = runCohost({"--bundle", bundle.string(), "page"});
    EXPECT_EQ(human.exitCode, 1) << human.describe();
    EXPECT_EQ(human.out, "");
    EXPECT_THAT(human.err, HasSubstr(c.message));
  }
}

// Installs the echo test bundle into the plug-ins folder under home, under name.
fs::path install(const TempHome& home, const std::string& name) {
  const fs::path folder =
      home.path() / "Library" / "Application Support" / "Capture One" / "Plug-ins";
  fs::create_directories(folder);
  fs::copy(fixtureBundle("echo"), folder / name, fs::copy_options::recursive);
  return folder / name;
}

TEST(BundleLoader, FindsTheBundleFromOptionEnvironmentOrPlugInsFolder) {
  TempHome home;
  const CohostRun none = runCohost({"--json", "page"});
  EXPECT_EQ(none.exitCode, 1) << none.describe();
  EXPECT_THAT(none.single()["error"]["localizedDescription"].get<std::string>(),
              HasSubstr("no plugin bundle in " + home.path().string()));

  const fs::path unusable = install(home, "A.coplugin");
  fs::remove(unusable / "echo.so");
  const std::string echo = fixtureBundle("echo").string();
  const std::string refused = fixtureBundle("no-info").string();
  struct Case {
    const char* installed;  // added to the plug-ins folder before the run
    std::vector<std::string> args;
    std::optional<std::string> environment;
    int exitCode;
    std::string said;  // in the output
  };
  const std::string page = "\"Echo\"";  // the title of the echo bundle's page
  const Case cases[] = {
      {nullptr, {"--json", "page"}, std::nullopt, 1, unusable.string()},  // the only *.coplugin
      {"VoreliaC1Plugin.coplugin", {"--json", "page"}, std::nullopt, 0, page},  // preferred
      {nullptr, {"--json", "page"}, refused, 1, refused},                       // the variable wins
      {nullptr, {"--json", "--bundle", echo, "page"}, refused, 0, page},  // the option wins over it
      {nullptr, {"--json", "--bundle=" + refused, "page"}, std::nullopt, 1, refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) +
                 " COHOST_BUNDLE=" + c.environment.value_or("-"));
    if (c.installed != nullptr) install(home, c.installed);
    const CohostRun run =
        runCohost(CohostOptions(c.args).withVariable("COHOST_BUNDLE", c.environment));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.describe();
    EXPECT_THAT(run.out, HasSubstr(c.said));
  }
}

TEST(BundleLoader, MakesOneInstancePerRunAndDestroysItThroughTheBundle) {
  TempHome home;
  const fs::path log = home.path() / "echo.log";
  const fs::path script = home.path() / "script";
  std::ofstream(script) << "page\npress reload\nactions 1\nquit\npage\n";
  const CohostRun run = runCohost(
      CohostOptions{"--json", "--bundle", fixtureBundle("echo").string(), "run", script.string()}
          .withVariable("ECHO_PLUGIN_LOG", log.string()));
  EXPECT_EQ(run.exitCode, 0) << run.describe();
  EXPECT_EQ(run.lines().size(), 4u) << "quit ends the script";
  std::stringstream lines;
  lines << std::ifstream(log).rdbuf();
  EXPECT_EQ(lines.str(), "created\ndestroyed\n");
}

}  // namespace
}  // namespace vorelia::testing
