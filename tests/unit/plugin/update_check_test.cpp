#include "plugin/update_check.h"

#include <gtest/gtest.h>

#include "plugin/vorelia_c1_plugin.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia {
namespace {

using testing::HttpTestServer;
using testing::TestReply;

TEST(UpdateCheck, VersionsOrderAsPlainText) {
  const struct {
    std::string current;
    std::optional<std::string> published;
    bool download;
  } cases[] = {
      {"0.1.5-beta", "0.1.6", true},
      {"0.1.5-beta", "0.1.5", false},  // a prefix orders first
      {"0.1.5-beta", "0.1.5-beta", false},
      {"0.1.5-beta", "", false},
      {"0.1.5-beta", std::nullopt, false},
      {"0.1.9", "0.1.10", false},  // '1' < '9': text order, not version order
      {"0.1.10", "0.1.9", true},
      {"0.1.5", "0.1.5-\xC3\xA9", true},
      {"0.1.5-\xC3\xA9", "0.1.5-z", false},  // by scalar value: U+00E9 after 'z'
  };
  for (const auto& c : cases) {
    EXPECT_EQ(IsNewerVersion(c.current, c.published), c.download)
        << c.current << " -> " << c.published.value_or("(absent)");
  }
}

class ConstructionUpdateCheck : public ::testing::Test {
 protected:
  testing::TempHome home;
  HttpTestServer server;
  testing::ScopedEnvironment updates{"VORELIA_UPDATE_URL", server.url("/updates/")};
};

TEST_F(ConstructionUpdateCheck, AStalledDocumentHoldsNothingUp) {
  server.reply("/updates/details.json", TestReply{.stall = true});
  VoreliaC1Plugin plugin("0.1.9");
  EXPECT_EQ(plugin.state->currentVersion, "0.1.9");
  ASSERT_TRUE(server.waitForRequests(1));
  EXPECT_FALSE(plugin.state->updateVersion.get().has_value());
}

TEST_F(ConstructionUpdateCheck, ACheckWithoutAnAnswerKeepsThePreviousVersion) {
  server.reply("/updates/details.json", TestReply{.body = R"({"version":"9"})", .dropAfter = 0});
  auto state = std::make_shared<PluginState>(Deployment::FromEnvironment(), "0.1.0");
  state->updateVersion.set("0.0.9");
  auto api = std::make_shared<Api>(state);
  StartUpdateCheck(*api);
  // The check's completion holds the Api until it has run.
  ASSERT_TRUE(testing::waitUntil([&] { return api.use_count() == 1; }));
  EXPECT_EQ(state->updateVersion.get(), "0.0.9");
}

TEST_F(ConstructionUpdateCheck, OnlyAStringNamesAVersion) {
  // A number's text would order after the running version and start a download.
  for (const char* document : {R"({"name": "x"})", R"({"version": 9})", R"({"version": true})",
                               R"({"version": {"v": "9"}})", R"({"version": ["9"]})"}) {
    server.reply("/updates/details.json", TestReply{200, {}, document});
    VoreliaC1Plugin plugin;
    ASSERT_TRUE(testing::waitUntil([&] { return plugin.state->updateVersion.get().has_value(); }))
        << document;
    EXPECT_EQ(plugin.state->updateVersion.get(), "") << document;
  }
}

}  // namespace
}  // namespace vorelia
