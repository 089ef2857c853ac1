#include "publish/publish_ai.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>

#include "model/guarded.h"
#include "model/plugin_error.h"
#include "publish/catalogue_scripts.h"
#include "support/http_test_server.h"
#include "support/jpeg_writer.h"
#include "support/temp_home.h"

namespace vorelia {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using testing::HttpTestServer;
using testing::RecordedRequest;
using testing::ScopedEnvironment;
using testing::TestReply;

// A real grey JPEG of width x height.
std::string makeJpeg(int width, int height) {
  return testing::makeJpeg(width, height, [](int, int) { return testing::Rgb{128, 128, 128}; });
}

std::string readFile(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::stringstream contents;
  contents << in.rdbuf();
  return contents.str();
}

// A scripted service: credits, one vision "v1" whose blobs go to /store/, analyses answered per
// item name; a scripts folder; an interpreter that keeps a copy of the script it runs.
class PublishAiTest : public ::testing::Test {
 protected:
  PublishAiTest() {
    state->account.set("studio");
    state->setAuthentication("BEARER t", std::chrono::system_clock::now());
    fs::create_directories(home.path() / "Library" / "Scripts" / "Capture One Scripts");
    fs::create_directories(exported);
    server.respond("/api/studio/credits", [this](const RecordedRequest&) {
      return TestReply{200, {}, R"({"credits":)" + credits.get() + "}"};
    });
    server.respond("/api/studio/visions", [this](const RecordedRequest&) {
      return TestReply{
          200,
          {},
          R"({"id":"v1","uploadSas":"?sig=u","storageUrl":")" + server.url("/store/") + R"("})"};
    });
    server.reply("/store/*", TestReply{201});
    server.respond("/api/studio/visions/v1/analyse/", [this](const RecordedRequest& r) {
      const auto answers = analyses.get();
      const auto found = answers.find(JSON::Parse(r.body)["escapedName"].stringValue());
      return found == answers.end() ? TestReply{404} : TestReply{200, {}, found->second};
    });
    useInterpreter("exit 0");
  }

  void useInterpreter(const std::string& last) {
    const fs::path program = home.path() / "interpreter.sh";
    std::ofstream(program) << "#!/bin/sh\ncp \"$1\" \"" << (home.path() / "ran.scpt").string()
                           << "\"\n"
                           << last << "\n";
    fs::permissions(program, fs::perms::owner_all);
    interpreter.emplace("VORELIA_OSASCRIPT", program.string());
  }

  std::vector<std::string> exportImages(const std::vector<std::string>& names) {
    std::vector<std::string> paths;
    for (const auto& name : names) {
      std::ofstream(exported / name, std::ios::binary) << makeJpeg(300, 260);
      paths.push_back((exported / name).string());
    }
    return paths;
  }

  PublishResult publish(const std::vector<std::string>& files) {
    PublishAi workflow(state, api);
    return workflow.DoPublish(
        PublishTask{"voreliaPublishAI", files, {}},
        [this](std::uint64_t completed, std::uint64_t total, const std::optional<std::string>& t) {
          reports.push_back(std::to_string(completed) + "/" + std::to_string(total) + " " +
                            t.value_or(""));
        });
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

  testing::TempHome home;
  // What the handlers read outlives the server, whose destructor ends their threads.
  Guarded<std::string> credits{"1000"};
  Guarded<std::map<std::string, std::string>> analyses;  // escaped name -> answer body
  HttpTestServer server;
  fs::path exported = home.path() / "export";
  std::optional<ScopedEnvironment> interpreter;
  std::shared_ptr<PluginState> state = std::make_shared<PluginState>(
      Deployment{server.url("/"), "", "", "https://www.vorelia.test"});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(5)});
  std::vector<std::string> reports;
};

TEST_F(PublishAiTest, ExportedFilesMustMeetTheAnalysisLimits) {
  struct Case {
    const char* name;
    int width, height;
    std::uintmax_t padTo;  // trailing bytes up to this size; 0 leaves the JPEG as it is
    bool conforms;
  };
  const Case cases[] = {
      {"photo.JPG", 300, 300, 0, true},       {"photo.jpeg", 300, 300, 0, false},
      {"photo", 300, 300, 0, false},          {"wide.jpg", 4096, 256, 0, true},
      {"too-wide.jpg", 4097, 256, 0, false},  {"too-low.jpg", 4096, 255, 0, false},
      {"too-narrow.jpg", 255, 300, 0, false}, {"too-high.jpg", 300, 4097, 0, false},
      {"under.jpg", 300, 300, 3999999, true}, {"limit.jpg", 300, 300, 4000000, false},
      {"unreadable.jpg", 0, 0, 100, true},  // not an image: only the size counts
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const fs::path file = exported / c.name;
    {
      std::ofstream out(file, std::ios::binary);
      if (c.width > 0) out << makeJpeg(c.width, c.height);
    }
    if (c.padTo > 0) fs::resize_file(file, c.padTo);
    EXPECT_EQ(PublishAi::conformImage(file.string()), c.conforms);
  }
  EXPECT_FALSE(PublishAi::conformImage((exported / "missing.jpg").string()));
  EXPECT_FALSE(PublishAi::conformImage(exported.string() + "/"));
}

TEST_F(PublishAiTest, CostPerImageAddsEveryChosenOption) {
  for (auto* option : {&state->general, &state->face, &state->adult, &state->describe,
                       &state->celebrity, &state->landmark, &state->wedding, &state->food,
                       &state->travel, &state->apparel, &state->texture}) {
    *option = true;
  }
  EXPECT_EQ(PublishAi(state, api).costPerImage(), 16.5);
  state->adult = state->describe = false;
  EXPECT_EQ(PublishAi(state, api).costPerImage(), 12.5);
}

TEST_F(PublishAiTest, RefusalsComeBeforeAnyRequest) {
  std::vector<std::string> ten;
  for (int i = 0; i < 10; ++i) ten.push_back("img" + std::to_string(i) + ".jpg");
  const auto files = exportImages(ten);
  std::ofstream(exported / "big.jpeg", std::ios::binary) << makeJpeg(300, 300);

  state->describe = true;  // 2.5 credits an image
  for (const char* tooFew : {"24.5", R"("nan")", R"("inf")"}) {
    credits.set(tooFew);
    EXPECT_EQ(refusal(files), PluginError::notEnoughCredits) << tooFew;
  }
  EXPECT_EQ(server.requests("/api/studio/visions*").size(), 0u);

  state->general = state->face = state->describe = false;
  EXPECT_EQ(refusal(files), PluginError::noAIOptionsSelected);
  state->describe = true;
  EXPECT_EQ(refusal({files[0], (exported / "big.jpeg").string()}), PluginError::checkFilesFailed);
  EXPECT_EQ(server.requestCount(), 3u);  // only the credit checks of the first runs

  // Exactly enough credits: ten images at 2.5 each.
  credits.set("25");
  EXPECT_EQ(refusal(files), std::nullopt);
  EXPECT_EQ(server.requests("/api/studio/visions/v1/analyse/").size(), 10u);
  EXPECT_EQ(publish({}).message, "Invalid task, no files");
}

TEST_F(PublishAiTest, TagsEachAnalysedImageAndSkipsAFailedAnalysis) {
  state->general = true;
  state->describe = true;
  state->face = false;
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
  const auto files = exportImages({"IMG_0001.jpg", "My photo.jpg", "c.d.jpg"});
  const auto result = publish(files);
  EXPECT_EQ(result.url, "https://www.vorelia.test");
  EXPECT_EQ(result.message, "Go to metadata and keywords of your images");
  EXPECT_EQ(reports, (std::vector<std::string>{
                         "1/4 Checking credits available and files...",
                         "2/4 tagging IMG_0001.jpg tasks: (2 of 4)",
                         "3/4 tagging c.d.jpg tasks: (3 of 4)",
                     }));
  EXPECT_EQ(readFile(home.path() / "ran.scpt"),
            keywordScript(keywordRecord("IMG_0001.", "dog;beach;", "") +
                          keywordRecord("c.d.", "5;true;", hostile)));

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
  // The script file is gone after the run.
  EXPECT_TRUE(fs::is_empty(home.path() / "Library" / "Scripts" / "Capture One Scripts"));
}

TEST_F(PublishAiTest, EndsWithoutScriptOrWithAnHonestMessage) {
  state->general = true;
  struct Case {
    const char* what;
    std::string answer;
    const char* interpreterEnd;
    const char* message;
    bool ran;
  };
  const Case cases[] = {
      {"nothing found", R"({"hasError":false,"name":"a.jpg","keywords":[],"description":5})",
       "exit 0", "No tags", false},
      {"the interpreter fails", R"({"hasError":false,"name":"a.jpg","keywords":["x"]})", "exit 3",
       "Tags could not be written to the catalogue", true},
  };
  const auto files = exportImages({"a.jpg"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(home.path() / "ran.scpt");
    reports.clear();
    analyses.set({{"a.jpg", c.answer}});
    useInterpreter(c.interpreterEnd);
    const auto result = publish(files);
    EXPECT_EQ(result.url, "https://www.vorelia.test");
    EXPECT_EQ(result.message, c.message);
    EXPECT_EQ(fs::exists(home.path() / "ran.scpt"), c.ran);
    EXPECT_EQ(reports.back(), "2/2 tagging a.jpg tasks: (2 of 2)");
  }
}

}  // namespace
}  // namespace vorelia
