// The publishing workflows against a scripted service: a web gallery or a proofing album
// (PublishShare), auto-tagging (PublishAi); the scripts through which tags and ratings reach the
// catalogue, and the runner that hands them over; the escaping of item names.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <ctime>
#include <fstream>
#include <future>
#include <map>
#include <mutex>

#include "model/guarded.h"
#include "model/plugin_error.h"
#include "publish/catalogue_scripts.h"
#include "publish/name_escaping.h"
#include "publish/publish_ai.h"
#include "publish/publish_share.h"
#include "publish/script_runner.h"
#include "support/http_test_server.h"
#include "support/jpeg_writer.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"

namespace vorelia {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using testing::HttpTestServer;
using testing::namesIn;
using testing::readFile;
using testing::RecordedRequest;
using testing::ScopedEnvironment;
using testing::TestReply;

// A real grey JPEG of width x height.
std::string makeJpeg(int width, int height) {
  return testing::makeJpeg(width, height, [](int, int) { return testing::Rgb{128, 128, 128}; });
}

// A temporary HOME with a scripts folder and a stand-in interpreter (a shell script) that keeps a
// copy of every script it is given in `ran`, named after the script file; and a loopback server
// for the service, the account "studio" signed in.
class Publishing : public ::testing::Test {
 protected:
  Publishing() {
    fs::create_directories(folder);
    fs::create_directories(ran);
    fs::create_directories(exported);
    state->account.set("studio");
    state->setAuthentication("BEARER t", std::chrono::system_clock::now());
    useInterpreter("exit 0");
  }

  // body runs after the copy is made; $1 is the script file.
  void useInterpreter(const std::string& body) {
    const fs::path program = home.path() / "interpreter.sh";
    std::ofstream(program) << "#!/bin/sh\ncp \"$1\" \"" << ran.string()
                           << "/$(basename \"$1\")\" || exit 9\n"
                           << body << "\n";
    fs::permissions(program, fs::perms::owner_all);
    interpreter.emplace("VORELIA_OSASCRIPT", program.string());
  }

  // The texts of the scripts the interpreter was given, in the order of their names.
  std::vector<std::string> ranScripts() const {
    std::vector<std::string> texts;
    for (const auto& name : namesIn(ran)) texts.push_back(readFile(ran / name));
    return texts;
  }

  // Exported images of 300 x 260 pixels under the names; their paths, in order.
  std::vector<std::string> exportImages(const std::vector<std::string>& names) const {
    std::vector<std::string> paths;
    for (const auto& name : names) {
      std::ofstream(exported / name, std::ios::binary) << makeJpeg(300, 260);
      paths.push_back((exported / name).string());
    }
    return paths;
  }

  // Runs the task, keeping each progress report as "completed/total text".
  PublishResult run(PublishService&& workflow, const PublishTask& task) {
    return workflow.DoPublish(task, [this](std::uint64_t completed, std::uint64_t total,
                                           const std::optional<std::string>& text) {
      std::scoped_lock lock(progressMutex);
      reports.push_back(std::to_string(completed) + "/" + std::to_string(total) + " " +
                        text.value_or(""));
    });
  }

  testing::TempHome home;
  fs::path folder = home.path() / "Library" / "Scripts" / "Capture One Scripts";
  fs::path ran = home.path() / "ran";
  fs::path exported = home.path() / "export";
  std::optional<ScopedEnvironment> interpreter;
  // 7 March 2019, 14:05:09 in the local time zone.
  std::chrono::system_clock::time_point when = [] {
    std::tm local{};
    strptime("2019-03-07 14:05:09", "%Y-%m-%d %H:%M:%S", &local);
    local.tm_isdst = -1;
    return std::chrono::system_clock::from_time_t(std::mktime(&local));
  }();
  // What the handlers read outlives the server, whose destructor ends their threads: how many
  // resources a reservation gets, the stored names the store refuses, the credits, and the
  // analyses (escaped name -> answer body).
  std::atomic<std::size_t> resourceLimit{1000};
  Guarded<std::string> refusedName{"(none)"};
  Guarded<std::string> credits{"1000"};
  Guarded<std::map<std::string, std::string>> analyses;
  HttpTestServer server;
  std::shared_ptr<PluginState> state = std::make_shared<PluginState>(
      Deployment{server.url("/"), "", "", "https://www.vorelia.test"});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(5)});
  std::mutex progressMutex;
  std::vector<std::string> reports;  // guarded by progressMutex while a workflow runs
};

// A scripted service and blob store: albums "Été Wedding" (w1) and nothing else; every reservation
// hands out one resource per announced file.
class PublishShareTest : public Publishing {
 protected:
  PublishShareTest() {
    server.reply("/*", TestReply{200, {}, "{}"});  // the account state and the new order
    server.reply("/api/studio/containers/",
                 TestReply{200, {}, R"({"value":[{"id":"w1","name":"Été Wedding"}]})"});
    server.respond("/api/studio/containers/w1/inituploadresources", [this](auto& r) {
      const auto files = JSON::Parse(r.body)["value"].array().value_or(std::vector<JSON>{});
      std::vector<JSON> value;
      for (std::size_t i = 0; i < files.size() && i < resourceLimit; ++i) {
        value.push_back(JSON{{"id", "r" + std::to_string(i)}, {"sas", "?sig=x"}});
      }
      const JSON answer{{"storageUrl", server.url("/store/")}, {"value", JSON(std::move(value))}};
      return TestReply{200, {}, *answer.rawData()};
    });
    server.respond("/store/*", [this](const RecordedRequest& r) {
      return TestReply{r.path.find(refusedName.get()) == std::string::npos ? 201 : 403};
    });
    server.reply("/api/studio/encode", TestReply{204});  // taken, with nothing to say
    server.reply("/api/studio/shares", TestReply{200, {}, R"({"url":"https://v.test/a/xyz/a/"})"});
    server.respond("/api/anonymous/longpollingstates", [](const RecordedRequest& r) {
      return TestReply{200, {}, r.body};  // every id asked for is done
    });
  }

  PublishResult publish(const std::string& action, const std::vector<std::string>& files,
                        PublishSettings settings) {
    return run(PublishShare(state, api), PublishTask{action, files, std::move(settings)});
  }

  // The first request's body to path, parsed.
  JSON sent(const std::string& path) const { return JSON::Parse(server.requests(path).at(0).body); }

  const PublishSettings album{{"albumsList-input", std::string("w1")}};
};

TEST_F(PublishShareTest, PublishesIntoAnAlbumOfTheSameNameAndReturnsItsLink) {
  const auto files = exportImages({"b.jpg", "My photo & more.jpg", "l'été.jpg"});
  const auto result = publish("voreliaPublishShare", files,
                              {{"albumsList-input", std::string("create")},
                               {"albumName-input", std::string("éTÉ wEDDING")},
                               {"albumDownload-input", true}});
  EXPECT_EQ(result.url, "https://v.test/a/xyz/a/");
  EXPECT_EQ(result.message,
            "Click show to see your web album. It may takes few minutes before the pictures "
            "appears.");
  EXPECT_TRUE(server.requests("/api/studio/containers/éTÉ wEDDING").empty())
      << "created, not reused";

  const auto reservation = sent("/api/studio/containers/w1/inituploadresources")["value"];
  EXPECT_EQ(reservation[1]["name"].stringValue(), "My___photo____1____more.jpg");
  EXPECT_EQ(reservation[0]["size"].int64Value(),
            static_cast<std::int64_t>(fs::file_size(files[0])));
  EXPECT_EQ(server.requests("/api/studio/encode").size(), 3u);
  EXPECT_EQ(sent("/api/studio/shares"),
            JSON::Parse(R"({"containers":[{"id":"w1"}],"isDownloadEnabled":1})"));
  EXPECT_EQ(sent("/api/studio/containers/w1/$synchronize"),
            JSON::Parse(R"({"value":[{"id":"r0","order":0},{"id":"r1","order":1},)"
                        R"({"id":"r2","order":2}]})"));
}

TEST_F(PublishShareTest, ProofingLinkAndASingleFile) {
  const auto result = publish("voreliaPublishProofing", exportImages({"one.jpg"}), album);
  EXPECT_EQ(result.url, "https://v.test/p/xyz/a/");
  EXPECT_EQ(result.message.substr(0, 84),
            "Go to Capture One > Preferences > Plugins > Vorelia > Proofing to load the result.  ");
  EXPECT_EQ(reports,
            (std::vector<std::string>{"1/2 one.jpg done (1 of 2)", "2/2 Please wait encoding..."}));
  EXPECT_TRUE(server.requests("/api/studio/containers/w1/$synchronize").empty());
  EXPECT_EQ(sent("/api/studio/shares")["isDownloadEnabled"].int64Value(), 0);
}

// A file the store refused, or whose encoding the service did not take (an error status, no
// answer), is counted once in the progress but neither waited for nor ordered.
TEST_F(PublishShareTest, FilesNotStoredOrNotTakenForEncodingAreNotCountedAsPublished) {
  refusedName.set("bad");
  server.respond("/api/studio/encode", [](const RecordedRequest& r) {
    const std::string id = JSON::Parse(r.body)["id"].stringValue();
    if (id == "r3") return TestReply{500, {}, R"({"hasError":true})"};
    if (id == "r4") return TestReply{.body = "{}", .dropAfter = 0};
    return TestReply{204};
  });
  auto result = publish("voreliaPublishShare",
                        exportImages({"a.jpg", "bad.jpg", "c.jpg", "d.jpg", "e.jpg"}), album);
  EXPECT_EQ(result.url, "https://v.test/a/xyz/a/");
  EXPECT_EQ(result.message.substr(0, 63),
            "3 of 5 images could not be uploaded: bad.jpg, d.jpg, e.jpg. Cli");
  EXPECT_TRUE(result.filesLost);
  // r3's 500 is sent again three times; r4's answer began before the drop, so it is not.
  EXPECT_EQ(server.requests("/api/studio/encode").size(), 7u);
  EXPECT_EQ(sent("/api/anonymous/longpollingstates"), JSON::Parse(R"({"value":["r0","r2"]})"));
  EXPECT_EQ(sent("/api/studio/containers/w1/$synchronize"),
            JSON::Parse(R"({"value":[{"id":"r0","order":0},{"id":"r2","order":1}]})"));
  ASSERT_EQ(reports.size(), 6u);
  std::sort(reports.begin(), reports.begin() + 5);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_EQ(reports[i].substr(0, 4), std::to_string(i + 1) + "/6 ");
  }
  EXPECT_EQ(reports[5], "6/6 Please wait encoding...");

  result = publish(
      "voreliaPublishShare",
      exportImages({"bad1.jpg", "bad2.jpg", "bad3.jpg", "d.jpg", "e.jpg", "bad 4.jpg"}), album);
  EXPECT_EQ(result.url, std::nullopt);
  EXPECT_EQ(result.message,
            "No image could be uploaded: bad1.jpg, bad2.jpg, bad3.jpg, d.jpg, e.jpg and 1 more.");
}

TEST_F(PublishShareTest, RunsThatCannotGoOnEndWithAMessage) {
  EXPECT_EQ(publish("voreliaPublishShare", {}, {}).message, "Invalid task, no files");
  EXPECT_EQ(server.requestCount(), 0u);

  const auto files = exportImages({"a.jpg", "b.jpg"});
  EXPECT_EQ(
      publish("voreliaPublishShare", files, {{"albumsList-input", std::string("nope")}}).message,
      "Album is null, retry with an other name");

  resourceLimit = 1;
  auto result = publish("voreliaPublishShare", files, album);
  EXPECT_FALSE(result.url.has_value());
  EXPECT_EQ(result.message,
            "The service made room for 1 of 2 images. Nothing was uploaded, retry later");
  EXPECT_TRUE(server.requests("/store/r0-o/a.jpg").empty());

  server.reply("/api/studio/containers/w1/inituploadresources",
               TestReply{200, {}, R"({"hasError":true,"message":"Quota exceeded"})"});
  EXPECT_EQ(publish("voreliaPublishShare", files, album).message, "Quota exceeded");

  server.reply("/api/studio/containers/", TestReply{.body = "{}", .dropAfter = 0});
  result = publish("voreliaPublishShare", files, {});
  EXPECT_FALSE(result.url.has_value());
  EXPECT_NE(result.message.find("album list"), std::string::npos);
}

TEST_F(PublishShareTest, DatedDefaultAlbumNameWithoutLeadingZeros) {
  EXPECT_EQ(PublishShare::GetAlbumName({}, when), "C1_2019_3_7_14:5");
  EXPECT_EQ(PublishShare::GetAlbumName({{"albumName-input", std::string("")}}, when),
            "C1_2019_3_7_14:5");
  EXPECT_EQ(PublishShare::GetAlbumName({{"albumName-input", std::string(" Trip ")}}, when),
            " Trip ");
}

class ScriptRunner : public Publishing {};

// A script whose interpreter was killed, or that could not be written, did not run; nothing is left
// behind, and nothing is written anywhere else.
TEST_F(ScriptRunner, ReportsAScriptThatCouldNotRun) {
  useInterpreter("kill -9 $$");
  EXPECT_FALSE(runScript("Vorelia_proofing_", "set x to 1", when));
  EXPECT_TRUE(namesIn(folder).empty());
  useInterpreter("exit 0");
  fs::remove_all(folder);
  EXPECT_FALSE(runScript("Vorelia_proofing_", "set x to 1", when));
  EXPECT_EQ(namesIn(home.path() / "Library"), std::vector<std::string>{"Scripts"});
}

TEST_F(ScriptRunner, RunsInTheSameSecondKeepTheirOwnFiles) {
  // Each interpreter waits (at most about five seconds) until both scripts are running, so both
  // files exist at once.
  useInterpreter("n=0\nwhile :; do\n  set -- \"" + ran.string() +
                 "\"/*\n  [ $# -ge 2 ] && exit 0\n  [ $n -ge 500 ] && exit 1\n"
                 "  sleep 0.01; n=$((n+1))\ndone");
  const std::string text = "tell application \"Capture One 12\"\n été\nend tell";
  auto first = std::async(std::launch::async, [&] { return runScript("P_", text, when); });
  auto second = std::async(std::launch::async, [&] { return runScript("P_", "second", when); });
  EXPECT_TRUE(first.get());
  EXPECT_TRUE(second.get());

  const auto names = namesIn(ran);
  ASSERT_EQ(names, (std::vector<std::string>{"P_07_03_2019_14_05_09.scpt",
                                             "P_07_03_2019_14_05_09_2.scpt"}));
  std::vector<std::string> texts = {readFile(ran / names[0]), readFile(ran / names[1])};
  std::sort(texts.begin(), texts.end());
  EXPECT_EQ(texts, (std::vector<std::string>{"second", text}));
  EXPECT_TRUE(namesIn(folder).empty());
}

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

// Service text that tries to leave its string literal stays inside it: quotes and backslashes
// are escaped, line feeds and non-ASCII kept as they are. Each line of the keyword script is
// indented by sixteen spaces (I16).
#define I16 "                "
TEST(KeywordScript, IsTheHeadTheRecordsAndTheBodyByteForByte) {
  const std::string text =
      keywordRecord("IMG_0001.", "dog;beach;", "") +
      keywordRecord(R"(a"b.)", R"(back\slash;"quoted";)",
                    R"(x" & (do shell script "touch /tmp/pwned") & ")") +
      keywordRecord(R"(\".)", R"(\\;)", "line one\nline two, \xC3\xA9t\xC3\xA9 \xE2\x9C\x93");
  EXPECT_EQ(
      keywordScript(text), I16
      "set _analyses to {}\n" I16
      "set end of _analyses to {voreliaKey:\"IMG_0001.\", voreliaTags:\"dog;beach;\", "
      "voreliaDescribe:\"\"}\n"
      "set end of _analyses to {voreliaKey:\"a\\\"b.\", "
      "voreliaTags:\"back\\\\slash;\\\"quoted\\\";\", voreliaDescribe:\"x\\\" & (do "
      "shell script \\\"touch /tmp/pwned\\\") & \\\"\"}\n"
      "set end of _analyses to {voreliaKey:\"\\\\\\\".\", voreliaTags:\"\\\\\\\\;\", "
      "voreliaDescribe:\"line one\nline two, \xC3\xA9t\xC3\xA9 \xE2\x9C\x93\"}\n"
      "\n" I16 "\n" I16 "tell application \"Capture One 12\"\n" I16 "\n" I16
      "set _currentDocument to item 1 of documents\n" I16 "\n" I16
      "if (count of documents) > 1 then\n" I16 "\n" I16 "set _docNames to {}\n" I16 "\n" I16
      "repeat with _document1 in documents\n" I16 "set end of _docNames to name of _document1\n" I16
      "end repeat\n" I16 "\n" I16 "set _defaultName to item 1 of _docNames\n" I16
      "set _docName to choose from list _docNames with prompt \"Select your catalog or "
      "session:\" default items {_defaultName}\n" I16 "\n" I16
      "repeat with _document2 in documents\n" I16 "\n" I16 "set _name to name of _document2\n" I16
      "if (_name as string) = (_docName as string) then\n" I16
      "set _currentDocument to _document2\n" I16 "end if\n" I16 "end repeat\n" I16 "end if\n" I16
      "\n" I16 "\n" I16 "\n" I16
      "repeat with _image in images of current collection of _currentDocument\n" I16 "\n" I16
      "repeat with _analysis in _analyses\n" I16 "\n" I16
      "set _key to voreliaKey of _analysis\n" I16 "set _keywords to voreliaTags of _analysis\n" I16
      "set _describe to voreliaDescribe of _analysis\n" I16 "\n" I16
      "if name of _image starts with _key then\n" I16 "\n" I16 "\n" I16
      "repeat with _variant in variants of _image\n" I16
      "if _keywords is not equal to \"\" then\n" I16
      "tell _variant to make keyword with properties {name:_keywords}\n" I16 "end if\n" I16
      "if _describe is not equal to \"\" then\n" I16
      "set content description of _variant to _describe\n" I16 "end if\n" I16 "end repeat\n" I16
      "\n" I16 "\n" I16 "end if\n" I16 "end repeat\n" I16 "\n" I16 "end repeat\n" I16 "\n" I16
      "display notification \"All images have been tagged.\" with title \"Vorelia Auto "
      "Tagging Script\" subtitle \"Tagging is complete.\" sound name \"Frog\"\n" I16 "\n" I16
      "end tell");
}
#undef I16

TEST(RatingsScript, MarksTheListedImagesWithTheChosenMarkByteForByte) {
  const std::vector<std::string> names = {"Beach_01.", R"(Say "cheese" \o/.)",
                                          "\xC3\x89t\xC3\xA9 2."};
  EXPECT_EQ(ratingsScript(names, "Purple"),
            "set imagesToBeRated to {\"Beach_01.\",\"Say \\\"cheese\\\" \\\\o/.\",\""
            "\xC3\x89t\xC3\xA9 2.\"}\n"
            "tell application \"Capture One 12\"\n\nset _currentDocument to item 1 of documents\n"
            "\nif (count of documents) > 1 then\n\nset _docNames to {}\n\n"
            "repeat with _document1 in documents\nset end of _docNames to name of _document1\n"
            "end repeat\n\nset _defaultName to item 1 of _docNames\n"
            "set _docName to choose from list _docNames with prompt \"Select your catalog or "
            "session:\" default items {_defaultName}\n\nrepeat with _document2 in documents\n\n"
            "set _name to name of _document2\nif (_name as string) = (_docName as string) then\n"
            "set _currentDocument to _document2\nend if\nend repeat\nend if\n\n\n"
            "repeat with currentImage in images of current collection  of _currentDocument\n\n"
            "if count of variants of currentImage > 0 then\n"
            "    if color tag of ((item 1 of variants) of currentImage) = 7 then\n"
            "        set color tag of every variant of currentImage to 0\n    end if\nend if\n\n"
            "repeat with imageToBeRated in imagesToBeRated\n\n"
            "if name of currentImage starts with imageToBeRated then\n"
            "set color tag of every variant of currentImage to 7\n\nend if\nend repeat\n"
            "end repeat\nend tell");
  const std::pair<const char*, RatingMark> choices[] = {
      {"1", {"rating", 1}},         {"5", {"rating", 5}},         {"Red", {"color tag", 1}},
      {"Orange", {"color tag", 2}}, {"Yellow", {"color tag", 3}}, {"Green", {"color tag", 4}},
      {"Blue", {"color tag", 5}},   {"Pink", {"color tag", 6}},   {"Purple", {"color tag", 7}},
      {"6", {"color tag", 4}},      {"red", {"color tag", 4}},    {"", {"color tag", 4}},
  };
  for (const auto& [option, mark] : choices) {
    EXPECT_EQ(ratingMark(option).property, mark.property) << option;
    EXPECT_EQ(ratingMark(option).value, mark.value) << option;
  }
}

TEST(NameEscaping, EscapesTheTenUnsafeCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"My photo & more.jpg", "My___photo____1____more.jpg"},
      {"a/b?c.jpg", "a_6_b_9_c.jpg"},
      {"l'été.jpg", "l_a_été.jpg"},
      {"100% \"raw\" ~1+2\\x.jpg", "100_3_____5_raw_5_____7_1_8_2_4_x.jpg"},
  };
  for (const auto& [name, escaped] : cases) EXPECT_EQ(voreliaEscape(name), escaped) << name;
}

// A name without underscores comes back whole from its escape (the fuzz target checks that);
// elsewhere the codes are replaced one after another, an underscore in one code at most.
TEST(NameEscaping, UnescapesCodesInOrderWithoutOverlap) {
  const std::pair<std::string, std::string> cases[] = {
      {"IMG_1_2.jpg", "IMG&2.jpg"},
      {"______", "  "},
      {"_____", " __"},
      {"a_3___b", "a_3 b"},  // not the escape of a name without underscores
  };
  for (const auto& [name, unescaped] : cases) EXPECT_EQ(voreliaUnescape(name), unescaped) << name;
}

}  // namespace
}  // namespace vorelia
