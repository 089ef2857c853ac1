// Web galleries and proofing albums (PublishShare) against a scripted service, and the runner
// that hands scripts to the catalogue.
#include "publishing_fixture.h"

namespace vorelia::testing_publish {
namespace {

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

TEST_F(PublishShareTest, PublishesIntoAnAlbumOfTheSameNameOrADatedOneAndReturnsItsLink) {
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
  // Without a name, the album is named after the date, without leading zeros.
  EXPECT_EQ(PublishShare::GetAlbumName({}, when), "C1_2019_3_7_14:5");
  EXPECT_EQ(PublishShare::GetAlbumName({{"albumName-input", std::string("")}}, when),
            "C1_2019_3_7_14:5");
  EXPECT_EQ(PublishShare::GetAlbumName({{"albumName-input", std::string(" Trip ")}}, when),
            " Trip ");
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

class ScriptRunner : public Publishing {};

TEST_F(ScriptRunner, RunsInTheSameSecondKeepTheirOwnFilesAndOneThatCouldNotRunIsReported) {
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
  // A script whose interpreter was killed, or that could not be written, did not run; nothing is
  // left behind, and nothing is written anywhere else.
  useInterpreter("kill -9 $$");
  EXPECT_FALSE(runScript("Vorelia_proofing_", "set x to 1", when));
  EXPECT_TRUE(namesIn(folder).empty());
  useInterpreter("exit 0");
  fs::remove_all(folder);
  EXPECT_FALSE(runScript("Vorelia_proofing_", "set x to 1", when));
  EXPECT_EQ(namesIn(home.path() / "Library"), std::vector<std::string>{"Scripts"});
}

}  // namespace
}  // namespace vorelia::testing_publish
