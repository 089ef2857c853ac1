// cohost against the real VoreliaC1Plugin bundle: the plugin finds its icon inside its own bundle
// wherever the host runs from.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "cohost_process.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

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
