// The update library and the statistics queue of the sandbox.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "sandbox/message_queue.h"
#include "sandbox_fixture.h"
#include "support/temp_home.h"

namespace vorelia::sandbox::testing {
namespace {

namespace fs = std::filesystem;

class SandboxUpdates : public SandboxTest {
 protected:
  void SetUp() override {
    std::ofstream(library / "details.json") << R"({"version": "0.2.0"})";
    std::ofstream(library / "VoreliaCaptureOnePlugin.0.2.0.coplugin.zip", std::ios::binary)
        << archive;
    std::ofstream(library / ".hidden") << "no";
    std::ofstream(library.parent_path() / "secret.txt") << "no";
    ServerOptions options;
    options.libraryFolder = library;
    start(std::move(options));
  }
  void TearDown() override {
    SandboxTest::TearDown();
    fs::remove_all(library);
  }

  std::string queuePath() const { return adminOk("GET", "/admin/queue")["queuePath"]; }
  httplib::Result put(const std::string& path, const std::string& text) const {
    return send("POST", path,
                "<QueueMessage><MessageText>" + text + "</MessageText></QueueMessage>", {},
                "application/xml; charset=utf-8");
  }

  fs::path library = vorelia::testing::makeTempDirectory("library");
  std::string archive = std::string("PK\x03\x04", 4) + std::string(200000, '\x7f');
};

TEST_F(SandboxUpdates, LibraryServesItsFilesAndNothingElse) {
  const struct {
    std::string path;
    int status;
    std::string body;  // checked when the status is 200
  } cases[] = {
      {"/libraries/captureone/details.json", 200, R"({"version": "0.2.0"})"},
      {"/libraries/captureone/VoreliaCaptureOnePlugin.0.2.0.coplugin.zip", 200, archive},
      {"/libraries/captureone/VoreliaCaptureOnePlugin.0.3.0.coplugin.zip", 404, ""},
      {"/libraries/captureone/.hidden", 404, ""},
      {"/libraries/captureone/..%2Fsecret.txt", 404, ""},
      {"/libraries/captureone/%2E%2E", 404, ""},
      {"/libraries/other/details.json", 404, ""},
  };
  for (const auto& c : cases) {
    const auto result = get(c.path);
    ASSERT_TRUE(result) << c.path;
    EXPECT_EQ(result->status, c.status) << c.path;
    if (c.status == 200) {
      EXPECT_EQ(result->body, c.body) << c.path;
    }
  }
}

TEST_F(SandboxUpdates, QueueKeepsSignedMessagesAndShowsThemDecoded) {
  const std::string path = queuePath();
  ASSERT_TRUE(path.starts_with("/statsc1/messages?sv=2018-03-28&sig=")) << path;
  // {"imageCount": 3} in Base64.
  const auto added = put(path, "eyJpbWFnZUNvdW50IjogM30=");
  ASSERT_TRUE(added);
  EXPECT_EQ(added->status, 201) << added->body;
  EXPECT_NE(added->body.find("<MessageId>"), std::string::npos);

  const auto unsigned_ = put("/statsc1/messages", "eA==");
  const auto forged = put(path.substr(0, path.find("&sp=")) + "&sp=raup", "eA==");
  const auto readOnly = put(path.substr(0, path.find("&sig=")) + "&sig=AAAA&st=x&se=y&sp=r", "");
  const auto notXml = send("POST", path, "{\"imageCount\": 3}");
  const auto tooLong = put(path, std::string(65540, 'A'));
  for (const auto& [what, result, status] : {std::tuple{"no signature", &unsigned_, 403},
                                             std::tuple{"changed permissions", &forged, 403},
                                             std::tuple{"bad signature", &readOnly, 403},
                                             std::tuple{"not a queue message", &notXml, 400},
                                             std::tuple{"text too long", &tooLong, 413}}) {
    ASSERT_TRUE(*result) << what;
    EXPECT_EQ((*result)->status, status) << what << ": " << (*result)->body;
  }

  const auto listed = adminOk("GET", "/admin/queue");
  ASSERT_EQ(listed["messages"].size(), 1u) << listed.dump();
  EXPECT_EQ(listed["messages"][0]["text"], "eyJpbWFnZUNvdW50IjogM30=");
  EXPECT_EQ(listed["messages"][0]["decoded"], "{\"imageCount\": 3}");
  EXPECT_EQ(listed["messages"][0]["record"]["imageCount"], 3);
  adminOk("DELETE", "/admin/queue");
  EXPECT_TRUE(adminOk("GET", "/admin/queue")["messages"].empty());
}

TEST(SandboxQueue, KeepsTheNewestMessagesWithinItsCapacity) {
  MessageQueue queue(MessageQueue::Limits{3, 100});
  for (const char* text : {"MQ==", "Mg==", "Mw==", "NA==", "not base64!"}) queue.add(text, 0);
  const auto listed = queue.list();
  ASSERT_EQ(listed["messages"].size(), 3u);
  EXPECT_EQ(listed["evicted"], 2);
  EXPECT_EQ(listed["messages"][0]["decoded"], "3");
  EXPECT_EQ(listed["messages"][1]["record"], 4);
  EXPECT_TRUE(listed["messages"][2]["decoded"].is_null());
}

}  // namespace
}  // namespace vorelia::sandbox::testing
