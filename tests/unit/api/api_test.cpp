#include "api/api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <thread>

#include "api/url_encoding.h"
#include "model/keys.h"
#include "platform/user_defaults.h"
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

// Starts an asynchronous call and waits (bounded) for its one completion.
template <typename Result, typename Start>
Result Await(Start&& start) {
  platform::DispatchSemaphore done(0);
  Result result{};
  start([&](Result value) {
    result = std::move(value);
    done.signal();
  });
  EXPECT_TRUE(done.waitFor(seconds(20))) << "no completion";
  return result;
}

class ApiTest : public ::testing::Test {
 protected:
  ApiTest() {
    server.reply("/*", TestReply{200, {}, R"({"ok":true})"});
    state->account.set("studio");
    state->userName.set("ann@example.com");
    state->password.set("pw");
    state->setAuthentication("BEARER cached", std::chrono::system_clock::now());
  }

  testing::TempHome home;
  HttpTestServer server;
  std::shared_ptr<PluginState> state = std::make_shared<PluginState>(
      Deployment{server.url("/"), server.url("/lib/"), server.url("/queue"), server.url("")});
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(2), seconds(0)});
};

class UploadPipeline : public ApiTest {
 protected:
  UploadPipeline() { std::ofstream(file, std::ios::binary) << "jpeg bytes \x01\x02\x03"; }

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

  std::filesystem::path file = home.path() / "a.jpg";
  const JSON payload{{"name", "My photo.jpg"}, {"Tags", true}};
};

TEST_F(ApiTest, EveryOperationSendsExactlyItsRequest) {
  using Done = std::function<void()>;
  const JSON share{{"containers", std::vector<JSON>{JSON{{"id", "c1"}}}}, {"isDownloadEnabled", 1}};
  const JSON order{{"value", std::vector<JSON>{JSON{{"id", "r1"}, {"order", 0}}}}};
  const struct {
    std::function<void(Done)> call;
    const char* method;
    const char* path;
    const char* query;
    const char* contentType;  // nullptr: none at all
    const char* body;
  } cases[] = {
      {[&](Done d) { api->GetRelatedAccounts([d](auto) { d(); }); }, "GET",
       "/api/Account/RelatedAccounts", "", nullptr, ""},
      {[&](Done d) { api->GetAccountState([d](auto) { d(); }); }, "GET",
       "/api/Account/studio/State", "", nullptr, ""},
      {[&](Done d) { api->GetComputerVisionCredits([d](auto) { d(); }); }, "GET",
       "/api/studio/credits", "", nullptr, ""},
      {[&](Done d) { api->GetContainers(false, [d](auto) { d(); }); }, "GET",
       "/api/studio/containers/", "", nullptr, ""},
      {[&](Done d) { api->GetContainers(true, [d](auto) { d(); }); }, "GET",
       "/api/studio/containers/", "$expand", nullptr, ""},
      {[&](Done d) {
         api->CreateContainerIfNotExists(JSON{{"name", "Anna & Bob's"}}, [d](auto) { d(); });
       },
       "PUT", "/api/studio/containers/Anna   Bob s", "", nullptr, R"({"name":"Anna & Bob's"})"},
      {[&](Done d) { api->ReorderContainer("c1", order, [d](auto) { d(); }); }, "POST",
       "/api/studio/containers/c1/$synchronize", "", "application/json",
       R"({"value":[{"id":"r1","order":0}]})"},
      {[&](Done d) { api->GetShareUrl(share, [d](auto) { d(); }); }, "POST", "/api/studio/shares",
       "", nullptr, R"({"containers":[{"id":"c1"}],"isDownloadEnabled":1})"},
      {[&](Done d) { api->CreateVision([d](auto) { d(); }); }, "PUT", "/api/studio/visions", "",
       nullptr, ""},
      // The item id never enters the request.
      {[&](Done d) { api->Analisys("v1", "My___photo.jpg", share, [d](auto) { d(); }); }, "POST",
       "/api/studio/visions/v1/analyse/", "", nullptr,
       R"({"containers":[{"id":"c1"}],"isDownloadEnabled":1})"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    const auto before = server.requestCount();
    platform::DispatchSemaphore done(0);
    c.call([&] { done.signal(); });
    ASSERT_TRUE(done.waitFor(seconds(10)));
    const auto all = server.requests();
    ASSERT_EQ(all.size(), before + 1);
    const auto& r = all.back();
    EXPECT_EQ(r.method, c.method);
    EXPECT_EQ(r.path, c.path);
    EXPECT_EQ(r.query, c.query);
    EXPECT_EQ(r.header("Authorization"), "BEARER cached");
    EXPECT_EQ(r.header("Content-Type"),
              c.contentType ? std::optional<std::string>(c.contentType) : std::nullopt);
    EXPECT_EQ(r.body, c.body);
  }
}

// Requests safe to send twice are sent again after a transient failure (four attempts in all,
// the back-off shortened for the tests); the others are sent once.
TEST_F(UploadPipeline, OnlyRequestsSafeToRepeatAreRetried) {
  using Done = std::function<void()>;
  server.reply("/*", TestReply{503, {}, R"({"hasError":true})"});
  state->createAccount.set("new-studio");
  state->createUserName.set("bob@example.com");
  state->createPassword.set("pw");
  const UploadInfo upload = info("r1");
  const std::string store = storage();
  const struct {
    const char* what;
    std::function<void(Done)> call;
    std::size_t attempts;
  } cases[] = {
      {"album list", [&](Done d) { api->GetContainers(true, [d](auto) { d(); }); }, 4},
      {"reorder", [&](Done d) { api->ReorderContainer("c1", JSON{}, [d](auto) { d(); }); }, 4},
      {"encoding", [&](Done d) { api->TriggerEncoding(upload, [d](auto) { d(); }); }, 4},
      {"long poll", [&](Done d) { api->WaitForEncodingToComplete({"r1"}, [d](auto) { d(); }); }, 4},
      {"Put Blob", [&](Done d) { api->UploadFile(store, upload, [d](auto, bool) { d(); }); }, 4},
      {"vision Put Blob",
       [&](Done d) {
         api->VisionUploadFile(store, upload.FilePath, "v1", "a.jpg", "?s", {}, [d](auto) { d(); });
       },
       4},
      {"update check", [&](Done d) { api->CheckForUpdates([d](auto, auto) { d(); }); }, 4},
      {"token grant", [&](Done d) { api->GetAccessToken([d](auto) { d(); }); }, 1},
      {"account creation",
       [&](Done d) {
         api->CreateAccount();
         d();
       },
       1},
      {"reservation", [&](Done d) { api->InitUploadResource("c1", {}, [d](auto) { d(); }); }, 1},
      {"album creation",
       [&](Done d) {
         api->CreateContainerIfNotExists(JSON{{"name", "A"}}, [d](auto) { d(); });
       },
       1},
      {"share", [&](Done d) { api->GetShareUrl(JSON{}, [d](auto) { d(); }); }, 1},
      {"vision", [&](Done d) { api->CreateVision([d](auto) { d(); }); }, 1},
      {"analysis", [&](Done d) { api->Analisys("v1", "a.jpg", JSON{}, [d](auto) { d(); }); }, 1},
  };
  for (const auto& c : cases) {
    const auto before = server.requestCount();
    platform::DispatchSemaphore done(0);
    c.call([&] { done.signal(); });
    ASSERT_TRUE(done.waitFor(seconds(10))) << c.what;
    EXPECT_EQ(server.requestCount() - before, c.attempts) << c.what;
  }
}

TEST_F(ApiTest, TokenGrantSendsTheCredentialsFormEncoded) {
  state->userName.set("ann+1@example.com");
  state->password.set("p&ss=w+rd é");
  server.reply("/Token", TestReply{200, {}, R"({"access_token":"tok-1","token_type":"bearer"})"});
  EXPECT_EQ(Await<std::optional<std::string>>([&](auto d) { api->GetAccessToken(d); }), "tok-1");
  const auto grant = server.requests("/Token").at(0);
  EXPECT_EQ(grant.method, "POST");
  EXPECT_EQ(grant.body,
            "grant_type=password&username=ann%2B1%40example.com&password=p%26ss%3Dw%2Brd+%C3%A9");
  EXPECT_EQ(grant.header("Content-Type"), "application/x-www-form-urlencoded");
  EXPECT_EQ(grant.header("Accept"), "application/json");
  EXPECT_FALSE(grant.header("Authorization").has_value());

  // No token: an answer without one tells refused credentials from a service out of reach.
  const std::pair<TestReply, bool> refusals[] = {
      {TestReply{400, {}, R"({"access_token":5})"}, true},
      {TestReply{400, {}, R"({"error":"invalid_grant"})"}, true},
      {TestReply{502, {}, "<html>"}, true},
      {TestReply{.body = R"({"access_token":"cut"})", .dropAfter = 3}, false},
  };
  for (const auto& [reply, answered] : refusals) {
    server.reply("/Token", reply);
    const auto grant = Await<Api::TokenGrant>([&](auto d) { api->RequestAccessToken(d); });
    EXPECT_FALSE(grant.token) << reply.body;
    EXPECT_EQ(grant.answered, answered) << reply.body;
    EXPECT_FALSE(Await<std::optional<std::string>>([&](auto d) { api->GetAccessToken(d); }));
  }
}

TEST_F(ApiTest, AnExpiredHeaderIsRenewedAndKeptBeforeTheRequest) {
  state->setAuthentication("BEARER cached", std::chrono::system_clock::now() - seconds(864000));
  // A failed grant changes nothing: the old header goes out and the next request asks again.
  server.reply("/Token", TestReply{400, {}, R"({"error":"invalid_grant"})"});
  Await<std::optional<JSON>>([&](auto d) { api->GetAccountState(d); });
  EXPECT_EQ(server.requests().back().header("Authorization"), "BEARER cached");
  EXPECT_FALSE(state->IsAuthenticated());
  server.reply("/Token", TestReply{200, {}, R"({"access_token":"fresh"})"});
  Await<std::optional<JSON>>([&](auto d) { api->GetAccountState(d); });
  ASSERT_EQ(server.requests("/Token").size(), 2u);
  EXPECT_EQ(server.requests().back().header("Authorization"), "BEARER fresh");
  const auto defaults = platform::UserDefaults::standard();
  EXPECT_EQ(defaults->string(std::string(P::AuthenticationHeader)), "BEARER fresh");
  EXPECT_EQ(defaults->date(std::string(P::AuthenticationHeaderLastRefresh)),
            state->authenticationHeaderLastRefresh());
  EXPECT_TRUE(state->IsAuthenticated());
}

TEST_F(ApiTest, AnswersOfAnyStatusAreHandedOver) {
  for (const auto& [status, body, message] :
       {std::tuple{500, R"({"hasError":true,"message":"down"})", "down"},
        std::tuple{502, "Bad gateway", ""}}) {
    server.reply("/api/studio/credits", TestReply{status, {}, body});
    auto answer = Await<std::optional<JSON>>([&](auto d) { api->GetComputerVisionCredits(d); });
    ASSERT_TRUE(answer.has_value()) << status;
    EXPECT_EQ((*answer)["message"].stringValue(), message);
  }
}

TEST_F(ApiTest, TransportFailuresCompleteOnceWithoutAnAnswer) {
  std::atomic<int> completions{0};
  const auto count = [&](std::optional<JSON> answer) {
    EXPECT_FALSE(answer.has_value());
    ++completions;
  };
  server.reply("/api/studio/credits", TestReply{.body = R"({"value":[]})", .dropAfter = 0});
  api->GetComputerVisionCredits(count);
  server.reply("/api/studio/visions", TestReply{.stall = true});
  api->CreateVision(count);  // the 2-second time-out ends it
  ASSERT_TRUE(waitUntil([&] { return completions == 2; }, seconds(20)));

  // Nothing to send at all without an account.
  state->account.set(std::nullopt);
  const auto before = server.requestCount();
  api->GetContainers(true, count);
  ASSERT_TRUE(waitUntil([&] { return completions == 3; }, seconds(20)));
  EXPECT_EQ(server.requestCount(), before);

  // Late second completions would show up while a further request runs.
  state->account.set("studio");
  Await<std::optional<JSON>>([&](auto d) { api->GetShareUrl(JSON{{"x", 1}}, d); });
  EXPECT_EQ(completions, 3);
}

TEST_F(ApiTest, RelatedAccountsFromAnyAnswerShape) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {R"(["studio",7,null])", {"studio", "7", ""}}, {R"({"a":"one"})", {"one"}}, {"7", {}}};
  for (const auto& [body, expected] : cases) {
    server.reply("/api/Account/RelatedAccounts", TestReply{200, {}, body});
    EXPECT_EQ(Await<std::vector<std::string>>([&](auto d) { api->GetRelatedAccounts(d); }),
              expected)
        << body;
  }
}

TEST_F(ApiTest, AccountNameCheckAndCreation) {
  state->createAccount.set("new-studio");
  state->createUserName.set("bob@example.com");
  state->createPassword.set("pw & more");
  const std::pair<const char*, bool> checks[] = {
      {R"({"isValide":true})", true}, {R"({"isValid":true})", false}, {"nope", false}};
  for (const auto& [body, valid] : checks) {
    server.reply("/api/accounts/new-studio/isvalid", TestReply{200, {}, body});
    EXPECT_EQ(api->IsAccountValid(), valid) << body;
  }
  // An answer cut short is no yes.
  server.reply("/api/accounts/new-studio/isvalid",
               TestReply{.body = R"({"isValide":true})", .dropAfter = 5});
  EXPECT_FALSE(api->IsAccountValid());
  EXPECT_FALSE(server.requests("/api/accounts/new-studio/isvalid").back().header("Authorization"));

  const std::pair<int, bool> creations[] = {{204, true}, {201, false}, {409, false}};
  for (const auto& [status, created] : creations) {
    server.reply("/api/accounts/new-studio", TestReply{status, {}, ""});
    EXPECT_EQ(api->CreateAccount(), created) << status;
  }
  const auto put = server.requests("/api/accounts/new-studio").back();
  EXPECT_EQ(put.method, "PUT");
  EXPECT_EQ(JSON::Parse(put.body),
            (JSON{{"username", "bob@example.com"}, {"password", "pw & more"}}));
  EXPECT_FALSE(put.header("Authorization") || put.header("Content-Type"));

  state->createPassword.set(std::nullopt);
  const auto before = server.requestCount();
  EXPECT_FALSE(api->CreateAccount());
  EXPECT_EQ(server.requestCount(), before);
}

TEST_F(ApiTest, OneAlbumRefreshAtATime) {
  server.reply(
      "/api/studio/containers/",
      TestReply{
          200, {}, R"({"value":[{"id":"c1","name":"One"}]})", 0, std::chrono::milliseconds(300)});
  api->RefreshContainers();
  api->RefreshContainers();
  ASSERT_TRUE(waitUntil([&] { return state->containers.get().size() == 1; }));
  ASSERT_TRUE(waitUntil([&] { return !state->isRefreshingContainers; }));
  EXPECT_EQ(server.requests("/api/studio/containers/").size(), 1u);

  server.reply("/api/studio/containers/", TestReply{.body = R"({"value":[]})", .dropAfter = 0});
  api->RefreshContainers();
  ASSERT_TRUE(waitUntil([&] { return server.requests("/api/studio/containers/").size() == 2; }));
  ASSERT_TRUE(waitUntil([&] { return !state->isRefreshingContainers; }));
  EXPECT_EQ(state->containers.get().size(), 1u);  // a failed refresh keeps the list

  server.reply("/api/studio/containers/", TestReply{401, {}, R"({"hasError":true})"});
  api->RefreshContainers();
  ASSERT_TRUE(waitUntil([&] { return state->containers.get().empty(); }));
  ASSERT_TRUE(waitUntil([&] { return !state->isRefreshingContainers; }));

  // Another account chosen while a list is on its way (its own refresh dropped): the late list is
  // not kept, the chosen account's is fetched.
  server.reply("/api/studio/containers/",
               TestReply{200, {}, R"({"value":[{"id":"s"}]})", 0, std::chrono::milliseconds(300)});
  server.reply("/api/family/containers/", TestReply{200, {}, R"({"value":[{"id":"f"}]})"});
  api->RefreshContainers();
  ASSERT_TRUE(waitUntil([&] { return server.requests("/api/studio/containers/").size() == 4; }));
  state->account.set("family");
  api->RefreshContainers();
  ASSERT_TRUE(waitUntil([&] { return !server.requests("/api/family/containers/").empty(); }));
  ASSERT_TRUE(waitUntil([&] { return !state->isRefreshingContainers; }));
  ASSERT_EQ(state->containers.get().size(), 1u);
  EXPECT_EQ(state->containers.get()[0]["id"].stringValue(), "f");
}

TEST_F(ApiTest, TokenRefreshFromInsideACompletionDoesNotDeadlock) {
  server.reply("/Token", TestReply{200, {}, R"({"access_token":"fresh"})"});
  state->setAuthentication(std::nullopt, std::nullopt);
  auto accounts = Await<std::vector<std::string>>([&](auto outer) {
    api->GetAccountState([this, outer](std::optional<JSON>) {
      // Inside a completion, with the header just fetched, a nested request is made and awaited.
      state->setAuthentication(std::nullopt, std::nullopt);
      platform::DispatchSemaphore nested(0);
      std::vector<std::string> result;
      api->GetRelatedAccounts([&](std::vector<std::string> a) {
        result = std::move(a);
        nested.signal();
      });
      nested.wait();
      outer(result);
    });
  });
  EXPECT_EQ(accounts, std::vector<std::string>{"true"});  // the member value of {"ok":true}
  EXPECT_EQ(server.requests("/Token").size(), 2u);
}

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
  // An id that is never reported: the wait ends at its limit.
  *encoded = false;
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

// The override only ever shortens, and anything but a whole number from 1 keeps the defaults.
TEST(ApiOptionsTest, TimeoutOverrideShortensBothTimeouts) {
  using std::chrono::milliseconds;
  const struct {
    const char* text;
    milliseconds request, upload;
  } cases[] = {
      {nullptr, seconds(60), seconds(180)},
      {"", seconds(60), seconds(180)},
      {"1500", milliseconds(1500), milliseconds(1500)},
      {"120000", seconds(60), seconds(120)},
      {"0", seconds(60), seconds(180)},
      {"-5", seconds(60), seconds(180)},
      {"15s", seconds(60), seconds(180)},
      {"99999999999999999999", seconds(60), seconds(180)},
  };
  for (const auto& c : cases) {
    const ApiOptions options = ApiOptions::WithTimeoutOverride(c.text);
    EXPECT_EQ(options.requestTimeout, c.request) << (c.text ? c.text : "(unset)");
    EXPECT_EQ(options.uploadIdleTimeout, c.upload) << (c.text ? c.text : "(unset)");
  }
}

TEST(UrlEncoding, FormValuesKeepEveryCharacterOfAPassword) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},   {"a&b=c+d e", "a%26b%3Dc%2Bd+e"}, {"100%", "100%25"},
      {"*-._~", "*-._%7E"}, {"Grüße", "Gr%C3%BC%C3%9Fe"},     {"", ""},
  };
  for (const auto& [text, encoded] : cases) EXPECT_EQ(FormEncode(text), encoded) << text;
}

TEST(UrlEncoding, AlbumPathSegments) {
  const std::pair<std::string, std::string> cases[] = {
      {"Summer2026", "Summer2026"},
      {"Anna & Bob's", "Anna%20%20%20Bob%20s"},
      {"a/b?c#d", "a%2Fb%3Fc%23d"},
      {"Été", "%C3%89t%C3%A9"},
      {"(x)!$*+,-.:;=[]_~", "(x)!$*+,-.:;=[]_~"},
      {"100%", "100%25"},
  };
  for (const auto& [name, segment] : cases) EXPECT_EQ(AlbumPathSegment(name), segment) << name;
}

}  // namespace
}  // namespace vorelia
