// The sandbox's computer vision: uploads under the vision's own signature, analyses measured from
// the pixels, paid for with the options' credits only when they succeed.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sandbox_fixture.h"
#include "support/jpeg_writer.h"

namespace vorelia::sandbox::testing {
namespace {

using ::testing::Contains;
using ::testing::HasSubstr;
using vorelia::testing::makeJpeg;
using vorelia::testing::Rgb;

class SandboxVision : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    seedUser("ann@example.test", "pw", {"ann-studio"});
    token_ = tokenFor("ann@example.test");
  }

  nlohmann::json createVision() {
    const auto created = send("PUT", "/api/ann-studio/visions", "", bearer(token_));
    EXPECT_TRUE(created && created->status == 200) << (created ? created->body : "no answer");
    return json(created);
  }

  // Uploads bytes into the vision the way the plugin does: storage URL + id + "/" + name + SAS.
  int upload(const nlohmann::json& vision, const std::string& name, const std::string& bytes) {
    const std::string url = vision["storageUrl"].get<std::string>() +
                            vision["id"].get<std::string>() + "/" + name +
                            vision["uploadSas"].get<std::string>();
    const std::string prefix = server_->url();
    EXPECT_EQ(url.rfind(prefix, 0), 0u) << url;
    const auto result = send("PUT", url.substr(prefix.size()), bytes,
                             {{"x-ms-blob-type", "BlockBlob"}}, "application/octet-stream");
    return result ? result->status : 0;
  }

  httplib::Result analyse(const nlohmann::json& vision, const nlohmann::json& payload) {
    return send("POST", "/api/ann-studio/visions/" + vision["id"].get<std::string>() + "/analyse/",
                payload.dump(), bearer(token_));
  }

  double credits() { return json(get("/api/ann-studio/credits", bearer(token_)))["credits"]; }

  static nlohmann::json options(std::initializer_list<const char*> set, const std::string& name) {
    nlohmann::json payload = {{"name", name}, {"escapedName", name}, {"Lang", "en"}};
    for (const char* key :
         {"Categories", "Tags", "Description", "Color", "Adult", "Celebrities", "Landmarks", "Face",
          "Food", "Wedding", "Travel", "Texture", "Apparel"}) {
      payload[key] = false;
    }
    for (const char* key : set) payload[key] = true;
    return payload;
  }

  std::string token_;
};

TEST_F(SandboxVision, AnalysisIsMeasuredFromThePixels) {
  const auto blueSky = makeJpeg(640, 400, [](int, int) { return Rgb{40, 90, 220}; });
  const auto snow = makeJpeg(300, 500, [](int, int) { return Rgb{245, 245, 245}; });
  const auto checks = makeJpeg(512, 512, [](int x, int y) {
    return ((x / 8 + y / 8) % 2) != 0 ? Rgb{0, 0, 0} : Rgb{255, 255, 255};
  });
  struct Case {
    const char* name;
    const std::string& bytes;
    std::vector<std::string> keywords;  // among the keywords
    const char* description;            // in the description
  };
  const Case cases[] = {
      {"sky.jpg", blueSky, {"landscape", "blue"}, "landscape image with mostly blue tones"},
      {"snow.jpg", snow, {"portrait", "white", "bright"}, "A bright portrait image"},
      {"checks.jpg", checks, {"square", "black", "white", "high contrast"}, "high contrast"},
  };
  const nlohmann::json vision = createVision();
  nlohmann::json previous;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ASSERT_EQ(upload(vision, c.name, c.bytes), 201);
    const auto payload = options({"Tags", "Description", "Texture"}, c.name);
    const nlohmann::json first = json(analyse(vision, payload));
    EXPECT_EQ(first["hasError"], false) << first;
    EXPECT_EQ(first["name"], c.name);
    for (const std::string& word : c.keywords) EXPECT_THAT(first["keywords"], Contains(word));
    EXPECT_THAT(first["description"].get<std::string>(), HasSubstr(c.description));
    EXPECT_EQ(json(analyse(vision, payload)), first) << "the same image, the same answer";
    EXPECT_NE(first["keywords"], previous["keywords"]);
    previous = first;
  }
  EXPECT_THAT(json(analyse(vision, options({"Tags", "Texture"}, "checks.jpg")))["keywords"],
              Contains("detailed texture"));
}

TEST_F(SandboxVision, OptionsAreChargedOnlyForAnalysesThatSucceed) {
  const nlohmann::json vision = createVision();
  const auto image = makeJpeg(300, 300, [](int x, int) {
    return Rgb{static_cast<unsigned char>(x), 120, 30};
  });
  ASSERT_EQ(upload(vision, "a.jpg", image), 201);
  ASSERT_EQ(upload(vision, "notes.jpg", "plain text, no image"), 201);
  adminOk("POST", "/admin/credits", {{"account", "ann-studio"}, {"credits", 10}});
  struct Case {
    std::initializer_list<const char*> options;
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
    const auto answer = analyse(vision, options(c.options, c.name));
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status) << answer->body;
    EXPECT_EQ(json(answer)["hasError"], c.status != 200) << answer->body;
    expected -= c.cost;
    EXPECT_DOUBLE_EQ(credits(), expected);
  }
  EXPECT_DOUBLE_EQ(json(get("/api/ann-studio/credits", bearer(token_)))["creditsUsed"], 10.0);
}

TEST_F(SandboxVision, UploadsNeedTheVisionsOwnSignature) {
  const nlohmann::json vision = createVision();
  const nlohmann::json other = createVision();
  const std::string image = makeJpeg(300, 300, [](int, int) { return Rgb{1, 2, 3}; });
  nlohmann::json forged = vision;
  forged["uploadSas"] = other["uploadSas"];
  EXPECT_EQ(upload(forged, "a.jpg", image), 403) << "another vision's signature";
  forged["uploadSas"] = "";
  EXPECT_EQ(upload(forged, "a.jpg", image), 403) << "no signature";
  advanceClock(std::chrono::hours(5));
  EXPECT_EQ(upload(vision, "a.jpg", image), 403) << "an expired signature";
  EXPECT_EQ(json(analyse(vision, options({"Tags"}, "a.jpg")))["hasError"], true);
  // Another account's user cannot reach the vision.
  seedUser("bob@example.test", "pw", {"bob-studio"});
  const auto foreign =
      send("POST", "/api/bob-studio/visions/" + vision["id"].get<std::string>() + "/analyse/",
           options({"Tags"}, "a.jpg").dump(), bearer(tokenFor("bob@example.test")));
  EXPECT_EQ(foreign->status, 404);
}

}  // namespace
}  // namespace vorelia::sandbox::testing
