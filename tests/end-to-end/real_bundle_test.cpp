// cohost against the real VoreliaC1Plugin bundle, logged out: every host operation is reachable and
// answers with a well-formed result (an action not offered while logged out is a usage error), and
// the plugin finds its icon inside its own bundle wherever the host runs from. What the plugin
// answers in detail belongs to its own tests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cohost_process.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

// Whether result has the members every result has, in the documented shape.
bool wellFormed(const json& result) {
  const auto is = [](const json& object, const char* key, bool (json::*kind)() const noexcept) {
    return object.is_object() && (object.value(key, json()).*kind)();
  };
  const json error = result.is_object() ? result.value("error", json()) : json();
  return is(result, "command", &json::is_string) && is(result, "ok", &json::is_boolean) &&
         (error.is_null() ||
          (is(error, "domain", &json::is_string) && is(error, "code", &json::is_number_integer) &&
           is(error, "localizedDescription", &json::is_string)));
}

TEST(RealBundle, ReachesEveryHostOperation) {
  TempHome home;
  const fs::path script = home.path() / "all.txt";
  std::ofstream(script) << "actions 0\n"
                           "actions 1\n"
                           "page\n"
                           "set password-input \"p@ss word\"\n"
                           "press createAccount-action\n"
                           "action-page voreliaPublishLogin\n"
                           "action-set voreliaPublishShare albumsList-input \"create\"\n"
                           "processing voreliaPublishLogin\n"
                           "visibility voreliaPublishLogin\n"
                           "tasks voreliaPublishLogin /nowhere/a.jpg\n"
                           "validate voreliaPublishLogin\n"
                           "wait\n";
  const CohostRun run = runCohost(
      {"--json", "--bundle", pluginBundle().string(), "run", "--keep-going", script.string()});
  ASSERT_EQ(run.exitCode, 2) << run.describe();
  const std::vector<json> r = run.lines();
  ASSERT_EQ(r.size(), 12u) << run.describe();
  std::vector<std::string> commands;
  for (const json& result : r) {
    EXPECT_TRUE(wellFormed(result)) << result.dump();
    EXPECT_EQ(result.contains("usage"), result == r[6]) << result.dump();
    commands.push_back(result.value("command", ""));
  }
  EXPECT_THAT(commands, ::testing::ElementsAre("actions", "actions", "page", "set", "press",
                                               "action-page", "action-set", "processing",
                                               "visibility", "tasks", "validate", "wait"));

  ASSERT_EQ(r[1]["actions"].size(), 1u) << r[1].dump();
  EXPECT_EQ(r[1]["actions"][0]["identifier"], "voreliaPublishLogin");
  EXPECT_TRUE(r[2]["groups"].is_array() && !r[2]["groups"].empty()) << r[2].dump();
  EXPECT_EQ(r[3]["value"], "(hidden)") << "a secure field's value is never shown back";
  EXPECT_EQ(run.out.find("p@ss word"), std::string::npos);
  // Logged out, the plugin offers only its login action.
  EXPECT_THAT(r[6]["usage"].get<std::string>(),
              ::testing::EndsWith("offered: voreliaPublishLogin"));
  EXPECT_TRUE(r[8]["hex"].is_string() && r[8]["bits"].is_number_unsigned()) << r[8].dump();
}

TEST(RealBundle, FindsItsIconInsideItsOwnBundleFromAnyWorkingFolder) {
  TempHome home;
  // A copy of the bundle in the plug-ins folder, cohost run from an unrelated folder: the icon can
  // only come from the bundle that was loaded.
  const fs::path installed = home.path() / "Library" / "Application Support" / "Capture One" /
                             "Plug-ins" / "VoreliaC1Plugin.coplugin";
  fs::create_directories(installed.parent_path());
  fs::copy(pluginBundle(), installed, fs::copy_options::recursive);
  const fs::path elsewhere = home.path() / "elsewhere";
  fs::create_directories(elsewhere);

  const CohostRun run = runCohost(CohostOptions{"--json", "actions", "1"}.inFolder(elsewhere));
  ASSERT_EQ(run.exitCode, 0) << run.describe();
  const json actions = run.single()["actions"];
  ASSERT_FALSE(actions.empty()) << run.describe();
  for (const json& action : actions) {
    const json& image = action["image"];
    ASSERT_TRUE(image.is_object()) << action.dump();
    const fs::path icon = installed / "Resources" / "VoreliaC1PluginIcon.icns";
    EXPECT_EQ(fs::path(image["path"].get<std::string>()), icon);
    EXPECT_EQ(image["bytes"].get<std::uintmax_t>(), fs::file_size(icon));
    char magic[4] = {};
    std::ifstream(icon, std::ios::binary).read(magic, 4);
    EXPECT_EQ(std::string(magic, 4), "icns");
  }
}

}  // namespace
}  // namespace vorelia::testing
