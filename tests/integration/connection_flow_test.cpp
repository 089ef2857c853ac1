// The connection page against the sandbox: an event that arrives while a login is handled.
#include <gtest/gtest.h>

#include "plugin/vorelia_c1_plugin.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"

namespace vorelia {
namespace {

TEST(ConnectionFlow, LoginDropsAnEventDuringIt) {
  testing::TempHome home;
  testing::SandboxProcess sandbox;
  testing::ScopedEnvironment api{"VORELIA_API_URL", sandbox.baseUrl()};
  sandbox.seedUser("ann@example.test", "p&ss w=rd+é", {"ann-studio"});
  auto plugin = std::make_unique<VoreliaC1Plugin>();
  const COSettingsCallback ignore = [](COSettingsCallbackAction, const std::optional<COValue>&) {};
  plugin->didUpdateValue(std::string(" Ann@Example.test "), "userName-input", ignore, nullptr);
  plugin->didUpdateValue(std::string("p&ss w=rd+é"), "password-input", ignore, nullptr);
  // The host delivers a logout from inside the login's callback, while the login is still handled.
  int reloads = 0, nestedCalls = 0;
  bool nestedResult = false;
  const COSettingsCallback reentering = [&](COSettingsCallbackAction,
                                            const std::optional<COValue>&) {
    ++reloads;
    nestedResult = plugin->handle(
        COSettingsEvent::clicked, {"logout-action"},
        [&](COSettingsCallbackAction, const std::optional<COValue>&) { ++nestedCalls; }, nullptr);
  };
  COError error;
  EXPECT_TRUE(plugin->handle(COSettingsEvent::clicked, {"login-action"}, reentering, &error))
      << error.code;
  EXPECT_EQ(reloads, 1);
  EXPECT_TRUE(nestedResult);
  EXPECT_EQ(nestedCalls, 0);
  EXPECT_FALSE(plugin->isHandlingAction);
  EXPECT_EQ(plugin->state->account.get(), "ann-studio");  // the logout never happened
}

}  // namespace
}  // namespace vorelia
