#include "api/api.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>

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
  std::shared_ptr<Api> api = std::make_shared<Api>(state, ApiOptions{seconds(2)});
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
TEST_F(ApiTest, OnlyRequestsSafeToRepeatAreRetried) {
  using Done = std::function<void()>;
  server.reply("/*", TestReply{503, {}, R"({"hasError":true})"});
  state->createAccount.set("new-studio");
  state->createUserName.set("bob@example.com");
  state->createPassword.set("pw");
  UploadInfo upload;
  upload.FilePath = (home.path() / "a.jpg").string();
  std::ofstream(upload.FilePath) << "jpeg";
  upload.ItemName = "a.jpg";
  upload.UploadResource = JSON{{"id", "r1"}, {"sas", "?sig=s"}};
  const std::string store = server.url("/store/");
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

}  // namespace
}  // namespace vorelia
