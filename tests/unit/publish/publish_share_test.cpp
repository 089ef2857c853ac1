#include "publish/publish_share.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>

#include "model/guarded.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"

namespace vorelia {
namespace {

using std::chrono::seconds;
using testing::HttpTestServer;
using testing::RecordedRequest;
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

}  // namespace
}  // namespace vorelia
