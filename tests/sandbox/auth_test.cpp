// The token grant and bearer authentication of the sandbox.
#include <gtest/gtest.h>

#include "sandbox_fixture.h"

namespace vorelia::sandbox::testing {
namespace {

constexpr char kForm[] = "application/x-www-form-urlencoded";

using SandboxAuth = SandboxTest;

TEST_F(SandboxAuth, GrantDecodesTheFormAsWritten) {
  seedUser("ann@example.test", " a&b=c+d e ü%41 ", {"ann-studio"});
  struct Case {
    std::string body;
    int status;
    std::string error;
  };
  const Case cases[] = {
      {"grant_type=password&username=ann%40example.test&password=+a%26b%3Dc%2Bd+e+%C3%BC%2541+",
       200, ""},
      {"password=%20a%26b%3Dc%2Bd%20e%20%C3%BC%2541%20&username=ANN%40example.test&grant_type="
       "password",
       200, ""},
      {"grant_type=password&username=ann%40example.test&password=+a&b=c+d+e+%C3%BC%41+", 400,
       "invalid_grant"},
      {"grant_type=password&username=nobody%40example.test&password=x", 400, "invalid_grant"},
      {"grant_type=password&username=ann%40example.test", 400, "invalid_request"},
      {"grant_type=client_credentials&username=ann%40example.test&password=x", 400,
       "unsupported_grant_type"},
      {"", 400, "unsupported_grant_type"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const auto result = send("POST", "/Token", c.body, {}, kForm);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    const auto body = json(result);
    if (c.status == 200) {
      EXPECT_EQ(body["token_type"], "bearer");
      EXPECT_EQ(body["expires_in"], 14 * 24 * 3600);
      ASSERT_TRUE(body["access_token"].is_string());
      EXPECT_EQ(json(get("/api/Account/RelatedAccounts", bearer(body["access_token"]))),
                nlohmann::json({"ann-studio"}));
    } else {
      EXPECT_EQ(body["error"], c.error);
      EXPECT_TRUE(body["error_description"].is_string());
    }
  }
}

TEST_F(SandboxAuth, TokenIsRefusedWith401FromTheEndOfItsLifetime) {
  ServerOptions options;
  options.tokenLifetime = std::chrono::seconds(100);
  start(options);
  seedUser("ann@example.test", "pw", {"ann-studio"});
  const auto granted = json(send(
      "POST", "/Token", "grant_type=password&username=ann%40example.test&password=pw", {}, kForm));
  EXPECT_EQ(granted["expires_in"], 100);
  const std::string token = granted["access_token"];

  advanceClock(std::chrono::seconds(99));
  EXPECT_EQ(get("/api/ann-studio/credits", bearer(token))->status, 200);
  advanceClock(std::chrono::seconds(1));
  const auto refused = get("/api/ann-studio/credits", bearer(token));
  EXPECT_EQ(refused->status, 401);
  EXPECT_EQ(json(refused)["hasError"], true);
  EXPECT_TRUE(json(refused)["message"].is_string());
}

TEST_F(SandboxAuth, ExpiredAndRevokedTokensAreRefusedOnlyForTheirUser) {
  seedUser("ann@example.test", "pw", {"ann-studio"});
  seedUser("bob@example.test", "pw", {"bob-studio"});
  const std::string ann = tokenFor("ann@example.test");
  const std::string bob = tokenFor("bob@example.test");
  EXPECT_EQ(adminOk("POST", "/admin/tokens/expire", {{"email", "ann@example.test"}})["count"], 1);
  EXPECT_EQ(get("/api/Account/RelatedAccounts", bearer(ann))->status, 401);
  EXPECT_EQ(get("/api/Account/RelatedAccounts", bearer(bob))->status, 200);

  adminOk("POST", "/admin/tokens/revoke");
  const auto refused = get("/api/Account/RelatedAccounts", bearer(bob));
  EXPECT_EQ(refused->status, 401);
  EXPECT_EQ(json(refused)["hasError"], true);
}

TEST_F(SandboxAuth, BearerSchemeIsReadInAnyCase) {
  seedUser("ann@example.test", "pw", {"ann-studio"});
  const std::string token = tokenFor("ann@example.test");
  struct Case {
    std::string header;
    int status;
  };
  const Case cases[] = {
      {"BEARER " + token, 200},       {"Bearer " + token, 200}, {"bearer  " + token, 200},
      {"Basic " + token, 401},        {"BEARER", 401},          {token, 401},
      {"BEARER " + token + "x", 401},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    const auto result = get("/api/Account/RelatedAccounts", {{"Authorization", c.header}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    if (c.status == 401) {
      EXPECT_EQ(json(result)["hasError"], true);
    }
  }
  EXPECT_EQ(get("/api/Account/RelatedAccounts")->status, 401);
}

TEST_F(SandboxAuth, AccountsAreListedInOrderAndGuardedFromOtherUsers) {
  seedUser("ann@example.test", "pw", {"zeta-studio", "alpha-studio"});
  seedUser("bob@example.test", "pw", {"bob-studio"});
  const std::string ann = tokenFor("ann@example.test");
  EXPECT_EQ(json(get("/api/Account/RelatedAccounts", bearer(ann))),
            nlohmann::json({"zeta-studio", "alpha-studio"}));
  const std::string paths[] = {"/api/bob-studio/credits", "/api/Account/bob-studio/State",
                               "/api/bob-studio/containers/", "/api/no-such/credits"};
  for (const std::string& path : paths) {
    SCOPED_TRACE(path);
    const auto refused = get(path, bearer(ann));
    EXPECT_EQ(refused->status, 401);
    EXPECT_EQ(json(refused)["hasError"], true);
  }
  EXPECT_EQ(get("/api/ZETA-studio/credits", bearer(ann))->status, 200);
}

}  // namespace
}  // namespace vorelia::sandbox::testing
