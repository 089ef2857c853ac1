#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <future>

#include "api/api.h"
#include "api/queue_message.h"
#include "api/update_installer.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"
#include "support/wait.h"
#include "zip_builder.h"

namespace vorelia {
namespace {

namespace fs = std::filesystem;
using std::chrono::seconds;
using testing::BuildZip;
using testing::HttpTestServer;
using testing::Names;
using testing::ReadFile;
using testing::TestReply;
using testing::waitUntil;
using testing::WriteFile;
using UpdateResult = Api::UpdateResult;

class Updates : public ::testing::Test {
 protected:
  Updates() {
    WriteFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so", "old library");
    WriteFile(plugins / "VoreliaC1Plugin.coplugin/Info.json", "old info");
  }

  // Runs DownloadUpdate for version and waits for its end.
  UpdateResult Download(std::optional<std::string> version) {
    state->updateVersion.set(std::move(version));
    std::promise<UpdateResult> finished;
    api->DownloadUpdate([&finished](UpdateResult result) { finished.set_value(result); });
    auto result = finished.get_future();
    if (result.wait_for(seconds(20)) != std::future_status::ready) {
      ADD_FAILURE() << "DownloadUpdate did not finish";
      return UpdateResult::skipped;
    }
    return result.get();
  }

  testing::TempHome home;
  HttpTestServer server;
  fs::path plugins = PluginsFolder(home.path() / "Library");
  fs::path downloads = home.path() / "Downloads";
  std::shared_ptr<PluginState> state = std::make_shared<PluginState>(
      Deployment{server.url("/api/"), server.url("/updates/"), server.url("/queue?sig=s"), ""});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(5)});
  const std::string archive020 = BuildZip(testing::LoadableBundle("library 0.2.0"));
};

// A failed download saves nothing and is tried again; an archive that arrived whole but does not
// unpack stays as the mark of its version and leaves the plug-in alone.
TEST_F(Updates, DownloadInstallsTheArchiveAndRemovesOlderCopiesOrChangesNothing) {
  WriteFile(plugins / "VoreliaC1Plugin.0.2.0.coplugin/Info.json", "kept");
  WriteFile(plugins / "VoreliaC1Plugin.0.1.5.coplugin/Contents/VoreliaC1Plugin.so", "old");
  WriteFile(plugins / "Other.coplugin/Info.json", "other");
  const auto before = Names(plugins);
  const std::string path = "/updates/VoreliaCaptureOnePlugin.0.2.0.coplugin.zip";
  const fs::path saved = downloads / "VoreliaCaptureOnePlugin.0.2.0.coplugin.zip";
  const struct {
    const char* what;
    TestReply reply;
    std::size_t attempts;
    UpdateResult result;
  } cases[] = {
      {"not found", TestReply{404, {}, "<Error><Code>BlobNotFound</Code></Error>"}, 1,
       UpdateResult::downloadFailed},
      {"server error, retried", TestReply{503, {}, archive020}, 4, UpdateResult::downloadFailed},
      {"cut short", TestReply{.status = 200, .body = archive020, .dropAfter = 40}, 1,
       UpdateResult::downloadFailed},
      {"does not unpack", TestReply{200, {}, archive020.substr(0, archive020.size() - 10)}, 1,
       UpdateResult::notInstalled},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server.reply(path, c.reply);
    const auto sent = server.requestCount();
    EXPECT_EQ(Download("0.2.0"), c.result);
    EXPECT_EQ(server.requestCount() - sent, c.attempts);
    EXPECT_EQ(fs::remove(saved), c.result == UpdateResult::notInstalled);
    EXPECT_THAT(Names(downloads), ::testing::IsEmpty());
    EXPECT_THAT(Names(plugins), ::testing::UnorderedElementsAreArray(before));
    EXPECT_EQ(ReadFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so"), "old library");
    EXPECT_EQ(ReadFile(plugins / "VoreliaC1Plugin.coplugin/Info.json"), "old info");
  }

  server.reply(path, TestReply{200, {}, archive020});
  ASSERT_EQ(Download("0.2.0"), UpdateResult::installed);
  EXPECT_EQ(ReadFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so"), "library 0.2.0");
  EXPECT_THAT(Names(plugins),
              ::testing::UnorderedElementsAre("VoreliaC1Plugin.coplugin",
                                              "VoreliaC1Plugin.0.2.0.coplugin", "Other.coplugin"));
  EXPECT_THAT(Names(downloads), ::testing::ElementsAre(saved.filename()));
  EXPECT_EQ(ReadFile(saved), archive020);
  const auto request = server.requests().back();
  EXPECT_EQ(request.method, "GET");
  EXPECT_FALSE(request.header("Authorization").has_value());
}

TEST_F(Updates, NoRequestWithoutAUsableVersionOrWhenTheArchiveIsThere) {
  WriteFile(downloads / "VoreliaCaptureOnePlugin.0.2.0.coplugin.zip", "whatever the user kept");
  const struct {
    std::optional<std::string> version;
    UpdateResult expected;
  } cases[] = {
      {"0.2.0", UpdateResult::alreadyDownloaded},   {std::nullopt, UpdateResult::skipped},
      {"/../../../escaped", UpdateResult::skipped}, {"0.2.0?x=1", UpdateResult::skipped},
      {"0.2 beta", UpdateResult::skipped},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(Download(c.version), c.expected) << c.version.value_or("(absent)");
  }
  EXPECT_EQ(server.requestCount(), 0u);
  EXPECT_EQ(ReadFile(plugins / "VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so"), "old library");
}

TEST(QueueMessage, Base64OfEveryRemainder) {
  const std::pair<std::string, std::string> cases[] = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\xff\xfe\x00", 3), "//4A"},
  };
  for (const auto& [bytes, text] : cases) EXPECT_EQ(Base64Encode(bytes), text) << text;
}

TEST_F(Updates, UsageRecordIsPostedAsABase64QueueMessage) {
  server.reply("/queue", TestReply{201});
  const JSON record{{"action", "voreliaPublishShare"}, {"account", "studio"}, {"imageCount", 3}};
  api->PostToQueue(record);
  ASSERT_TRUE(server.waitForRequests(1));
  const auto request = server.requests().at(0);
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.query, "sig=s");
  EXPECT_EQ(request.header("Content-Type"), "application/xml; charset=utf-8");
  // The record goes pretty-printed, as the readers of the queue expect.
  ASSERT_NE(record.rawData(true)->find('\n'), std::string::npos);
  EXPECT_EQ(request.body, "<QueueMessage><MessageText>" + Base64Encode(*record.rawData(true)) +
                              "</MessageText></QueueMessage>");
}

TEST_F(Updates, PostingNeverWaitsForTheQueue) {
  server.reply("/queue", TestReply{.stall = true});
  const JSON record{{"imageCount", 1}};
  const std::string urls[] = {server.url("/queue?sig=s"), "http://127.0.0.1:9/queue?sig=s"};
  for (const auto& url : urls) {
    auto unreachable = std::make_shared<PluginState>(Deployment{"", "", url, ""});
    auto client = std::make_shared<Api>(unreachable);
    auto posted = std::async(std::launch::async, [&] { client->PostToQueue(record); });
    EXPECT_TRUE(waitUntil([&] { return posted.wait_for(seconds(0)) == std::future_status::ready; }))
        << url;
  }
  EXPECT_TRUE(server.waitForRequests(1)) << "the stalled post did go out";
}

}  // namespace
}  // namespace vorelia
