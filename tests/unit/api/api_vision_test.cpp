#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <mutex>
#include <thread>

#include "api/api.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia {
namespace {

using std::chrono::seconds;
using testing::HttpTestServer;
using testing::RecordedRequest;
using testing::TestReply;
using testing::waitUntil;

class VisionCalls : public ::testing::Test {
 protected:
  VisionCalls() {
    state->account.set("studio");
    state->setAuthentication("BEARER cached", std::chrono::system_clock::now());
    std::ofstream(file, std::ios::binary) << "jpeg \xff\xd8 bytes";
  }

  // Uploads file as name into vision v1; counts the completions that handed back `payload`.
  void upload(const std::string& path, std::atomic<int>& handedBack) {
    api->VisionUploadFile(server.url("/store/"), path, "v1", "My___photo.jpg", "?sv=2&sig=s3cret",
                          payload, [this, &handedBack](JSON back) {
                            if (back == payload) ++handedBack;
                          });
  }

  testing::TempHome home;
  HttpTestServer server;
  std::filesystem::path file = home.path() / "photo.jpg";
  const JSON payload{{"name", "My photo.jpg"}, {"escapedName", "My___photo.jpg"}, {"Tags", true}};
  std::shared_ptr<PluginState> state =
      std::make_shared<PluginState>(Deployment{server.url("/"), "", "", ""});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(5)});
};

TEST_F(VisionCalls, CreateVisionAndAnalysisSendTheirRequestsAndHandBackTheAnswers) {
  server.reply("/api/studio/visions",
               TestReply{200, {}, R"({"id":"v1","uploadSas":"?s","storageUrl":"https://b/"})"});
  server.reply("/api/studio/visions/v1/analyse/",
               TestReply{500, {}, R"({"hasError":true,"message":"busy"})"});

  std::atomic<int> completions{0};
  api->CreateVision([&](std::optional<JSON> answer) {
    EXPECT_EQ(answer.value_or(JSON())["id"].stringValue(), "v1");
    ++completions;
  });
  // The item id never enters the request: both analyses ask the same thing.
  for (const char* itemId : {"My___photo.jpg", "another"}) {
    api->Analisys("v1", itemId, payload, [&](std::optional<JSON> answer) {
      EXPECT_EQ(answer.value_or(JSON())["message"].stringValue(), "busy");
      ++completions;
    });
  }
  ASSERT_TRUE(waitUntil([&] { return completions == 3; }));

  for (const auto& request : server.requests()) {
    SCOPED_TRACE(request.path);
    EXPECT_EQ(request.header("Authorization"), "BEARER cached");
    EXPECT_FALSE(request.header("Content-Type").has_value());
    if (request.path == "/api/studio/visions") {
      EXPECT_EQ(request.method, "PUT");
      EXPECT_EQ(request.bodySize, 0u);
    } else {
      EXPECT_EQ(request.path, "/api/studio/visions/v1/analyse/");
      EXPECT_EQ(request.method, "POST");
      EXPECT_EQ(request.body, *payload.rawData());
    }
  }
}

TEST_F(VisionCalls, UploadsStreamTheImageAndHandBackThePayloadWhateverHappens) {
  struct Case {
    const char* what;
    TestReply reply;
    bool fileExists;
    std::size_t requests;  // reaching the store
  };
  const Case cases[] = {
      {"stored", TestReply{201}, true, 1},
      {"refused", TestReply{403, {}, "<Error>AuthenticationFailed</Error>"}, true, 1},
      {"dropped", TestReply{.dropAfter = 0}, true, 1},
      {"no such file", TestReply{201}, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server.reply("/store/*", c.reply);
    const auto before = server.requestCount();
    std::atomic<int> handedBack{0};
    // Six uploads: more than the four slots, so each one must give its slot back.
    const std::string path = c.fileExists ? file.string() : (home.path() / "gone.jpg").string();
    for (int i = 0; i < 6; ++i) upload(path, handedBack);
    ASSERT_TRUE(waitUntil([&] { return handedBack == 6; }));
    ASSERT_TRUE(server.waitForRequests(before + 6 * c.requests));
    if (c.requests == 0) continue;
    const auto put = server.requests().back();
    EXPECT_EQ(put.method, "PUT");
    EXPECT_EQ(put.path, "/store/v1/My___photo.jpg");
    EXPECT_EQ(put.query, "sv=2&sig=s3cret");
    EXPECT_EQ(put.header("x-ms-blob-type"), "BlockBlob");
    EXPECT_FALSE(put.header("Authorization").has_value());
    EXPECT_EQ(put.body, "jpeg \xff\xd8 bytes");
  }
}

TEST_F(VisionCalls, FifthUploadWaitsForAFreeVisionSlot) {
  platform::DispatchSemaphore release(0);
  server.respond("/store/*", [&](const RecordedRequest&) {
    release.wait();
    return TestReply{201};
  });
  std::atomic<int> handedBack{0};
  std::atomic<bool> fifthReturned{false};
  std::thread caller([&] {
    for (int i = 0; i < 5; ++i) upload(file.string(), handedBack);
    fifthReturned = true;
  });
  ASSERT_TRUE(server.waitForRequests(4));
  EXPECT_FALSE(fifthReturned);
  EXPECT_EQ(server.requestCount(), 4u);
  // The gallery uploads have slots of their own.
  std::atomic<bool> galleryDone{false};
  UploadInfo gallery;
  gallery.FilePath = file.string();
  gallery.ItemName = "g.jpg";
  gallery.UploadResource = JSON{{"id", "r"}, {"sas", "?g"}};
  server.reply("/gallery/*", TestReply{201});
  api->UploadFile(server.url("/gallery/"), gallery,
                  [&](UploadInfo, bool uploaded) { galleryDone = uploaded; });
  ASSERT_TRUE(waitUntil([&] { return galleryDone.load(); }));
  EXPECT_FALSE(fifthReturned);

  release.signal();
  ASSERT_TRUE(waitUntil([&] { return fifthReturned.load(); }));
  for (int i = 0; i < 4; ++i) release.signal();
  caller.join();
  ASSERT_TRUE(waitUntil([&] { return handedBack == 5; }));
}

}  // namespace
}  // namespace vorelia
