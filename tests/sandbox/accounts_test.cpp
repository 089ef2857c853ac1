// Account-name checks, account creation, account state and credits.
#include <gtest/gtest.h>

#include "sandbox_fixture.h"

namespace vorelia::sandbox::testing {
namespace {

using SandboxAccounts = SandboxTest;

TEST_F(SandboxAccounts, IsValidReportsFreeWellFormedNames) {
  seedUser("ann@example.test", "pw", {"taken-name"});
  struct Case {
    std::string segment;
    bool valid;
  };
  const Case cases[] = {
      {"New_Name_2", true},
      {"ab", true},
      {std::string(100, 'a'), true},
      {std::string(101, 'a'), false},
      {"a", false},
      {"bad%20name", false},
      {"bad.name", false},
      {"b%C3%A9b%C3%A9", false},
      {"taken-name", false},
      {"TAKEN-NAME", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.segment);
    const auto result = get("/api/accounts/" + c.segment + "/isvalid");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(json(result), nlohmann::json({{"isValide", c.valid}}));
  }
}

TEST_F(SandboxAccounts, CreationRefusesTakenNamesAndBadRequests) {
  seedUser("ann@example.test", "pw", {"taken-name"});
  struct Case {
    std::string segment;
    std::string body;
    int status;
  };
  const Case cases[] = {
      {"Taken-Name", R"({"username":"x@example.test","password":"pw"})", 409},
      {"free-name", R"({"username":"ann@example.test","password":"other"})", 403},
      {"free-name", "not json", 400},
      {"free-name", R"({"username":"x@example.test"})", 400},
      {"free-name", R"({"username":"","password":"pw"})", 400},
      {"x", R"({"username":"x@example.test","password":"pw"})", 400},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.segment + " " + c.body);
    const auto result = send("PUT", "/api/accounts/" + c.segment, c.body);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    EXPECT_EQ(json(result)["hasError"], true);
  }
  EXPECT_EQ(json(get("/api/accounts/free-name/isvalid"))["isValide"], true);
}

TEST_F(SandboxAccounts, CreditsAndStateDescribeTheAccount) {
  seedUser("ann@example.test", "pw", {"ann-studio"});
  adminOk("POST", "/admin/credits",
          {{"account", "ann-studio"}, {"credits", 12}, {"creditsUsed", 88}, {"extraCredits", 2}});
  const std::string token = tokenFor("ann@example.test");
  EXPECT_EQ(
      json(get("/api/ann-studio/credits", bearer(token))),
      nlohmann::json(
          {{"credits", 12}, {"creditsUsed", 88}, {"creditsLimit", 100}, {"extraCredits", 2}}));
  const auto state = get("/api/Account/ann-studio/State", bearer(token));
  EXPECT_EQ(state->status, 200);
  EXPECT_EQ(json(state)["name"], "ann-studio");
}

}  // namespace
}  // namespace vorelia::sandbox::testing
