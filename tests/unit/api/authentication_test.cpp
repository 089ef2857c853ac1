// The token grant, the cached header and the renewal of a login the service refused.
#include <gtest/gtest.h>

#include "api_fixture.h"
#include "model/keys.h"
#include "platform/user_defaults.h"

namespace vorelia::testing_api {
namespace {

// A refused login that no grant renews: refused credentials (or none stored) are forgotten, so
// the page asks for them; a grant without an answer keeps them. The caller gets the 401 either way.
TEST_F(ApiTest, ARefusedLoginThatCannotBeRenewedIsForgottenOrKept) {
  using Renewal = PluginState::LoginRenewal;
  server.reply("/api/studio/credits", TestReply{401, {}, R"({"message":"expired"})"});
  const struct {
    TestReply grant;
    bool stored;
    Renewal renewal;
  } cases[] = {
      {TestReply{400, {}, R"({"error":"invalid_grant"})"}, true, Renewal::expired},
      {TestReply{200, {}, R"({"access_token":"t"})"}, false, Renewal::expired},
      {TestReply{502, {}, "<html>"}, true, Renewal::serverError},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.grant.body);
    server.reply("/Token", c.grant);
    state->setAuthentication("BEARER cached", std::chrono::system_clock::now());
    state->password.set(c.stored ? OptionalString("pw") : std::nullopt);
    state->loginRenewal = Renewal::none;
    const auto tokens = server.requests("/Token").size();
    const auto answer =
        Await<std::optional<JSON>>([&](auto d) { api->GetComputerVisionCredits(d); });
    EXPECT_EQ(answer ? (*answer)["message"].stringValue() : "", "expired");
    EXPECT_EQ(server.requests("/Token").size(), tokens + (c.stored ? 1 : 0));
    EXPECT_EQ(state->loginRenewal, c.renewal);
    const bool kept = c.renewal == Renewal::serverError;
    EXPECT_EQ(state->IsAuthenticated(), kept);
    EXPECT_EQ(state->password.get().has_value(), kept);
  }
  EXPECT_EQ(server.requests("/api/studio/credits").size(), 3u);
}

TEST_F(ApiTest, TokenGrantTellsRefusedCredentialsFromServerFaults) {
  server.reply("/Token", TestReply{200, {}, R"({"access_token":"tok-1","token_type":"bearer"})"});
  EXPECT_EQ(Await<std::optional<std::string>>([&](auto d) { api->GetAccessToken(d); }), "tok-1");
  EXPECT_EQ(server.requests("/Token").at(0).header("Accept"), "application/json");

  // No token: refused credentials (a 4xx, or the service's JSON) or a server's fault (no
  // answer, a 5xx, somebody else's page). A redirect is no answer: the form with the password
  // never goes where it points.
  HttpTestServer elsewhere;
  elsewhere.reply("/Token", TestReply{200, {}, R"({"access_token":"stolen"})"});
  const std::pair<TestReply, bool> refusals[] = {
      {TestReply{307, {{"Location", elsewhere.url("/Token")}}, ""}, true},
      {TestReply{308, {{"Location", elsewhere.url("/Token")}}, ""}, true},
      {TestReply{.generatedBodySize = 2 << 20}, true},  // past the 1 MiB a token answer may be
      {TestReply{400, {}, R"({"access_token":5})"}, false},
      {TestReply{400, {}, R"({"error":"invalid_grant"})"}, false},
      {TestReply{401, {}, "<html>"}, false},
      {TestReply{200, {}, R"({"error":"invalid_grant"})"}, false},
      {TestReply{502, {}, "<html>"}, true},
      {TestReply{500, {}, R"({"error":"down"})"}, true},
      {TestReply{200, {}, "<html>"}, true},
      {TestReply{.body = R"({"access_token":"cut"})", .dropAfter = 3}, true},
  };
  for (const auto& [reply, serverFault] : refusals) {
    server.reply("/Token", reply);
    const auto grant = Await<Api::TokenGrant>([&](auto d) { api->RequestAccessToken(d); });
    EXPECT_FALSE(grant.token) << reply.body;
    EXPECT_EQ(grant.serverFault, serverFault) << reply.status << " " << reply.body;
    EXPECT_FALSE(Await<std::optional<std::string>>([&](auto d) { api->GetAccessToken(d); }));
  }
  EXPECT_EQ(elsewhere.requestCount(), 0u);
}

TEST_F(ApiTest, AnExpiredHeaderIsRenewedAndKeptBeforeTheRequestEvenFromInsideACompletion) {
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
  // A refresh from inside a completion does not deadlock.
  server.reply("/Token", TestReply{200, {}, R"({"access_token":"fresh"})"});
  state->setAuthentication(std::nullopt, std::nullopt);
  auto accounts = Await<std::vector<std::string>>([&](auto outer) {
    api->GetAccountState([this, outer](std::optional<JSON>) {
      // Inside a completion, with the header just fetched, a nested request is made and awaited.
      state->setAuthentication(std::nullopt, std::nullopt);
      outer(Await<std::vector<std::string>>([&](auto d) { api->GetRelatedAccounts(d); }));
    });
  });
  EXPECT_EQ(accounts, std::vector<std::string>{"true"});  // the member value of {"ok":true}
  EXPECT_EQ(server.requests("/Token").size(), 4u);        // two grants more
}

}  // namespace
}  // namespace vorelia::testing_api
