// The sandbox's computer vision charges the options' credits only for analyses that succeed; the
// plugin's auto-tagging tests drive the analyses and their keywords, never the charges.
#include <gtest/gtest.h>

#include <algorithm>

#include "sandbox_fixture.h"
#include "support/jpeg_writer.h"

namespace vorelia::sandbox::testing {
namespace {

using SandboxVision = SandboxTest;

TEST_F(SandboxVision, OptionsAreChargedOnlyForAnalysesThatSucceed) {
  seedUser("ann@example.test", "pw", {"ann-studio"});
  const auto auth = bearer(tokenFor("ann@example.test"));
  const auto vision = json(send("PUT", "/api/ann-studio/visions", "", auth));
  const std::string id = vision["id"];
  const auto upload = [&](const std::string& name, const std::string& bytes) {
    const std::string url = vision["storageUrl"].get<std::string>() + id + "/" + name +
                            vision["uploadSas"].get<std::string>();
    return send("PUT", url.substr(server_->url().size()), bytes, {{"x-ms-blob-type", "BlockBlob"}},
                "application/octet-stream")
        ->status;
  };
  ASSERT_EQ(
      upload("a.jpg", vorelia::testing::makeJpeg(
                          300, 300,
                          [](int x, int) {
                            return vorelia::testing::Rgb{static_cast<unsigned char>(x), 120, 30};
                          })),
      201);
  ASSERT_EQ(upload("notes.jpg", "plain text, no image"), 201);
  adminOk("POST", "/admin/credits", {{"account", "ann-studio"}, {"credits", 10}});
  struct Case {
    std::vector<const char*> options;
    const char* name;
    int status;
    double cost;
  };
  const Case cases[] = {
      {{"Description"}, "a.jpg", 200, 2.5},
      {{"Categories", "Tags", "Face"}, "a.jpg", 200, 2.0},
      {{"Adult", "Celebrities", "Landmarks"}, "a.jpg", 200, 4.5},
      {{"Wedding"}, "notes.jpg", 422, 0},     // not an image: refused, nothing spent
      {{"Wedding"}, "missing.jpg", 404, 0},   // never uploaded
      {{}, "a.jpg", 400, 0},                  // no option
      {{"Food", "Travel"}, "a.jpg", 402, 0},  // 3 needed, 1 left
      {{"Tags"}, "a.jpg", 200, 1.0},          // exactly enough
  };
  double expected = 10;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.cost));
    nlohmann::json payload = {{"name", c.name}, {"escapedName", c.name}, {"Lang", "en"}};
    for (const char* key :
         {"Categories", "Tags", "Description", "Color", "Adult", "Celebrities", "Landmarks", "Face",
          "Food", "Wedding", "Travel", "Texture", "Apparel"}) {
      payload[key] =
          std::find(c.options.begin(), c.options.end(), std::string_view(key)) != c.options.end();
    }
    const auto answer =
        send("POST", "/api/ann-studio/visions/" + id + "/analyse/", payload.dump(), auth);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status) << answer->body;
    expected -= c.cost;
    EXPECT_DOUBLE_EQ(json(get("/api/ann-studio/credits", auth))["credits"], expected);
  }
}

}  // namespace
}  // namespace vorelia::sandbox::testing
