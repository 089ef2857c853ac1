// Auto-tagging (PublishAi) against a scripted service and vision store.
#include "publishing_fixture.h"

namespace vorelia::testing_publish {
namespace {

// A scripted service: credits, one vision "v1" whose blobs go to /store/, analyses answered per
// item name.
class PublishAiTest : public Publishing {
 protected:
  PublishAiTest() {
    server.respond("/api/studio/credits", [this](const RecordedRequest&) {
      return TestReply{200, {}, R"({"credits":)" + credits.get() + "}"};
    });
    server.respond("/api/studio/visions", [this](const RecordedRequest&) {
      const JSON vision{
          {"id", "v1"}, {"uploadSas", "?sig=u"}, {"storageUrl", server.url("/store/")}};
      return TestReply{200, {}, *vision.rawData()};
    });
    server.reply("/store/*", TestReply{201});
    server.respond("/api/studio/visions/v1/analyse/", [this](const RecordedRequest& r) {
      const auto answers = analyses.get();
      const auto found = answers.find(JSON::Parse(r.body)["escapedName"].stringValue());
      return found == answers.end() ? TestReply{404} : TestReply{200, {}, found->second};
    });
  }

  PublishResult publish(const std::vector<std::string>& files) {
    return run(PublishAi(state, api), PublishTask{"voreliaPublishAI", files, {}});
  }

  // The refusal DoPublish threw, if any.
  std::optional<PluginError> refusal(const std::vector<std::string>& files) {
    try {
      publish(files);
    } catch (PluginError error) {
      return error;
    }
    return std::nullopt;
  }
};

TEST_F(PublishAiTest, ExportedFilesMustMeetTheAnalysisLimits) {
  const struct {
    const char* name;
    int width, height;
    std::uintmax_t padTo;  // trailing bytes up to this size; 0 leaves the JPEG as it is
    bool conforms;
  } cases[] = {
      {"photo.JPG", 300, 300, 0, true},       {"photo.jpeg", 300, 300, 0, false},
      {"photo", 300, 300, 0, false},          {"wide.jpg", 4096, 256, 0, true},
      {"too-wide.jpg", 4097, 256, 0, false},  {"too-low.jpg", 4096, 255, 0, false},
      {"under.jpg", 300, 300, 3999999, true}, {"limit.jpg", 300, 300, 4000000, false},
      {"unreadable.jpg", 0, 0, 100, true},  // not an image: only the size counts
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = exported / c.name;
    std::ofstream(file, std::ios::binary) << (c.width > 0 ? makeJpeg(c.width, c.height) : "");
    if (c.padTo > 0) fs::resize_file(file, c.padTo);
    EXPECT_EQ(PublishAi::conformImage(file.string()), c.conforms);
  }
  EXPECT_FALSE(PublishAi::conformImage((exported / "missing.jpg").string()));
}

// Every chosen option adds its cost to each image: 16.5 credits for all of them.
TEST_F(PublishAiTest, RefusalsComeBeforeAnyRequest) {
  std::vector<std::string> ten;
  for (int i = 0; i < 10; ++i) ten.push_back("img" + std::to_string(i) + ".jpg");
  const auto files = exportImages(ten);
  std::ofstream(exported / "big.jpeg", std::ios::binary) << makeJpeg(300, 300);

  EXPECT_EQ(refusal(files), PluginError::noAIOptionsSelected);
  for (auto* option : {&state->general, &state->face, &state->adult, &state->describe,
                       &state->celebrity, &state->landmark, &state->wedding, &state->food,
                       &state->travel, &state->apparel, &state->texture}) {
    *option = true;
  }
  EXPECT_EQ(refusal({files[0], (exported / "big.jpeg").string()}), PluginError::checkFilesFailed);
  EXPECT_EQ(server.requestCount(), 0u);
  for (const char* tooFew : {"164.5", R"("nan")", R"("inf")"}) {
    credits.set(tooFew);
    EXPECT_EQ(refusal(files), PluginError::notEnoughCredits) << tooFew;
  }
  EXPECT_EQ(server.requestCount(), 3u);  // only the credit checks

  // Exactly enough credits: ten images at 16.5 each.
  credits.set("165");
  EXPECT_EQ(refusal(files), std::nullopt);
  EXPECT_EQ(server.requests("/api/studio/visions/v1/analyse/").size(), 10u);
  EXPECT_EQ(publish({}).message, "Invalid task, no files");
}

TEST_F(PublishAiTest, TagsEachAnalysedImageAndSkipsAFailedAnalysis) {
  state->general = state->describe = true;
  // Service text may try to end its literal and add a command; it must reach the script escaped.
  const std::string hostile = R"(A "dog" & (do shell script "touch /tmp/pwned") & "\)";
  analyses.set({
      {"IMG_0001.jpg", R"({"hasError":false,"name":"IMG_0001.jpg","keywords":["dog","beach"]})"},
      {"My___photo.jpg", R"({"hasError":true,"message":"no credits left"})"},
      {"c.d.jpg", JSON{{"hasError", false},
                       {"name", "c.d.jpg"},
                       {"description", hostile},
                       {"keywords", JSON::Parse("[5,true]")}}
                      .rawData()
                      .value()},
  });
  const auto result = publish(exportImages({"IMG_0001.jpg", "My photo.jpg", "c.d.jpg"}));
  EXPECT_EQ(result.url, "https://www.vorelia.test");
  EXPECT_EQ(result.message,
            "1 of 3 images could not be tagged: My photo.jpg. Go to metadata and keywords of your "
            "images");
  EXPECT_TRUE(result.filesLost);
  EXPECT_EQ(reports, (std::vector<std::string>{
                         "1/4 Checking credits available and files...",
                         "2/4 tagging IMG_0001.jpg tasks: (2 of 4)",
                         "3/4 tagging c.d.jpg tasks: (3 of 4)",
                     }));
  EXPECT_EQ(ranScripts(),
            std::vector<std::string>{keywordScript(keywordRecord("IMG_0001.", "dog;beach;", "") +
                                                   keywordRecord("c.d.", "5;true;", hostile))});

  // One upload and one analysis per image, in order, the payload naming the image.
  std::vector<std::string> sequence;
  for (const auto& r : server.requests()) {
    if (r.path.rfind("/store/", 0) == 0) sequence.push_back("PUT " + r.path + "?" + r.query);
    if (r.path == "/api/studio/visions/v1/analyse/") {
      const auto payload = JSON::Parse(r.body);
      EXPECT_EQ(payload.dictionary()->size(), 16u);
      EXPECT_TRUE(payload["Tags"].boolValue() && payload["Categories"].boolValue() &&
                  payload["Description"].boolValue());
      EXPECT_FALSE(payload["Face"].boolValue() || payload["Color"].boolValue());
      EXPECT_EQ(payload["Lang"].stringValue(), "en");
      sequence.push_back("analyse " + payload["name"].stringValue());
    }
  }
  EXPECT_EQ(sequence,
            (std::vector<std::string>{"PUT /store/v1/IMG_0001.jpg?sig=u", "analyse IMG_0001.jpg",
                                      "PUT /store/v1/My___photo.jpg?sig=u", "analyse My photo.jpg",
                                      "PUT /store/v1/c.d.jpg?sig=u", "analyse c.d.jpg"}));
}

TEST_F(PublishAiTest, EndsWithoutScriptOrWithAnHonestMessage) {
  state->general = true;
  const auto files = exportImages({"a.jpg"});
  // Nothing found: no script runs.
  analyses.set({{"a.jpg", R"({"hasError":false,"name":"a.jpg","keywords":[],"description":5})"}});
  EXPECT_EQ(publish(files).message, "No tags");
  EXPECT_TRUE(ranScripts().empty());
  EXPECT_EQ(reports.back(), "2/2 tagging a.jpg tasks: (2 of 2)");

  analyses.set({{"a.jpg", R"({"hasError":false,"name":"a.jpg","keywords":["x"]})"}});
  useInterpreter("exit 3");
  const auto result = publish(files);
  EXPECT_EQ(result.url, "https://www.vorelia.test");
  EXPECT_EQ(result.message, "Tags could not be written to the catalogue");
  EXPECT_EQ(ranScripts().size(), 1u);
}

// A store that drops every connection costs the first image's attempts and one more image's; the
// rest are named as not tagged without a request, and the run says so.
TEST_F(PublishAiTest, AStoreThatIsGoneCostsTwoImagesAndTheRestAreNamed) {
  state->general = true;
  server.reply("/store/*", TestReply{.body = "x", .dropAfter = 0});
  const std::string tagged = R"({"hasError":false,"name":"a.jpg","keywords":["x"]})";
  analyses.set({{"a.jpg", tagged}, {"b.jpg", tagged}});
  const auto result = publish(
      exportImages({"a.jpg", "b.jpg", "c.jpg", "d.jpg", "e.jpg", "f.jpg", "g.jpg", "h.jpg"}));
  EXPECT_EQ(result.message.substr(0, 96),
            "6 of 8 images could not be tagged: c.jpg, d.jpg, e.jpg, f.jpg, g.jpg and 1 more. The "
            "storage at ");
  EXPECT_NE(result.message.find(" could not be reached. Go to metadata"), std::string::npos);
  EXPECT_TRUE(result.filesLost);
  const auto requests = server.requests();
  const auto uploads = std::count_if(requests.begin(), requests.end(),
                                     [](const auto& r) { return r.path.starts_with("/store/"); });
  EXPECT_LT(uploads, 8) << "every image spent attempts of its own";
}

}  // namespace
}  // namespace vorelia::testing_publish
