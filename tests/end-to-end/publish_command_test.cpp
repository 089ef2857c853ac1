// cohost's publish command against the echo bundle: the images are exported as the action's
// processing settings ask, the task sees only the exported copies, progress reaches the output,
// the copies go away afterwards and the originals are never touched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "cohost_process.h"
#include "platform/image_properties.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// Runs cohost's publish command with TMPDIR set to temporary, where the host exports.
CohostRun publish(const std::string& action, const json& settings,
                  const std::vector<std::string>& files, const fs::path& temporary) {
  std::vector<std::string> args = {"--json",  "--bundle", fixtureBundle("echo").string(),
                                   "publish", action,     settings.dump()};
  args.insert(args.end(), files.begin(), files.end());
  fs::create_directories(temporary);
  return runCohost(CohostOptions(args).withVariable("TMPDIR", temporary.string()));
}

TEST(PublishCommand, ExportsScaledCopiesRunsTheTaskAndRemovesTheCopies) {
  TempHome home;
  const std::vector<std::string> large = drawSampleSession(home.path() / "large", 300);
  const std::vector<std::string> small = drawSampleSession(home.path() / "small", 40);
  const std::vector<std::string> files = {large[0], large[3], small[1]};
  std::vector<std::string> before;
  for (const std::string& file : files) before.push_back(fileSha256(file));
  const fs::path copies = home.path() / "copies";
  fs::create_directory(copies);

  const fs::path temporary = home.path() / "tmp";
  const CohostRun run = publish("export", {{"copyTo", copies.string()}}, files, temporary);
  ASSERT_EQ(run.exitCode, 0) << run.describe();

  // The task saw three JPEG copies with the originals' names, scaled to a long edge of 64 pixels
  // but never upscaled.
  // (long edge, portrait) of each copy: Anna's portrait, Forest trail, then the small Beach.
  std::vector<std::pair<int, bool>> shapes;
  for (const fs::path file : files) {
    const fs::path copy = copies / (file.stem().string() + ".jpg");
    const auto size = platform::imagePixelSize(copy);
    ASSERT_TRUE(size) << copy;
    shapes.emplace_back(std::max(size->width, size->height), size->height > size->width);
  }
  EXPECT_THAT(shapes, ElementsAre(std::pair(64, true), std::pair(64, false), std::pair(40, false)));

  const json result = results(run, "publish").at(0);
  ASSERT_EQ(result["results"].size(), 1u) << run.describe();
  const fs::path exportFolder = result["results"][0]["url"].get<std::string>();
  EXPECT_EQ(exportFolder.parent_path(), temporary);
  EXPECT_TRUE(fs::is_empty(temporary)) << "the exported copies must be removed";
  EXPECT_EQ(result["results"][0]["message"], "copyTo=" + copies.string() + ";");

  // With no document open, the files' folders were opened.
  EXPECT_EQ(result["opened"], json({fs::canonical(home.path() / "large").string(),
                                    fs::canonical(home.path() / "small").string()}));
  // The export is announced; the last step shows the time so far, no estimate of zero.
  std::vector<json> progress;
  for (const json& line : run.lines()) {
    if (line.contains("progress")) progress.push_back(line["progress"]);
  }
  ASSERT_EQ(progress.size(), 4u) << run.describe();
  EXPECT_EQ(progress[0], json({{"exporting", 3}}));
  for (std::uint64_t i = 1; i <= 3; ++i) EXPECT_EQ(progress[i]["completed"], i);
  EXPECT_TRUE(progress[3]["etaSeconds"].is_null() && progress[3]["elapsedSeconds"].is_number());
  for (std::size_t i = 0; i < files.size(); ++i) EXPECT_EQ(fileSha256(files[i]), before[i]);
}

TEST(PublishCommand, RefusalsLeaveNothingBehind) {
  TempHome home;
  const std::vector<std::string> photos = drawSampleSession(home.path() / "photos", 100);
  const fs::path notAnImage = home.path() / "notes.jpg";
  std::ofstream(notAnImage) << "not a picture";
  struct Case {
    std::string action;
    std::vector<std::string> files;
    std::string says;
    json settings = json::object();
  } cases[] = {
      {"tiff", {photos[0]}, "JPEG only"},
      {"export",
       {photos[0], notAnImage.string()},
       "cannot read " + notAnImage.string() + ": not an image format cohost can read"},
      {"export", {(home.path() / "missing.jpg").string()}, "missing.jpg: no such file"},
      {"export", {photos[0]}, "no publishing here"},  // no "copyTo": the task itself fails
      {"export", {photos[0]}, "the publication made no link", {{"noLink", true}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    const fs::path temporary = home.path() / "tmp";
    const CohostRun run = publish(c.action, c.settings, c.files, temporary);
    EXPECT_EQ(run.exitCode, 1) << run.describe();
    EXPECT_THAT(results(run, "publish").at(0)["error"]["localizedDescription"].dump(),
                HasSubstr(c.says))
        << run.describe();
    EXPECT_TRUE(fs::is_empty(temporary)) << "an export folder was left behind";
    fs::remove_all(temporary);
  }
}

}  // namespace
}  // namespace vorelia::testing
