// The connection page against the sandbox: logging in, refusals, creating an account, events
// during events, and restarts that restore the login without waiting for the service.
#include <gtest/gtest.h>

#include "model/keychain.h"
#include "model/keys.h"
#include "platform/user_defaults.h"
#include "plugin/vorelia_c1_plugin.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia {
namespace {

using testing::SandboxProcess;

class ConnectionFlow : public ::testing::Test {
 protected:
  ConnectionFlow() {
    sandbox.seedUser("ann@example.test", "p&ss w=rd+é", {"ann-studio"});
    sandbox.seedUser("eve@example.test", "eve-pw", {});
  }

  std::unique_ptr<VoreliaC1Plugin> start() { return std::make_unique<VoreliaC1Plugin>(); }

  // Presses a button; returns the error code, or -1 on success. Counts reload callbacks.
  std::int64_t press(VoreliaC1Plugin& plugin, const char* id) {
    COError error;
    const bool ok = plugin.handle(COSettingsEvent::clicked, {id}, reload, &error);
    EXPECT_FALSE(plugin.isHandlingAction);
    return ok ? -1 : error.code;
  }
  void type(VoreliaC1Plugin& plugin, const char* id, COValue value) {
    plugin.didUpdateValue(value, id, reload, nullptr);
  }
  std::int64_t login(VoreliaC1Plugin& plugin, const std::string& user,
                     const std::string& password) {
    type(plugin, "userName-input", user);
    type(plugin, "password-input", password);
    return press(plugin, "login-action");
  }
  static std::vector<std::string> titles(VoreliaC1Plugin& plugin) {
    std::vector<std::string> result;
    for (const auto& group : plugin.settings(nullptr)) result.push_back(group.title);
    return result;
  }

  testing::TempHome home;
  SandboxProcess sandbox;
  testing::ScopedEnvironment api{"VORELIA_API_URL", sandbox.baseUrl()};
  int reloads = 0;
  COSettingsCallback reload = [this](COSettingsCallbackAction, const std::optional<COValue>&) {
    ++reloads;
  };
};

TEST_F(ConnectionFlow, LoginWithOneAccountConnectsAndSurvivesARestart) {
  auto plugin = start();
  EXPECT_EQ(login(*plugin, " Ann@Example.test ", "p&ss w=rd+é"), -1);
  EXPECT_EQ(reloads, 1);
  EXPECT_EQ(plugin->state->account.get(), "ann-studio");
  EXPECT_EQ(titles(*plugin), (std::vector<std::string>{"Connection", "Proofing", "Auto Tagging"}));

  sandbox.seedAlbum({{"account", "ann-studio"}, {"name", "Wedding"}});
  plugin.reset();
  sandbox.clearRequests();
  auto restarted = start();
  EXPECT_EQ(restarted->state->userName.get(), "ann@example.test");
  EXPECT_EQ(restarted->state->password.get(), "p&ss w=rd+é");
  EXPECT_TRUE(restarted->state->IsAuthenticated());
  ASSERT_TRUE(testing::waitUntil([&] { return restarted->state->containers.get().size() == 1; }));
  EXPECT_EQ(restarted->state->containers.get()[0]["name"].stringValue(), "Wedding");
  // The restored header was used as it was: no token grant after the restart.
  for (const auto& request : sandbox.requests()) EXPECT_NE(request["path"], "/Token");
}

TEST_F(ConnectionFlow, RefusedLoginsKeepWhatWasStoredBefore) {
  auto plugin = start();
  EXPECT_EQ(login(*plugin, "ann@example.test", "wrong"), 4);  // invalidUserNameOrPassword
  EXPECT_FALSE(plugin->state->authenticationHeader().has_value());
  EXPECT_FALSE(platform::UserDefaults::standard()->object("authenticationHeader").has_value());

  EXPECT_EQ(login(*plugin, "eve@example.test", "eve-pw"), 5);  // invalidNoRelatedAccounts
  EXPECT_TRUE(plugin->state->IsAuthenticated());               // the token stays

  sandbox.setFault({{"method", "POST"}, {"path", "/Token"}, {"drop", true}});
  plugin->state->setAuthentication(std::nullopt, std::nullopt);
  EXPECT_EQ(login(*plugin, "ann@example.test", "p&ss w=rd+é"), 7);  // serverError: no answer
  EXPECT_EQ(reloads, 0);
}

TEST_F(ConnectionFlow, CreatingAnAccountLogsIn) {
  auto plugin = start();
  EXPECT_EQ(press(*plugin, "createAccount-action"), -1);
  type(*plugin, "createAccountName-input", std::string("ann-studio"));  // taken
  type(*plugin, "createEmail-input", std::string("new@example.test"));
  type(*plugin, "createPassword-input", std::string("new pw"));
  EXPECT_EQ(press(*plugin, "createDo-action"), 1);  // invalidAccountOrTaken
  EXPECT_TRUE(plugin->state->isCreatingAccount);

  type(*plugin, "createAccountName-input", std::string("new-studio"));
  EXPECT_EQ(press(*plugin, "createDo-action"), -1);
  EXPECT_FALSE(plugin->state->isCreatingAccount);
  EXPECT_EQ(plugin->state->account.get(), "new-studio");
  EXPECT_EQ(Keychain::load(P::Password), "new pw");
  EXPECT_EQ(platform::UserDefaults::standard()->string("userName"), "new@example.test");
  EXPECT_TRUE(plugin->state->IsAuthenticated());
  EXPECT_EQ(titles(*plugin).size(), 3u);
}

TEST_F(ConnectionFlow, AnEventDuringAnotherIsDropped) {
  auto plugin = start();
  type(*plugin, "userName-input", std::string("ann@example.test"));
  type(*plugin, "password-input", std::string("p&ss w=rd+é"));
  int nestedCalls = 0;
  bool nestedResult = false;
  // The host delivers a logout from inside the login's callback, while the login is still handled.
  COSettingsCallback reentering = [&](COSettingsCallbackAction, const std::optional<COValue>&) {
    nestedResult = plugin->handle(
        COSettingsEvent::clicked, {"logout-action"},
        [&](COSettingsCallbackAction, const std::optional<COValue>&) { ++nestedCalls; }, nullptr);
  };
  EXPECT_TRUE(plugin->handle(COSettingsEvent::clicked, {"login-action"}, reentering, nullptr));
  EXPECT_TRUE(nestedResult);
  EXPECT_EQ(nestedCalls, 0);
  EXPECT_EQ(plugin->state->account.get(), "ann-studio");  // the logout never happened
  EXPECT_FALSE(plugin->isHandlingAction);
}

TEST_F(ConnectionFlow, StartUpNeverWaitsForTheService) {
  platform::UserDefaults::standard()->set("userName", std::string("ann@example.test"));
  platform::UserDefaults::standard()->set("account", std::string("ann-studio"));
  Keychain::save("p&ss w=rd+é", P::Password);
  sandbox.setFault({{"path", "/Token"}, {"stall", true}});
  // The stored login has no header, so the refresh first needs a token, which never comes; the
  // plugin is usable all the same.
  auto plugin = start();
  EXPECT_EQ(titles(*plugin), std::vector<std::string>{"Connection"});
  ASSERT_TRUE(testing::waitUntil([&] {
    for (const auto& request : sandbox.requests()) {
      if (request["path"] == "/Token") return true;
    }
    return false;
  }));
  EXPECT_TRUE(plugin->state->isRefreshingContainers);
}

}  // namespace
}  // namespace vorelia
