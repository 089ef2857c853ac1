// Self-update through the host: cohost runs the 0.1.5-beta bundle while the sandbox's update
// library offers a newer build of the same plugin; the plugin installs it into the plug-ins
// folder, and the next cohost that loads from there runs the new version.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "cohost_process.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string VersionIn(const fs::path& bundle) {
  std::ifstream info(bundle / "Info.json");
  const json parsed = json::parse(info, nullptr, false);
  return parsed.is_object() ? parsed.value("pluginVersion", "") : "";
}

TEST(SelfUpdate, InstallsTheNewerBundleThatTheNextStartLoads) {
  TempHome home;
  const fs::path library = makeTempDirectory("library");
  const std::string version = UPDATE_TEST_VERSION;
  const fs::path archive = UPDATE_ARCHIVE_PATH;
  fs::copy_file(archive, library / archive.filename());
  std::ofstream(library / "details.json") << json{{"version", version}}.dump();
  SandboxProcess sandbox(withArguments({"--library", library.string()}));
  const std::string updates = sandbox.baseUrl() + "libraries/captureone/";

  const fs::path plugins =
      home.path() / "Library" / "Application Support" / "Capture One" / "Plug-ins";
  const fs::path installed = plugins / "VoreliaC1Plugin.coplugin";
  const auto updated = [&] {
    return VersionIn(installed) == version && fs::exists(installed / "VoreliaC1Plugin.so") &&
           fs::exists(installed / "Resources" / "VoreliaC1PluginIcon.icns");
  };
  // The first start runs the build's bundle and stays up until the update is in place.
  const CohostRun first =
      runCohost(CohostOptions({"--json", "--bundle", pluginBundle().string(), "shell"})
                    .withInput("bundle\n")
                    .withVariable("VORELIA_UPDATE_URL", updates)
                    .holdInputUntil(updated));
  ASSERT_FALSE(first.timedOut) << "the update was not installed\n" << first.describe();
  ASSERT_EQ(first.exitCode, 0) << first.describe();
  EXPECT_EQ(first.single()["pluginVersion"], "0.1.5-beta") << first.describe();
  EXPECT_TRUE(fs::exists(home.path() / "Downloads" / archive.filename()));

  // The next start finds the bundle in the plug-ins folder.
  const CohostRun next =
      runCohost(CohostOptions({"--json", "bundle"}).withVariable("VORELIA_UPDATE_URL", updates));
  ASSERT_EQ(next.exitCode, 0) << next.describe();
  const json loaded = next.single();
  EXPECT_EQ(loaded["pluginVersion"], version) << next.describe();
  std::error_code ec;
  EXPECT_TRUE(fs::equivalent(loaded.value("path", ""), installed, ec)) << next.describe();

  // Exactly one download: the new version finds its own archive and asks for nothing more.
  int archiveRequests = 0;
  for (const auto& request : sandbox.requests()) {
    if (request["path"] == "/libraries/captureone/" + archive.filename().string()) {
      ++archiveRequests;
    }
  }
  EXPECT_EQ(archiveRequests, 1);
  fs::remove_all(library);
}

}  // namespace
}  // namespace vorelia::testing
