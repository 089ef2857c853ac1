#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include "model/guarded.h"
#include "model/plugin_error.h"
#include "publish/catalogue_scripts.h"
#include "publish/publish_ai.h"
#include "publish/publish_share.h"
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

// A scripted service and blob store: albums "Été Wedding" (w1) and nothing else; every reservation
// hands out one resource per announced file.
class PublishShareTest : public ::testing::Test {
 protected:
  PublishShareTest() {
    state->account.set("studio");
    state->setAuthentication("BEARER t", std::chrono::system_clock::now());
    server.reply("/api/Account/studio/State", TestReply{200, {}, "{}"});
    server.reply("/api/studio/containers/",
                 TestReply{200, {}, R"({"value":[{"id":"w1","name":"Été Wedding"}]})"});
    server.respond("/api/studio/containers/w1/inituploadresources", [this](
                                                                        const RecordedRequest& r) {
      std::string value;
      const auto files = JSON::Parse(r.body)["value"].array().value_or(std::vector<JSON>{});
      for (std::size_t i = 0; i < files.size() && i < resourceLimit; ++i) {
        value +=
            std::string(i ? "," : "") + R"({"id":"r)" + std::to_string(i) + R"(","sas":"?sig=x"})";
      }
      return TestReply{
          200, {}, R"({"storageUrl":")" + server.url("/store/") + R"(","value":[)" + value + "]}"};
    });
    server.respond("/store/*", [this](const RecordedRequest& r) {
      return TestReply{r.path.find(refusedName.get()) == std::string::npos ? 201 : 403};
    });
    server.reply("/api/studio/encode", TestReply{200, {}, "{}"});
    server.reply("/api/studio/shares", TestReply{200, {}, R"({"url":"https://v.test/a/xyz/a/"})"});
    server.respond("/api/anonymous/longpollingstates", [](const RecordedRequest& r) {
      return TestReply{200, {}, r.body};  // every id asked for is done
    });
    server.reply("/api/studio/containers/w1/$synchronize", TestReply{200, {}, "{}"});
  }

  std::vector<std::string> exportFiles(const std::vector<std::string>& names) {
    std::vector<std::string> paths;
    for (const auto& name : names) {
      const auto path = home.path() / name;
      std::ofstream(path, std::ios::binary) << "image " << name;
      paths.push_back(path.string());
    }
    return paths;
  }

  PublishResult publish(const std::string& action, const std::vector<std::string>& files,
                        PublishSettings settings) {
    PublishShare workflow(state, api);
    return workflow.DoPublish(
        PublishTask{action, files, std::move(settings)},
        [this](std::uint64_t completed, std::uint64_t total, const std::optional<std::string>& t) {
          std::scoped_lock lock(progressMutex);
          reports.push_back(std::to_string(completed) + "/" + std::to_string(total) + " " +
                            t.value_or(""));
        });
  }

  testing::TempHome home;
  HttpTestServer server;
  std::shared_ptr<PluginState> state =
      std::make_shared<PluginState>(Deployment{server.url("/"), "", "", ""});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(5)});
  // Read by the server's threads while the test changes them between runs.
  std::atomic<std::size_t> resourceLimit{1000};
  Guarded<std::string> refusedName{"(none)"};
  std::mutex progressMutex;
  std::vector<std::string> reports;
};

TEST_F(PublishShareTest, PublishesIntoAnAlbumOfTheSameNameAndReturnsItsLink) {
  const auto files = exportFiles({"b.jpg", "My photo & more.jpg", "l'été.jpg"});
  const auto result = publish("voreliaPublishShare", files,
                              {{"albumsList-input", std::string("create")},
                               {"albumName-input", std::string("éTÉ wEDDING")},
                               {"albumDownload-input", true}});
  EXPECT_EQ(result.url, "https://v.test/a/xyz/a/");
  EXPECT_EQ(result.message,
            "Click show to see your web album. It may takes few minutes before the pictures "
            "appears.");
  for (const auto& r : server.requests()) {  // the album is reused, not created
    EXPECT_FALSE(r.path.starts_with("/api/studio/containers/") && r.method == "PUT" &&
                 !r.path.starts_with("/api/studio/containers/w1/"))
        << r.path;
  }

  const auto reservation = JSON::Parse(
      server.requests("/api/studio/containers/w1/inituploadresources").at(0).body)["value"];
  EXPECT_EQ(reservation[1]["name"].stringValue(), "My___photo____1____more.jpg");
  EXPECT_EQ(reservation[2]["name"].stringValue(), "l_a_été.jpg");
  EXPECT_EQ(reservation[0]["size"].int64Value(), 11);
  EXPECT_EQ(server.requests("/store/r1-o/My___photo____1____more.jpg").size(), 1u);
  EXPECT_EQ(server.requests("/api/studio/encode").size(), 3u);

  // Each count from 1 to 3 is reported once, then the encoding wait as 4 of 4.
  ASSERT_EQ(reports.size(), 4u);
  std::sort(reports.begin(), reports.begin() + 3);
  EXPECT_EQ(reports[0].substr(0, 4), "1/4 ");
  EXPECT_EQ(reports[2].substr(0, 4), "3/4 ");
  EXPECT_NE(reports[1].find(" done (2 of 4)"), std::string::npos) << reports[1];
  EXPECT_EQ(reports[3], "4/4 Please wait encoding...");

  EXPECT_EQ(JSON::Parse(server.requests("/api/studio/shares").at(0).body),
            JSON::Parse(R"({"containers":[{"id":"w1"}],"isDownloadEnabled":1})"));
  EXPECT_EQ(JSON::Parse(server.requests("/api/studio/containers/w1/$synchronize").at(0).body),
            JSON::Parse(R"({"value":[{"id":"r0","order":0},{"id":"r1","order":1},)"
                        R"({"id":"r2","order":2}]})"));
}

TEST_F(PublishShareTest, ProofingLinkAndASingleFile) {
  const auto result = publish("voreliaPublishProofing", exportFiles({"one.jpg"}),
                              {{"albumsList-input", std::string("w1")}});
  EXPECT_EQ(result.url, "https://v.test/p/xyz/a/");
  EXPECT_EQ(result.message.substr(0, 84),
            "Go to Capture One > Preferences > Plugins > Vorelia > Proofing to load the result.  ");
  EXPECT_EQ(reports,
            (std::vector<std::string>{"1/2 one.jpg done (1 of 2)", "2/2 Please wait encoding..."}));
  EXPECT_TRUE(server.requests("/api/studio/containers/w1/$synchronize").empty());
  EXPECT_EQ(JSON::Parse(server.requests("/api/studio/shares").at(0).body)["isDownloadEnabled"]
                .int64Value(),
            0);
}

// A file the store refused, or whose encoding the service did not take (an error status, no
// answer), is counted once in the progress but neither waited for nor ordered.
TEST_F(PublishShareTest, FilesNotStoredOrNotTakenForEncodingAreNotCountedAsPublished) {
  refusedName.set("bad");
  server.respond("/api/studio/encode", [](const RecordedRequest& r) {
    const std::string id = JSON::Parse(r.body)["id"].stringValue();
    if (id == "r3") return TestReply{500, {}, R"({"hasError":true})"};
    if (id == "r4") return TestReply{.body = "{}", .dropAfter = 0};
    return TestReply{200, {}, "{}"};
  });
  auto result =
      publish("voreliaPublishShare", exportFiles({"a.jpg", "bad.jpg", "c.jpg", "d.jpg", "e.jpg"}),
              {{"albumsList-input", std::string("w1")}});
  EXPECT_EQ(result.url, "https://v.test/a/xyz/a/");
  EXPECT_EQ(result.message.substr(0, 40), "3 of 5 images could not be uploaded. Cli");
  // r3's 500 is sent again three times; r4's answer began before the drop, so it is not.
  EXPECT_EQ(server.requests("/api/studio/encode").size(), 7u);
  EXPECT_EQ(JSON::Parse(server.requests("/api/anonymous/longpollingstates").at(0).body),
            JSON::Parse(R"({"value":["r0","r2"]})"));
  EXPECT_EQ(JSON::Parse(server.requests("/api/studio/containers/w1/$synchronize").at(0).body),
            JSON::Parse(R"({"value":[{"id":"r0","order":0},{"id":"r2","order":1}]})"));
  ASSERT_EQ(reports.size(), 6u);
  std::sort(reports.begin(), reports.begin() + 5);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(reports[i].substr(0, 4), std::to_string(i + 1) + "/6 ");
  }
  EXPECT_EQ(reports[5], "6/6 Please wait encoding...");

  result = publish("voreliaPublishShare",
                   exportFiles({"bad1.jpg", "bad2.jpg", "bad3.jpg", "d.jpg", "e.jpg"}),
                   {{"albumsList-input", std::string("w1")}});
  EXPECT_EQ(result.url, std::nullopt);
  EXPECT_EQ(result.message, "No image could be uploaded");
}

TEST_F(PublishShareTest, RunsThatCannotGoOnEndWithAMessage) {
  EXPECT_EQ(publish("voreliaPublishShare", {}, {}).message, "Invalid task, no files");
  EXPECT_EQ(server.requestCount(), 0u);

  const auto files = exportFiles({"a.jpg", "b.jpg"});
  EXPECT_EQ(
      publish("voreliaPublishShare", files, {{"albumsList-input", std::string("nope")}}).message,
      "Album is null, retry with an other name");

  resourceLimit = 1;
  auto result = publish("voreliaPublishShare", files, {{"albumsList-input", std::string("w1")}});
  EXPECT_FALSE(result.url.has_value());
  EXPECT_EQ(result.message,
            "The service made room for 1 of 2 images. Nothing was uploaded, retry later");
  EXPECT_TRUE(server.requests("/store/r0-o/a.jpg").empty());

  server.reply("/api/studio/containers/w1/inituploadresources",
               TestReply{200, {}, R"({"hasError":true,"message":"Quota exceeded"})"});
  EXPECT_EQ(
      publish("voreliaPublishShare", files, {{"albumsList-input", std::string("w1")}}).message,
      "Quota exceeded");

  server.reply("/api/studio/containers/", TestReply{.body = "{}", .dropAfter = 0});
  result = publish("voreliaPublishShare", files, {});
  EXPECT_FALSE(result.url.has_value());
  EXPECT_NE(result.message.find("album list"), std::string::npos);
}

TEST(PublishShareAlbumName, DatedDefaultWithoutLeadingZeros) {
  std::tm local{};
  strptime("2019-03-07 14:05", "%Y-%m-%d %H:%M", &local);
  local.tm_isdst = -1;
  const auto when = std::chrono::system_clock::from_time_t(std::mktime(&local));
  EXPECT_EQ(PublishShare::GetAlbumName({}, when), "C1_2019_3_7_14:5");
  EXPECT_EQ(PublishShare::GetAlbumName({{"albumName-input", std::string("")}}, when),
            "C1_2019_3_7_14:5");
  EXPECT_EQ(PublishShare::GetAlbumName({{"albumName-input", std::string(" Trip ")}}, when),
            " Trip ");
}

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
