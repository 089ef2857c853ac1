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

  httplib::Result put(const std::string& path, const std::string& text) const {
    return send("POST", path,
                "<QueueMessage><MessageText>" + text + "</MessageText></QueueMessage>", {},
                "application/xml; charset=utf-8");
  }

  fs::path library = vorelia::testing::makeTempDirectory("library");
  std::string archive = std::string("PK\x03\x04", 4) + std::string(200000, '\x7f');
};

// The update end-to-end test downloads the document and the archive and the main job reads the
// queue back; these are the requests the plugin never makes.
TEST_F(SandboxUpdates, LibraryAndQueueRefuseWhatTheyMustNotServeOrKeep) {
  for (const char* path : {"/libraries/captureone/VoreliaCaptureOnePlugin.0.3.0.coplugin.zip",
                           "/libraries/captureone/.hidden", "/libraries/captureone/..%2Fsecret.txt",
                           "/libraries/captureone/%2E%2E", "/libraries/other/details.json"}) {
    const auto result = get(path);
    ASSERT_TRUE(result) << path;
    EXPECT_EQ(result->status, 404) << path;
  }
  EXPECT_EQ(get("/libraries/captureone/VoreliaCaptureOnePlugin.0.2.0.coplugin.zip")->body, archive);

  const std::string path = adminOk("GET", "/admin/queue")["queuePath"];
  const struct {
    const char* what;
    httplib::Result result;
    int status;
  } cases[] = {
      {"no signature", put("/statsc1/messages", "eA=="), 403},
      {"changed permissions", put(path.substr(0, path.find("&sp=")) + "&sp=raup", "eA=="), 403},
      {"bad signature", put(path.substr(0, path.find("&sig=")) + "&sig=AAAA&st=x&se=y&sp=r", ""),
       403},
      {"not a queue message", send("POST", path, "{\"imageCount\": 3}"), 400},
      {"text too long", put(path, std::string(65540, 'A')), 413},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(c.result) << c.what;
    EXPECT_EQ(c.result->status, c.status) << c.what << ": " << c.result->body;
  }
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
