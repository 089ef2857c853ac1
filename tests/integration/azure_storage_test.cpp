// The plugin against Azure Storage itself (Azurite): a usage record's Put Message under an add-only
// signature leaves the message Azure keeps, and a gallery published through PublishShare, with the
// sandbox storing its uploads in Azurite's blob service, arrives whole, each file under its own
// name whatever characters it holds.
#include <httplib.h>

#include <gtest/gtest.h>

#include "api/api.h"
#include "api/queue_message.h"
#include "publish/name_escaping.h"
#include "publish/publish_share.h"
#include "support/azurite_process.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"
#include "support/wait.h"

namespace vorelia {
namespace {

class AzureStorage : public ::testing::Test {
 protected:
  testing::TempHome home;
  testing::AzuriteProcess azurite;
};

std::string QueueSas(const std::string& permissions) {
  return testing::makeQueueSas("statsc1", permissions,
                               std::chrono::system_clock::now() + std::chrono::hours(1));
}

TEST_F(AzureStorage, UsageRecordArrivesAsItsPrettyPrintedJson) {
  ASSERT_TRUE(azurite.createQueue("statsc1"));
  const std::string queueUrl = azurite.queueEndpoint() + "/statsc1/messages?" + QueueSas("a");
  auto state = std::make_shared<PluginState>(Deployment{"", "", queueUrl, ""});
  const JSON record{
      {"action", "voreliaPublishShare"}, {"account", "Studio Ünïcode"}, {"imageCount", 3}};
  std::make_shared<Api>(state)->PostToQueue(record);

  // The texts of the messages in the queue (peeked, so they stay), as Azure Storage lists them.
  httplib::Client client("127.0.0.1", azurite.queuePort());
  std::string listing;
  ASSERT_TRUE(testing::waitUntil([&] {
    const auto answer =
        client.Get("/" + azurite.accountName() +
                   "/statsc1/messages?peekonly=true&numofmessages=32&" + QueueSas("r"));
    listing = answer && answer->status == 200 ? answer->body : "";
    return listing.find("<MessageText>") != std::string::npos;
  }));
  const std::string text = "<MessageText>" + Base64Encode(*record.rawData(true)) + "</MessageText>";
  EXPECT_NE(listing.find(text), std::string::npos) << listing;
  EXPECT_EQ(listing.find("<MessageText>", listing.find(text) + 1), std::string::npos) << listing;
}

TEST_F(AzureStorage, GalleryUploadsArriveWhole) {
  testing::SandboxProcess sandbox(
      testing::withArguments({"--azurite-blob", azurite.blobEndpoint()}));
  sandbox.seedUser("ann@example.test", "pw", {"ann-studio"});
  auto state = std::make_shared<PluginState>(Deployment{sandbox.baseUrl(), "", "", ""});
  state->account.set("ann-studio");
  state->setAuthentication("Bearer " + sandbox.token("ann@example.test"),
                           std::chrono::system_clock::now());

  // Names that need escaping for the service (spaces, ampersands, apostrophes, "%") or in a URL
  // ("#", a tab, accents, an emoji); the first file large, each of its own size.
  std::vector<std::string> files;
  std::uint64_t size = 3u << 20;
  for (const char* name :
       {"Zoë at the beach.jpg", "Tom & Jerry.jpg", "Anna's cake.jpg", "café crème.jpg",
        "Shoot #3.jpg", "tab\there.jpg", "100% crop.jpg", "\U0001F408 cat.jpg"}) {
    files.push_back((home.path() / name).string());
    ASSERT_TRUE(testing::writeGeneratedFile(files.back(), size));
    size = size / 7 + 1;
  }

  PublishShare workflow(state, std::make_shared<Api>(state));
  const auto result = workflow.DoPublish(
      PublishTask{"voreliaPublishShare", files, {{"albumName-input", std::string("Azure trip")}}},
      [](std::uint64_t, std::uint64_t, const std::optional<std::string>&) {});
  ASSERT_TRUE(result.url) << result.message;
  EXPECT_EQ(result.message.find("could not be uploaded"), std::string::npos) << result.message;
  const auto resources = sandbox.admin("GET", "/admin/uploads").body["resources"];
  ASSERT_EQ(resources.size(), files.size());
  for (std::size_t i = 0; i < files.size(); ++i) {
    EXPECT_EQ(resources[i]["stage"], "encoded") << resources[i];
    EXPECT_TRUE(resources[i]["blob"].get<std::string>().ends_with(
        "-o/" + voreliaEscape(std::filesystem::path(files[i]).filename().string())))
        << resources[i];
    const auto bytes = azurite.readBlob("uploads", resources[i]["blob"]);
    ASSERT_TRUE(bytes) << resources[i]["blob"];
    EXPECT_EQ(testing::sha256Hex(*bytes), testing::fileSha256(files[i])) << files[i];
  }
}

}  // namespace
}  // namespace vorelia
