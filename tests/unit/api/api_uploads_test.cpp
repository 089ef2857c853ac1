#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <fstream>
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

class UploadPipeline : public ::testing::Test {
 protected:
  UploadPipeline() {
    state->account.set("studio");
    state->setAuthentication("BEARER cached", std::chrono::system_clock::now());
    std::ofstream(file, std::ios::binary) << "jpeg bytes \x01\x02\x03";
  }

  UploadInfo info(const std::string& id, const std::string& itemName = "a.jpg") const {
    UploadInfo upload;
    upload.FilePath = file.string();
    upload.FileSize = 14;
    upload.ItemName = itemName;
    upload.ContainerId = "c1";
    upload.UploadResource = JSON{{"id", id}, {"sas", "?sv=1&sig=s3cret"}, {"extra", 5}};
    upload.CanUpload = true;
    return upload;
  }
  std::string storage() const { return server.url("/store/"); }

  testing::TempHome home;
  HttpTestServer server;
  std::filesystem::path file = home.path() / "a.jpg";
  std::shared_ptr<PluginState> state =
      std::make_shared<PluginState>(Deployment{server.url("/"), "", "", ""});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(5)});
};

TEST_F(UploadPipeline, BlobUploadsStreamTheFileToItsSignedAddress) {
  server.reply("/store/*", TestReply{201});
  std::atomic<int> calls{0};
  api->UploadFile(storage(), info("r1", "My___photo.jpg"), [&](UploadInfo back, bool uploaded) {
    EXPECT_TRUE(uploaded);
    EXPECT_EQ(back.ItemName, "My___photo.jpg");
    EXPECT_EQ(back.UploadResource->operator[]("id").stringValue(), "r1");
    ++calls;
  });
  ASSERT_TRUE(waitUntil([&] { return calls == 1; }));
  const auto put = server.requests().at(0);
  EXPECT_EQ(put.method, "PUT");
  EXPECT_EQ(put.path, "/store/r1-o/My___photo.jpg");
  EXPECT_EQ(put.query, "sv=1&sig=s3cret");
  EXPECT_EQ(put.header("x-ms-blob-type"), "BlockBlob");
  EXPECT_FALSE(put.header("Authorization") || put.header("Content-Type") || put.header("Expect"));
  EXPECT_EQ(put.body, "jpeg bytes \x01\x02\x03");
}

TEST_F(UploadPipeline, FifthUploadWaitsForAFreeSlot) {
  platform::DispatchSemaphore release(0);
  server.respond("/store/*", [&](const RecordedRequest&) {
    release.wait();
    return TestReply{201};
  });
  std::atomic<int> completed{0};
  std::atomic<bool> fifthReturned{false};
  std::thread caller([&] {
    for (int i = 0; i < 5; ++i) {
      api->UploadFile(storage(), info("r" + std::to_string(i)),
                      [&](UploadInfo, bool uploaded) { completed += uploaded ? 1 : 100; });
    }
    fifthReturned = true;
  });
  ASSERT_TRUE(server.waitForRequests(4));
  EXPECT_FALSE(fifthReturned);
  EXPECT_EQ(server.requestCount(), 4u);
  release.signal();
  ASSERT_TRUE(waitUntil([&] { return fifthReturned.load(); }));
  for (int i = 0; i < 4; ++i) release.signal();
  caller.join();
  ASSERT_TRUE(waitUntil([&] { return completed == 5; }));
}

TEST_F(UploadPipeline, RefusedUploadsReportFailureAndFreeTheirSlot) {
  server.reply("/store/*", TestReply{403, {}, "<Error>AuthenticationFailed</Error>"});
  std::atomic<int> failed{0};
  for (int i = 0; i < 6; ++i) {  // more than four: each refusal must give its slot back
    api->UploadFile(storage(), info("r"), [&](UploadInfo, bool uploaded) { failed += !uploaded; });
  }
  ASSERT_TRUE(waitUntil([&] { return failed == 6; }));

  UploadInfo missing = info("r");
  missing.FilePath = (home.path() / "gone.jpg").string();
  UploadInfo unreserved = info("r");
  unreserved.UploadResource.reset();
  for (const auto& upload : {missing, unreserved}) {
    api->UploadFile(storage(), upload, [&](UploadInfo, bool uploaded) { failed += !uploaded; });
  }
  ASSERT_TRUE(waitUntil([&] { return failed == 8; }));
  EXPECT_EQ(server.requestCount(), 6u);
}

TEST_F(UploadPipeline, EncodingTriggerSendsTheResourceAndAlwaysCompletesEmpty) {
  server.reply("/api/studio/encode", TestReply{200, {}, R"({"hasError":false})"});
  platform::DispatchSemaphore done(0);
  api->TriggerEncoding(info("r9"), [&](std::optional<JSON> answer) {
    EXPECT_FALSE(answer.has_value());
    done.signal();
  });
  ASSERT_TRUE(done.waitFor(seconds(10)));
  const auto put = server.requests().at(0);
  EXPECT_EQ(put.method, "PUT");
  EXPECT_EQ(JSON::Parse(put.body), *info("r9").UploadResource);
}

TEST_F(UploadPipeline, EncodingWaitPollsUntilEveryIdIsReported) {
  struct Case {
    const char* what;
    std::vector<TestReply> answers;  // one per poll, in order
    std::size_t polls;
  };
  const Case cases[] = {
      {"all at once", {{200, {}, R"({"value":["r1","r2","7"]})"}}, 1},
      {"partial, numeric ids, an empty list",
       {{200, {}, R"({"value":["r2"]})"},
        {200, {}, R"({"value":[]})"},
        {200, {}, R"({"value":[7,"nope"]})"},
        {200, {}, R"({"value":["r1"]})"}},
       4},
      {"an error body ends the wait", {{500, {}, R"({"message":"down"})"}}, 1},
      {"a body that is not JSON ends the wait", {{200, {}, "<html>"}}, 1},
      {"a dropped poll ends the wait", {{.body = "{}", .dropAfter = 0}}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto before = server.requestCount();
    auto answers = std::make_shared<std::deque<TestReply>>(c.answers.begin(), c.answers.end());
    auto mutex = std::make_shared<std::mutex>();
    server.respond("/api/anonymous/longpollingstates", [answers, mutex](const RecordedRequest&) {
      std::scoped_lock lock(*mutex);
      if (answers->empty()) return TestReply{200, {}, R"({"value":[]})"};
      TestReply next = answers->front();
      answers->pop_front();
      return next;
    });
    std::atomic<int> completions{0};
    api->WaitForEncodingToComplete({"r1", "r2", "7"}, [&](std::optional<JSON> answer) {
      EXPECT_FALSE(answer.has_value());
      ++completions;
    });
    ASSERT_TRUE(waitUntil([&] { return completions == 1; }));
    EXPECT_EQ(server.requestCount() - before, c.polls);
    const auto last = server.requests().back();
    EXPECT_EQ(last.method, "POST");
    EXPECT_EQ(last.header("Authorization"), "BEARER cached");
  }
  // What each poll asked for: the ids still pending.
  const auto requests = server.requests();
  EXPECT_EQ(JSON::Parse(requests.at(1).body), JSON::Parse(R"({"value":["r1","r2","7"]})"));
  EXPECT_EQ(JSON::Parse(requests.at(2).body), JSON::Parse(R"({"value":["r1","7"]})"));
  EXPECT_EQ(JSON::Parse(requests.at(4).body), JSON::Parse(R"({"value":["r1"]})"));
}

}  // namespace
}  // namespace vorelia
