// The plugin finds its bundle from the file that holds its code. In this test program that file is
// the program itself, so the answer is the program's folder, and it must not move with the working
// folder (the loader may record the file relative to where the program started).
#include "plugin/bundle_location.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "support/temp_home.h"

namespace vorelia {
namespace {

namespace fs = std::filesystem;

TEST(BundleLocation, IsTheFolderOfTheCodesFileWhateverTheWorkingFolder) {
  const fs::path program = fs::read_symlink("/proc/self/exe");
  const fs::path before = fs::current_path();
  const fs::path elsewhere = testing::makeTempDirectory("vorelia-elsewhere");
  fs::current_path(elsewhere);
  const auto directory = bundleDirectory();
  const auto icon = bundleIconPath();
  fs::current_path(before);
  fs::remove_all(elsewhere);

  ASSERT_TRUE(directory.has_value());
  EXPECT_EQ(fs::canonical(*directory), program.parent_path());
  ASSERT_TRUE(icon.has_value());
  EXPECT_EQ(*icon, *directory / "Resources" / "VoreliaC1PluginIcon.icns");
}

}  // namespace
}  // namespace vorelia
