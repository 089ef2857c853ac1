#include "api/api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <future>
#include <thread>

#include "api/queue_message.h"
#include "api/url_encoding.h"
#include "api_fixture.h"
#include "model/json_list.h"
#include "model/keys.h"
#include "platform/user_defaults.h"
#include "support/wait.h"

namespace vorelia::testing_api {
namespace {

using testing::waitUntil;

// Every operation sends exactly its request. After a transient failure, those safe to send twice
// are sent again (four attempts in all, the back-off shortened for the tests), the others once.
// An authenticated one refused with 401 (the service did nothing) gets a fresh token and goes once
// more, whatever it is.
TEST_F(ApiTest, EveryOperationSendsExactlyItsRequestAndOnlyTheSafeOnesAgain) {
  const JSON share{{"containers", std::vector<JSON>{JSON{{"id", "c1"}}}}, {"isDownloadEnabled", 1}};
  const std::string shareText = R"({"containers":[{"id":"c1"}],"isDownloadEnabled":1})";
  const JSON order{{"value", std::vector<JSON>{JSON{{"id", "r1"}, {"order", 0}}}}};
  const JSON record{{"action", "voreliaPublishShare"}, {"imageCount", 3}};
  const UploadInfo upload = info("r1");
  UploadInfo odd = upload;
  odd.UploadResource = JSON("r9");
  const std::string bytes = "jpeg bytes \x01\x02\x03";
  const struct {
    std::function<void(Signal)> call;
    std::string request;  // method, path and query
    std::size_t attempts;
    bool authorized = true;
    std::string body = "";
    const char* contentType = nullptr;  // nullptr: none at all
  } cases[] = {
      {[&](Signal d) { api->GetRelatedAccounts(d); }, "GET /api/Account/RelatedAccounts", 4},
      {[&](Signal d) { api->GetAccountState(d); }, "GET /api/Account/studio/State", 4},
      {[&](Signal d) { api->GetComputerVisionCredits(d); }, "GET /api/studio/credits", 4},
      {[&](Signal d) { api->GetContainers(false, d); }, "GET /api/studio/containers/", 4},
      {[&](Signal d) { api->GetContainers(true, d); }, "GET /api/studio/containers/?$expand", 4},
      {[&](Signal d) {
         api->CreateContainerIfNotExists(JSON{{"name", "Anna & Bob's"}}, d);
       },
       "PUT /api/studio/containers/Anna   Bob s", 1, true, R"({"name":"Anna & Bob's"})"},
      {[&](Signal d) { api->ReorderContainer("c1", order, d); },
       "POST /api/studio/containers/c1/$synchronize", 4, true,
       R"({"value":[{"id":"r1","order":0}]})", "application/json"},
      {[&](Signal d) { api->GetShareUrl(share, d); }, "POST /api/studio/shares", 1, true,
       shareText},
      {[&](Signal d) {
         api->InitUploadResource("c1", {JSON{{"name", "a.jpg"}}}, d);
       },
       "PUT /api/studio/containers/c1/inituploadresources", 1, true,
       R"({"value":[{"name":"a.jpg"}]})"},
      // The same requests with the list written one element at a time.
      {[&](Signal d) {
         JSONListWriter files(P::Value);
         files.add(JSON{{"size", 7}, {"name", "a\"\u00e9.jpg"}});
         api->ReserveUploads("c1", std::move(files).finish(), d);
       },
       "PUT /api/studio/containers/c1/inituploadresources", 1, true,
       R"({"value":[{"name":"a\"é.jpg","size":7}]})"},
      {[&](Signal d) {
         JSONListWriter orders(P::Value);
         orders.add(JSON{{"order", 0}, {"id", "r1"}});
         api->ReorderContainer("c1", std::move(orders).finish(), d);
       },
       "POST /api/studio/containers/c1/$synchronize", 4, true,
       R"({"value":[{"id":"r1","order":0}]})", "application/json"},
      {[&](Signal d) {  // sent from its file, again after a refusal too
         auto file = BodyFile::Create();
         file->append(R"({"value":[{"id":"r1","order":0}]})");
         file->finish();
         api->ReorderContainer("c1", std::shared_ptr<const BodyFile>(std::move(file)), d);
       },
       "POST /api/studio/containers/c1/$synchronize", 4, true,
       R"({"value":[{"id":"r1","order":0}]})", "application/json"},
      {[&](Signal d) { api->UploadFile(storage(), upload, d); },
       "PUT /store/r1-o/My___photo.jpg?sv=1&sig=s3cret", 4, false, bytes},
      // A probe of a store that was unreachable is sent once.
      {[&](Signal d) { api->UploadFile(storage(), upload, d, UploadAttempts::once); },
       "PUT /store/r1-o/My___photo.jpg?sv=1&sig=s3cret", 1, false, bytes},
      {[&](Signal d) { api->TriggerEncoding(upload, d); }, "PUT /api/studio/encode", 4, true,
       R"({"extra":5,"id":"r1","sas":"?sv=1&sig=s3cret"})"},
      // A resource that is no object goes back as it came.
      {[&](Signal d) { api->TriggerEncoding(odd, d); }, "PUT /api/studio/encode", 4, true,
       R"("r9")"},
      {[&](Signal d) { api->WaitForEncodingToComplete({"r1"}, d); },
       "POST /api/anonymous/longpollingstates", 4, true, R"({"value":["r1"]})"},
      {[&](Signal d) { api->CreateVision(d); }, "PUT /api/studio/visions", 1},
      {[&](Signal d) {
         api->VisionUploadFile(storage(), upload.FilePath, "v1", "Shoot___#3\t\u20ac.jpg",
                               "?sv=2&sig=s3cret", payload, d);
       },
       // Sent encoded: a "#" left as it is would end the path, and the signature with it.
       "PUT /store/v1/Shoot___#3\t\u20ac.jpg?sv=2&sig=s3cret", 4, false, bytes},
      // The item id never enters the request.
      {[&](Signal d) { api->Analisys("v1", "My___photo.jpg", share, d); },
       "POST /api/studio/visions/v1/analyse/", 1, true, shareText},
      {[&](Signal d) { api->CheckForUpdates(d); }, "GET /lib/details.json", 4, false},
      {[&](Signal d) { api->GetAccessToken(d); }, "POST /Token", 1, false,
       "grant_type=password&username=ann%2B1%40example.com&password=p%26ss%3Dw%2Brd+%C3%A9100%25%"
       "7E*-._",
       "application/x-www-form-urlencoded"},
      {[&](Signal d) { d(api->IsAccountValid()); }, "GET /api/accounts/new-studio/isvalid", 4,
       false},
      {[&](Signal d) { d(api->CreateAccount()); }, "PUT /api/accounts/new-studio", 1, false,
       R"({"password":"pw & more","username":"bob@example.com"})"},
      // The record goes pretty-printed, as the readers of the queue expect.
      {[&](Signal d) {
         api->PostToQueue(record);
         d();
       },
       "POST /queue?sig=s", 1, false,
       "<QueueMessage><MessageText>" +
           Base64Encode("{\n  \"action\": \"voreliaPublishShare\",\n  \"imageCount\": 3\n}") +
           "</MessageText></QueueMessage>",
       "application/xml; charset=utf-8"},
  };
  server.reply("/Token", TestReply{200, {}, R"({"access_token":"fresh"})"});
  for (const bool refused : {false, true}) {
    server.respond("/*", [refused](const RecordedRequest& r) {
      if (refused && r.header("Authorization") == "BEARER cached") return TestReply{401};
      return refused ? TestReply{200, {}, "{}"} : TestReply{503, {}, R"({"hasError":true})"};
    });
    for (const auto& c : cases) {
      SCOPED_TRACE(c.request + (refused ? " refused" : ""));
      state->setAuthentication("BEARER cached", std::chrono::system_clock::now());
      // Refused: the request, the token grant, the request again.
      const std::size_t attempts = refused ? (c.authorized ? 3 : 1) : c.attempts;
      const auto before = server.requestCount();
      platform::DispatchSemaphore done(0);
      c.call(Signal{[&] { done.signal(); }});
      ASSERT_TRUE(done.waitFor(seconds(10)));
      ASSERT_TRUE(server.waitForRequests(before + attempts));
      const auto all = server.requests();
      ASSERT_EQ(all.size(), before + attempts);
      const auto& r = all.back();
      EXPECT_EQ(r.method + " " + r.path + (r.query.empty() ? "" : "?" + r.query), c.request);
      EXPECT_EQ(r.header("Authorization"),
                c.authorized
                    ? std::optional<std::string>(refused ? "BEARER fresh" : "BEARER cached")
                    : std::nullopt);
      EXPECT_EQ(r.header("Content-Type"),
                c.contentType ? std::optional<std::string>(c.contentType) : std::nullopt);
      EXPECT_EQ(r.body, c.body);
    }
  }
}

// An answer of any status is handed over; a dropped connection, a stall past the time-out or a
// missing account give none. Each call completes once.
TEST_F(ApiTest, AnswersOfAnyStatusAreHandedOverAndFailuresGiveNone) {
  const std::pair<TestReply, std::optional<std::string>> cases[] = {
      {TestReply{500, {}, R"({"hasError":true,"message":"down"})"}, "down"},
      {TestReply{502, {}, "Bad gateway"}, ""},
      {TestReply{.body = R"({"id":"v1"})", .dropAfter = 0}, std::nullopt},
      {TestReply{.stall = true}, std::nullopt},                  // the 2-second time-out ends it
      {TestReply{.generatedBodySize = 65 << 20}, std::nullopt},  // past the 64 MiB of an answer
  };
  std::atomic<int> completions{0};
  const auto createVision = [&](auto done) {
    api->CreateVision([&completions, done](std::optional<JSON> answer) {
      ++completions;
      done(std::move(answer));
    });
  };
  for (const auto& [reply, message] : cases) {
    server.reply("/api/studio/visions", reply);
    const auto answer = Await<std::optional<JSON>>(createVision);
    ASSERT_EQ(answer.has_value(), message.has_value()) << reply.body;
    EXPECT_EQ(answer ? (*answer)["message"].stringValue() : "", message.value_or(""));
  }
  state->account.set(std::nullopt);
  const auto before = server.requestCount();
  EXPECT_FALSE(Await<std::optional<JSON>>(createVision));
  EXPECT_EQ(server.requestCount(), before);
  // Late second completions would show up while a further request runs.
  state->account.set("studio");
  Await<std::optional<JSON>>(createVision);
  EXPECT_EQ(completions, 7);
}

TEST_F(ApiTest, AccountNameCheckCreationAndRelatedAccountsFromAnyAnswerShape) {
  const std::pair<TestReply, bool> checks[] = {
      {TestReply{200, {}, R"({"isValide":true})"}, true},
      {TestReply{200, {}, R"({"isValid":true})"}, false},
      {TestReply{200, {}, "nope"}, false},
      {TestReply{.body = R"({"isValide":true})", .dropAfter = 5}, false},  // cut short: no yes
  };
  for (const auto& [reply, valid] : checks) {
    server.reply("/api/accounts/new-studio/isvalid", reply);
    EXPECT_EQ(api->IsAccountValid(), valid) << reply.body;
  }
  const std::pair<int, bool> creations[] = {{204, true}, {201, false}, {409, false}};
  for (const auto& [status, created] : creations) {
    server.reply("/api/accounts/new-studio", TestReply{status, {}, ""});
    EXPECT_EQ(api->CreateAccount(), created) << status;
  }
  // The form carries the password: a redirect fails the creation, and nothing goes elsewhere.
  HttpTestServer elsewhere;
  elsewhere.reply("/api/accounts/new-studio", TestReply{204, {}, ""});
  server.reply("/api/accounts/new-studio",
               TestReply{307, {{"Location", elsewhere.url("/api/accounts/new-studio")}}, ""});
  EXPECT_FALSE(api->CreateAccount());
  EXPECT_EQ(elsewhere.requestCount(), 0u);
  state->createPassword.set(std::nullopt);
  const auto before = server.requestCount();
  EXPECT_FALSE(api->CreateAccount());
  EXPECT_EQ(server.requestCount(), before);
  // Related accounts, from any answer shape.
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {R"(["studio",7,null])", {"studio", "7", ""}}, {R"({"a":"one"})", {"one"}}, {"7", {}}};
  for (const auto& [body, expected] : cases) {
    server.reply("/api/Account/RelatedAccounts", TestReply{200, {}, body});
    EXPECT_EQ(Await<std::vector<std::string>>([&](auto d) { api->GetRelatedAccounts(d); }),
              expected)
        << body;
  }
}

TEST_F(ApiTest, OneAlbumRefreshAtATime) {
  const std::string path = "/api/studio/containers/";
  // RefreshContainers marks a refresh under way before it returns.
  const auto refreshed = [&] {
    api->RefreshContainers();
    return waitUntil([&] { return !state->isRefreshingContainers; });
  };
  server.reply(path,
               TestReply{200, {}, R"({"value":[{"id":"c1"}]})", 0, std::chrono::milliseconds(300)});
  api->RefreshContainers();
  ASSERT_TRUE(refreshed());  // dropped: the first is under way
  EXPECT_EQ(state->containers.get().size(), 1u);
  EXPECT_EQ(server.requests(path).size(), 1u);

  server.reply(path, TestReply{.body = R"({"value":[]})", .dropAfter = 0});
  ASSERT_TRUE(refreshed());
  EXPECT_EQ(state->containers.get().size(), 1u);  // a failed refresh keeps the list
  server.reply(path, TestReply{403, {}, R"({"hasError":true})"});
  ASSERT_TRUE(refreshed());
  EXPECT_TRUE(state->containers.get().empty());

  // Another account chosen while a list is on its way (its own refresh dropped): the late list is
  // not kept, the chosen account's is fetched.
  server.reply(path,
               TestReply{200, {}, R"({"value":[{"id":"s"}]})", 0, std::chrono::milliseconds(300)});
  server.reply("/api/family/containers/", TestReply{200, {}, R"({"value":[{"id":"f"}]})"});
  const auto asked = server.requests(path).size() + 1;
  api->RefreshContainers();
  ASSERT_TRUE(waitUntil([&] { return server.requests(path).size() == asked; }));
  state->account.set("family");
  api->RefreshContainers();
  ASSERT_TRUE(waitUntil([&] { return !server.requests("/api/family/containers/").empty(); }));
  ASSERT_TRUE(waitUntil([&] { return !state->isRefreshingContainers; }));
  ASSERT_EQ(state->containers.get().size(), 1u);
  EXPECT_EQ(state->containers.get()[0]["id"].stringValue(), "f");
}

// Uploads complete once however they end, hand back what they were given and give their slot
// back: six pass through four slots.
TEST_F(ApiTest, UploadsAlwaysCompleteOnceAndGiveTheirSlotBack) {
  const struct {
    const char* what;
    TestReply reply;
    const char* file;  // in the home folder
    UploadOutcome outcome;
  } cases[] = {
      {"stored", TestReply{201}, "a.jpg", UploadOutcome::stored},
      {"refused", TestReply{403, {}, "<Error>AuthenticationFailed</Error>"}, "a.jpg",
       UploadOutcome::refused},
      {"dropped", TestReply{.body = "x", .dropAfter = 0}, "a.jpg", UploadOutcome::unreachable},
      {"no such file", TestReply{201}, "gone.jpg", UploadOutcome::refused},
      {"a folder", TestReply{201}, ".", UploadOutcome::refused},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    server.reply("/store/*", c.reply);
    const auto before = server.requestCount();
    const bool fileExists = c.file == file.filename();
    UploadInfo upload = info("r1");
    upload.FilePath = (home.path() / c.file).string();
    std::atomic<int> calls{0};
    std::atomic<int> right{0};  // calls that handed back what was asked and the right outcome
    for (int i = 0; i < 6; ++i) {
      api->UploadFile(storage(), upload, [&](UploadInfo back, UploadOutcome outcome) {
        right += outcome == c.outcome && back.ItemName == upload.ItemName &&
                 back.UploadResource == upload.UploadResource;
        ++calls;
      });
    }
    ASSERT_TRUE(waitUntil([&] { return calls == 6; }));
    EXPECT_EQ(right, 6);
    ASSERT_TRUE(server.waitForRequests(before + (fileExists ? 6 : 0)));
    EXPECT_EQ(calls, 6) << "a second completion";
  }
  for (const auto& r : server.requests()) EXPECT_EQ(r.header("x-ms-blob-type"), "BlockBlob");
}

// Gallery and vision uploads each have four slots of their own: with eight uploads held by the
// store, the fifth of each kind waits until the store lets one go. A vision upload hands back the
// state it was given.
TEST_F(ApiTest, EachKindOfUploadWaitsForOneOfItsOwnFourSlots) {
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
                      [&](UploadInfo, UploadOutcome outcome) {
                        completed += outcome == UploadOutcome::stored ? 1 : 100;
                      });
    }
    ++fifthsReturned;
  });
  std::thread vision([&] {
    for (int i = 0; i < 5; ++i) {
      api->VisionUploadFile(
          storage(), file.string(), "v1", "p.jpg", "?s", payload,
          [&](JSON back, UploadOutcome) { completed += back == payload ? 1 : 100; });
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

// A service that answers every long poll at once with nothing new is asked about once a second,
// without a thread blocked in between, until it reports the id.
TEST_F(ApiTest, EncodingPollsAnsweredAtOnceArePacedAndAnIdNeverReportedEndsTheWait) {
  // A poll may still be answered after the test's last wait.
  const auto encoded = std::make_shared<std::atomic<bool>>(false);
  server.respond("/api/anonymous/longpollingstates", [encoded](const RecordedRequest&) {
    return TestReply{200, {}, *encoded ? R"({"value":["r1"]})" : R"({"value":[]})"};
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
  *encoded = true;
  ASSERT_TRUE(waitUntil([&] { return completions == 1; }));
  // An id that is never reported: the wait ends.
  *encoded = false;
  std::make_shared<Api>(state, ApiOptions{.encodingPollPeriod = std::chrono::milliseconds(10),
                                          .encodingWaitLimit = std::chrono::milliseconds(200)})
      ->WaitForEncodingToComplete({"r1"}, [&](std::optional<JSON>) { ++completions; });
  ASSERT_TRUE(waitUntil([&] { return completions == 2; }));
}

// An answer that reports progress is followed by the next poll at once (a pause of an hour would
// show); a poll without an answer in time ends the wait, without another try.
TEST_F(ApiTest, EncodingWaitPollsUntilEveryIdIsReported) {
  const auto eager = std::make_shared<Api>(
      state, ApiOptions{.requestTimeout = seconds(2), .encodingPollPeriod = std::chrono::hours(1)});
  const struct {
    const char* what;
    std::vector<TestReply> answers;  // one per poll, in order
    std::size_t polls;
  } cases[] = {
      {"all at once", {{200, {}, R"({"value":["r1","r2","7"]})"}}, 1},
      {"partial, numeric ids",
       {{200, {}, R"({"value":["r2"]})"},
        {200, {}, R"({"value":[7,"nope"]})"},
        {200, {}, R"({"value":["r1"]})"}},
       3},
      {"a transient error is retried", {{503}, {200, {}, R"({"value":["r1","r2","7"]})"}}, 2},
      {"an error body ends the wait", {{400, {}, R"({"message":"down"})"}}, 1},
      {"a dropped poll ends the wait", {{.body = "{}", .dropAfter = 0}}, 1},
      {"a silent poll ends the wait", {{.stall = true}}, 1},
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
    EXPECT_FALSE(Await<std::optional<JSON>>([&](auto d) {
      eager->WaitForEncodingToComplete({"r1", "r2", "7"}, d);
    }));
    EXPECT_EQ(server.requestCount() - before, c.polls);
  }
  // What each poll asked for: the ids still pending.
  const auto requests = server.requests();
  EXPECT_EQ(JSON::Parse(requests.at(1).body), JSON::Parse(R"({"value":["r1","r2","7"]})"));
  EXPECT_EQ(JSON::Parse(requests.at(2).body), JSON::Parse(R"({"value":["r1","7"]})"));
  EXPECT_EQ(JSON::Parse(requests.at(3).body), JSON::Parse(R"({"value":["r1"]})"));
}

TEST_F(ApiTest, PostingNeverWaitsForTheQueue) {
  server.reply("/queue", TestReply{.stall = true});
  const auto patient = std::make_shared<Api>(state);  // a minute's time-out
  auto posted = std::async(std::launch::async, [&] { patient->PostToQueue(JSON{{"n", 1}}); });
  EXPECT_TRUE(waitUntil([&] { return posted.wait_for(seconds(0)) == std::future_status::ready; }));
  EXPECT_TRUE(server.waitForRequests(1)) << "the stalled post did go out";
}

}  // namespace
}  // namespace vorelia::testing_api
