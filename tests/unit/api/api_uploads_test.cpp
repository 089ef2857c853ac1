#include <gtest/gtest.h>

#include <atomic>
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
    return upload;
  }
  std::string storage() const { return server.url("/store/"); }

  testing::TempHome home;
  HttpTestServer server;
  std::filesystem::path file = home.path() / "a.jpg";
  const JSON payload{{"name", "My photo.jpg"}, {"Tags", true}};
  std::shared_ptr<PluginState> state =
      std::make_shared<PluginState>(Deployment{server.url("/"), "", "", ""});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(5), seconds(0)});
};

// Gallery and vision uploads stream the file to its signed address, and every one completes and
// gives its slot back however it ends: six of each kind pass through four slots.
TEST_F(UploadPipeline, UploadsStreamTheFileToItsSignedAddressAndAlwaysComplete) {
  const struct {
    const char* what;
    TestReply reply;
    const char* file;  // in the home folder
    bool stored;
  } cases[] = {
      {"stored", TestReply{201}, "a.jpg", true},
      {"refused", TestReply{403, {}, "<Error>AuthenticationFailed</Error>"}, "a.jpg", false},
      {"dropped", TestReply{.body = "x", .dropAfter = 0}, "a.jpg", false},
      {"no such file", TestReply{201}, "gone.jpg", false},
      {"a folder", TestReply{201}, ".", false},
  };
  for (const bool vision : {false, true}) {
    for (const auto& c : cases) {
      SCOPED_TRACE(std::string(vision ? "vision, " : "gallery, ") + c.what);
      server.reply("/store/*", c.reply);
      const auto before = server.requestCount();
      const bool fileExists = c.file == file.filename();
      const std::string path = (home.path() / c.file).string();
      std::atomic<int> calls{0};
      std::atomic<int> right{0};  // calls that handed back what was asked and the right outcome
      for (int i = 0; i < 6; ++i) {
        if (vision) {
          api->VisionUploadFile(storage(), path, "v1", "My___photo.jpg", "?sv=2&sig=s3cret",
                                payload, [&](JSON back) {
                                  right += back == payload;
                                  ++calls;
                                });
        } else {
          UploadInfo upload = info("r1", "My___photo.jpg");
          upload.FilePath = path;
          api->UploadFile(storage(), upload, [&](UploadInfo back, bool uploaded) {
            right += uploaded == c.stored && back.ItemName == "My___photo.jpg" &&
                     (*back.UploadResource)["id"].stringValue() == "r1";
            ++calls;
          });
        }
      }
      ASSERT_TRUE(waitUntil([&] { return calls == 6; }));
      EXPECT_EQ(right, 6);
      ASSERT_TRUE(server.waitForRequests(before + (fileExists ? 6 : 0)));
      EXPECT_EQ(calls, 6) << "a second completion";
      if (!fileExists) continue;
      const auto put = server.requests().back();
      EXPECT_EQ(put.method, "PUT");
      EXPECT_EQ(put.path, vision ? "/store/v1/My___photo.jpg" : "/store/r1-o/My___photo.jpg");
      EXPECT_EQ(put.query, vision ? "sv=2&sig=s3cret" : "sv=1&sig=s3cret");
      EXPECT_EQ(put.header("x-ms-blob-type"), "BlockBlob");
      EXPECT_FALSE(put.header("Authorization") || put.header("Content-Type") ||
                   put.header("Expect"));
      EXPECT_EQ(put.body, "jpeg bytes \x01\x02\x03");
    }
  }
  const auto before = server.requestCount();
  UploadInfo unreserved = info("r");
  unreserved.UploadResource.reset();
  platform::DispatchSemaphore done(0);
  api->UploadFile(storage(), unreserved, [&](UploadInfo, bool uploaded) {
    EXPECT_FALSE(uploaded);
    done.signal();
  });
  ASSERT_TRUE(done.waitFor(seconds(10)));
  EXPECT_EQ(server.requestCount(), before);
}

// Gallery and vision uploads each have four slots of their own: with eight uploads held by the
// store, the fifth of each kind waits until the store lets one go.
TEST_F(UploadPipeline, EachKindOfUploadWaitsForOneOfItsOwnFourSlots) {
  platform::DispatchSemaphore release(0);
  server.respond("/store/*", [&](const RecordedRequest&) {
    release.wait();
    return TestReply{201};
  });
  std::atomic<int> completed{0};
  std::atomic<int> fifthsReturned{0};
  std::thread gallery([&] {
    for (int i = 0; i < 5; ++i) {
      api->UploadFile(storage(), info("r" + std::to_string(i)),
                      [&](UploadInfo, bool uploaded) { completed += uploaded ? 1 : 100; });
    }
    ++fifthsReturned;
  });
  std::thread vision([&] {
    for (int i = 0; i < 5; ++i) {
      api->VisionUploadFile(storage(), file.string(), "v1", "p.jpg", "?s", payload,
                            [&](JSON) { ++completed; });
    }
    ++fifthsReturned;
  });
  ASSERT_TRUE(server.waitForRequests(8));
  EXPECT_EQ(fifthsReturned, 0);
  EXPECT_EQ(server.requestCount(), 8u);
  for (int i = 0; i < 10; ++i) release.signal();
  gallery.join();
  vision.join();
  ASSERT_TRUE(waitUntil([&] { return completed == 10; }));
  EXPECT_EQ(server.requestCount(), 10u);
}

TEST_F(UploadPipeline, EncodingTriggerSendsTheResourceAndTellsWhetherTheServiceTookIt) {
  const struct {
    const char* what;
    TestReply reply;
    bool accepted;
  } cases[] = {
      {"taken", TestReply{200, {}, R"({"hasError":false})"}, true},
      {"taken without a body", TestReply{204}, true},
      {"refused", TestReply{500, {}, R"({"hasError":true})"}, false},
      {"no answer", TestReply{.body = "{}", .dropAfter = 0}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server.reply("/api/studio/encode", c.reply);
    std::atomic<int> calls{0};
    std::atomic<bool> accepted{!c.accepted};
    api->TriggerEncoding(info("r9"), [&](bool taken) {
      accepted = taken;
      ++calls;
    });
    ASSERT_TRUE(waitUntil([&] { return calls == 1; }));
    EXPECT_EQ(accepted, c.accepted);
    const auto put = server.requests().back();
    EXPECT_EQ(put.method, "PUT");
    EXPECT_EQ(JSON::Parse(put.body), *info("r9").UploadResource);
    EXPECT_EQ(calls, 1) << "a second completion";
  }
}

// A service that answers every long poll at once with nothing new is asked about once a second,
// without a thread blocked in between, until it reports the id.
TEST_F(UploadPipeline, EncodingPollsAnsweredAtOnceComeAtMostOnceASecond) {
  std::atomic<bool> encoded{false};
  server.respond("/api/anonymous/longpollingstates", [&](const RecordedRequest&) {
    return TestReply{200, {}, encoded ? R"({"value":["r1"]})" : R"({"value":[]})"};
  });
  const auto paced = std::make_shared<Api>(state);
  std::atomic<int> completions{0};
  const auto start = std::chrono::steady_clock::now();
  paced->WaitForEncodingToComplete({"r1"}, [&](std::optional<JSON>) { ++completions; });
  ASSERT_TRUE(server.waitForRequests(2));
  const auto polls = server.requestCount();
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LE(polls, 1 + std::chrono::duration_cast<seconds>(elapsed).count());
  EXPECT_EQ(completions, 0);
  encoded = true;
  ASSERT_TRUE(waitUntil([&] { return completions == 1; }));
  // An id that is never reported: the wait ends at its limit.
  encoded = false;
  std::make_shared<Api>(state, ApiOptions{.encodingPollPeriod = std::chrono::milliseconds(10),
                                          .encodingWaitLimit = std::chrono::milliseconds(200)})
      ->WaitForEncodingToComplete({"r1"}, [&](std::optional<JSON>) { ++completions; });
  ASSERT_TRUE(waitUntil([&] { return completions == 2; }));
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
      {"a transient error is retried", {{503}, {200, {}, R"({"value":["r1","r2","7"]})"}}, 2},
      {"an error body ends the wait", {{400, {}, R"({"message":"down"})"}}, 1},
      {"a body that is not JSON ends the wait", {{200, {}, "<html>"}}, 1},
      {"a dropped poll ends the wait", {{.body = "{}", .dropAfter = 0}}, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const auto before = server.requestCount();
    auto polls = std::make_shared<std::atomic<std::size_t>>(0);
    server.respond(
        "/api/anonymous/longpollingstates", [answers = c.answers, polls](const RecordedRequest&) {
          const std::size_t poll = (*polls)++;
          return poll < answers.size() ? answers[poll] : TestReply{200, {}, R"({"value":[]})"};
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
