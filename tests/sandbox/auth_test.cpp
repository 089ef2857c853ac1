// What the plugin never sends: malformed grants and account requests, other schemes, other users'
// accounts, and tokens past their lifetime or revoked.
#include <gtest/gtest.h>

#include "sandbox_fixture.h"

namespace vorelia::sandbox::testing {
namespace {

using SandboxAuth = SandboxTest;

TEST_F(SandboxAuth, MalformedRequestsAreRefused) {
  seedUser("ann@example.test", "pw", {"ann-studio"});
  const std::string form = "application/x-www-form-urlencoded";
  const struct {
    std::string method, path, body, type;
    int status;
    const char* member;  // the member that explains the refusal
  } cases[] = {
      {"POST", "/Token", "grant_type=password&username=ann%40example.test&password=p&w", form, 400,
       "error"},
      {"POST", "/Token", "grant_type=password&username=ann%40example.test", form, 400, "error"},
      {"POST", "/Token", "grant_type=client_credentials&username=a&password=b", form, 400, "error"},
      {"PUT", "/api/accounts/Ann-Studio", R"({"username":"x@example.test","password":"pw"})",
       "application/json", 409, "hasError"},
      {"PUT", "/api/accounts/free-name", R"({"username":"ann@example.test","password":"x"})",
       "application/json", 403, "hasError"},
      {"PUT", "/api/accounts/free-name", "not json", "application/json", 400, "hasError"},
      {"PUT", "/api/accounts/free-name", R"({"username":"x@example.test"})", "application/json",
       400, "hasError"},
      {"PUT", "/api/accounts/x", R"({"username":"x@example.test","password":"pw"})",
       "application/json", 400, "hasError"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.body);
    const auto result = send(c.method, c.path, c.body, {}, c.type);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    EXPECT_TRUE(json(result).contains(c.member)) << result->body;
  }
  for (const char* name : {"ANN-STUDIO", "a", "bad.name", "free-name"}) {
    EXPECT_EQ(json(get("/api/accounts/" + std::string(name) + "/isvalid"))["isValide"],
              std::string_view(name) == "free-name")
        << name;
  }
}

TEST_F(SandboxAuth, OnlyALiveBearerTokenOfTheAccountsUserPasses) {
  ServerOptions options;
  options.tokenLifetime = std::chrono::seconds(100);
  start(options);
  seedUser("ann@example.test", "pw", {"ann-studio"});
  seedUser("bob@example.test", "pw", {"bob-studio"});
  const std::string ann = tokenFor("ann@example.test");
  const std::string bob = tokenFor("bob@example.test");
  const struct {
    std::string path, authorization;
    int status;
  } cases[] = {
      {"/api/ann-studio/credits", "bearer  " + ann, 200},
      {"/api/ANN-studio/credits", "Bearer " + ann, 200},
      {"/api/ann-studio/credits", "Basic " + ann, 401},
      {"/api/ann-studio/credits", "BEARER", 401},
      {"/api/ann-studio/credits", ann, 401},
      {"/api/ann-studio/credits", "BEARER " + ann + "x", 401},
      {"/api/ann-studio/credits", "", 401},
      {"/api/bob-studio/credits", "BEARER " + ann, 401},
      {"/api/Account/bob-studio/State", "BEARER " + ann, 401},
      {"/api/bob-studio/containers/", "BEARER " + ann, 401},
      {"/api/no-such/credits", "BEARER " + ann, 401},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.authorization);
    const auto result =
        get(c.path, c.authorization.empty() ? httplib::Headers{}
                                            : httplib::Headers{{"Authorization", c.authorization}});
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    EXPECT_EQ(json(result).value("hasError", false), c.status == 401);
  }
  // Expiry and revocation: by the clock, for one user, for everyone.
  advanceClock(std::chrono::seconds(99));
  EXPECT_EQ(get("/api/ann-studio/credits", bearer(ann))->status, 200);
  EXPECT_EQ(adminOk("POST", "/admin/tokens/expire", {{"email", "ann@example.test"}})["count"], 1);
  EXPECT_EQ(get("/api/ann-studio/credits", bearer(ann))->status, 401);
  EXPECT_EQ(get("/api/bob-studio/credits", bearer(bob))->status, 200);
  const std::string late = tokenFor("ann@example.test");
  advanceClock(std::chrono::seconds(1));
  EXPECT_EQ(get("/api/bob-studio/credits", bearer(bob))->status, 401);
  EXPECT_EQ(get("/api/ann-studio/credits", bearer(late))->status, 200);
  adminOk("POST", "/admin/tokens/revoke");
  EXPECT_EQ(get("/api/ann-studio/credits", bearer(late))->status, 401);
}

}  // namespace
}  // namespace vorelia::sandbox::testing
