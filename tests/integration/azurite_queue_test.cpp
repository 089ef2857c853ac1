// Usage records against Azure Queue Storage itself (Azurite): the plugin's Put Message under an
// add-only signature leaves a message whose text, Base64-decoded, is the pretty-printed record.
#include <httplib.h>
#include <openssl/evp.h>

#include <gtest/gtest.h>

#include <algorithm>

#include "api/api.h"
#include "support/azurite_process.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia {
namespace {

using testing::AzuriteProcess;

std::string QueueSas(const std::string& permissions) {
  return testing::makeQueueSas("statsc1", permissions,
                               std::chrono::system_clock::now() + std::chrono::hours(1));
}

// The texts of the messages in the queue (peeked, so they stay), as Azure Storage lists them.
std::vector<std::string> PeekTexts(const AzuriteProcess& azurite) {
  httplib::Client client("127.0.0.1", azurite.queuePort());
  const auto answer =
      client.Get("/" + azurite.accountName() + "/statsc1/messages?peekonly=true&numofmessages=32&" +
                 QueueSas("r"));
  std::vector<std::string> texts;
  if (!answer || answer->status != 200) return texts;
  const std::string open = "<MessageText>", close = "</MessageText>";
  for (std::size_t at = answer->body.find(open); at != std::string::npos;
       at = answer->body.find(open, at + 1)) {
    const std::size_t end = answer->body.find(close, at);
    if (end == std::string::npos) break;
    texts.push_back(answer->body.substr(at + open.size(), end - at - open.size()));
  }
  return texts;
}

std::string Base64Decode(const std::string& text) {
  std::string bytes(text.size() / 4 * 3, '\0');
  const int size = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(bytes.data()),
                                   reinterpret_cast<const unsigned char*>(text.data()),
                                   static_cast<int>(text.size()));
  if (size < 0) return "(not base64)";
  bytes.resize(static_cast<std::size_t>(size) - std::count(text.begin(), text.end(), '='));
  return bytes;
}

TEST(AzuriteQueue, UsageRecordArrivesAsItsPrettyPrintedJson) {
  testing::TempHome home;
  testing::AzuriteOptions options;
  options.inMemory = true;
  AzuriteProcess azurite(options);
  ASSERT_TRUE(azurite.createQueue("statsc1"));
  const std::string queueUrl = azurite.queueEndpoint() + "/statsc1/messages?" + QueueSas("a");
  auto state = std::make_shared<PluginState>(Deployment{"", "", queueUrl, ""});
  auto api = std::make_shared<Api>(state);

  const JSON record{
      {"action", "voreliaPublishShare"}, {"account", "Studio Ünïcode"}, {"imageCount", 3}};
  api->PostToQueue(record);
  std::vector<std::string> texts;
  ASSERT_TRUE(testing::waitUntil([&] {
    texts = PeekTexts(azurite);
    return !texts.empty();
  }));
  ASSERT_EQ(texts.size(), 1u);
  const std::string decoded = Base64Decode(texts[0]);
  EXPECT_EQ(decoded, record.rawData(true));
  const JSON back = JSON::Parse(decoded);
  EXPECT_EQ(back["imageCount"].int64Value(), 3);
  EXPECT_EQ(back["account"].stringValue(), "Studio Ünïcode");
}

}  // namespace
}  // namespace vorelia
