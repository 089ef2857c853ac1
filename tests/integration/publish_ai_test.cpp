// Auto-tagging end to end: PublishAi sends three exported JPEGs to the sandbox's vision analysis,
// and its keyword script, run by cohost-osascript on a session folder, leaves the keywords and
// descriptions in the session's XMP sidecars, for every image whose name starts with an exported
// file's base name (IMG_0001.CR2 from an exported IMG_0001.jpg).
#include "publish/publish_ai.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <exiv2/exiv2.hpp>
#include <fstream>

#include "document_list.h"
#include "support/jpeg_writer.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"

namespace vorelia {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::SizeIs;

// A JPEG of width x height filled with one colour.
void writeSolidJpeg(const std::filesystem::path& path, int width, int height, testing::Rgb colour) {
  testing::writeJpeg(path, width, height, [colour](int, int) { return colour; });
}

struct Sidecar {
  std::vector<std::string> keywords;
  std::string description;
};

std::optional<Sidecar> readSidecar(const std::filesystem::path& path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  auto image = Exiv2::ImageFactory::open(path.string());
  image->readMetadata();
  const Exiv2::XmpData& xmp = image->xmpData();
  Sidecar sidecar;
  if (auto it = xmp.findKey(Exiv2::XmpKey("Xmp.dc.subject")); it != xmp.end()) {
    for (long i = 0; i < it->count(); ++i) sidecar.keywords.push_back(it->toString(i));
  }
  if (auto it = xmp.findKey(Exiv2::XmpKey("Xmp.dc.description")); it != xmp.end()) {
    sidecar.description =
        dynamic_cast<const Exiv2::LangAltValue&>(it->value()).value_.at("x-default");
  }
  return sidecar;
}

TEST(PublishAiEndToEnd, ASessionOfJpegsIsTaggedInItsSidecars) {
  testing::TempHome home;
  testing::SandboxProcess sandbox;
  sandbox.seedUser("ann@example.test", "pw", {"ann-studio"});
  sandbox.admin("POST", "/admin/credits", {{"account", "ann-studio"}, {"credits", 20}});
  auto state = std::make_shared<PluginState>(Deployment{sandbox.baseUrl(), "", "", "https://web"});
  state->account.set("ann-studio");
  state->setAuthentication("Bearer " + sandbox.token("ann@example.test"),
                           std::chrono::system_clock::now());
  state->general = true;
  state->describe = true;
  auto api = std::make_shared<Api>(state);

  // The host exported three images; its session holds them as raw files and one more.
  const auto exported = home.path() / "export";
  const auto session = home.path() / "Session";
  std::filesystem::create_directories(exported);
  std::filesystem::create_directories(session);
  std::filesystem::create_directories(home.path() / "Library/Scripts/Capture One Scripts");
  writeSolidJpeg(exported / "IMG_0001.jpg", 640, 400, {40, 90, 220});    // blue, landscape
  writeSolidJpeg(exported / "IMG_0002.jpg", 300, 500, {245, 245, 245});  // white, portrait
  writeSolidJpeg(exported / "IMG_0003.jpg", 400, 400, {200, 30, 30});    // red, square
  for (const char* name : {"IMG_0001.CR2", "IMG_0002.jpg", "IMG_0003.NEF", "IMG_0004.jpg"}) {
    std::ofstream(session / name) << "raw";
  }
  const testing::ScopedEnvironment interpreter("VORELIA_OSASCRIPT", COHOST_OSASCRIPT_PATH);
  const testing::ScopedEnvironment documents(host::DocumentsVariable,
                                             host::encodeDocumentList({session.string()}));

  PublishAi workflow(state, api);
  std::vector<std::string> progress;
  const PublishResult result = workflow.DoPublish(
      PublishTask{"voreliaPublishAI",
                  {(exported / "IMG_0001.jpg").string(), (exported / "IMG_0002.jpg").string(),
                   (exported / "IMG_0003.jpg").string()},
                  {}},
      [&](std::uint64_t, std::uint64_t, const std::optional<std::string>& text) {
        progress.push_back(text.value_or(""));
      });
  EXPECT_EQ(result.message, "Go to metadata and keywords of your images");
  EXPECT_EQ(result.url, "https://web");
  EXPECT_THAT(progress, SizeIs(4));

  const struct {
    const char* image;
    const char* keyword;
    const char* description;
  } expected[] = {
      {"IMG_0001.CR2", "blue;", "landscape image with mostly blue tones"},
      {"IMG_0002.jpg", "white;", "bright portrait image"},
      {"IMG_0003.NEF", "red;", "square image with mostly red tones"},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.image);
    const auto sidecar = readSidecar(session / (std::string(e.image) + ".xmp"));
    ASSERT_TRUE(sidecar);
    ASSERT_THAT(sidecar->keywords, SizeIs(1)) << "one keyword: the whole tags text";
    EXPECT_THAT(sidecar->keywords[0], HasSubstr(e.keyword));
    EXPECT_THAT(sidecar->keywords[0], EndsWith(";"));
    EXPECT_THAT(sidecar->description, HasSubstr(e.description));
  }
  EXPECT_FALSE(std::filesystem::exists(session / "IMG_0004.jpg.xmp"));
  EXPECT_TRUE(std::filesystem::is_empty(home.path() / "Library/Scripts/Capture One Scripts"))
      << "the script file is removed after the run";
  const auto credits = sandbox.admin("GET", "/admin/state").body["accounts"][0]["credits"];
  EXPECT_DOUBLE_EQ(credits["credits"].get<double>(), 20 - 3 * 3.5);
}

}  // namespace
}  // namespace vorelia
