// The connection page against the sandbox: logging in, choosing an account, creating one, and a
// restart that restores the login and fetches the albums.
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
    sandbox.seedUser("bob@example.test", "bob-pw", {"bob-studio", "bob-family"});
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
  type(*plugin, "userName-input", std::string(" Ann@Example.test "));
  type(*plugin, "password-input", std::string("p&ss w=rd+é"));
  EXPECT_EQ(press(*plugin, "login-action"), -1);
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

TEST_F(ConnectionFlow, SeveralAccountsLeadToTheChooser) {
  auto plugin = start();
  type(*plugin, "userName-input", std::string("bob@example.test"));
  type(*plugin, "password-input", std::string("bob-pw"));
  EXPECT_EQ(press(*plugin, "login-action"), -1);
  EXPECT_FALSE(plugin->state->account.get().has_value());
  const auto page = plugin->settings(nullptr);
  ASSERT_EQ(page.size(), 1u);
  const auto& chooser = std::get<COSettingsMultipleListItem>(page[0].elements.at(0));
  ASSERT_EQ(chooser.options.size(), 2u);
  EXPECT_EQ(chooser.options[1].value, "bob-family");
  type(*plugin, "accounts-action", std::vector<std::string>{"bob-family"});
  EXPECT_EQ(titles(*plugin).size(), 3u);

  EXPECT_EQ(press(*plugin, "checkCredits-action"), -1);
  ASSERT_TRUE(plugin->state->creditsInfo.get().has_value());
  EXPECT_EQ(plugin->state->creditsInfo.get()->operator[]("credits").type(), JSON::Type::number);
  EXPECT_TRUE(plugin->state->creditsUpdated);
}

TEST_F(ConnectionFlow, RefusedLoginsKeepWhatWasStoredBefore) {
  auto plugin = start();
  type(*plugin, "userName-input", std::string("ann@example.test"));
  type(*plugin, "password-input", std::string("wrong"));
  EXPECT_EQ(press(*plugin, "login-action"), 4);  // invalidUserNameOrPassword
  EXPECT_FALSE(plugin->state->authenticationHeader().has_value());
  EXPECT_FALSE(platform::UserDefaults::standard()->object("authenticationHeader").has_value());

  type(*plugin, "userName-input", std::string("eve@example.test"));
  type(*plugin, "password-input", std::string("eve-pw"));
  EXPECT_EQ(press(*plugin, "login-action"), 5);   // invalidNoRelatedAccounts
  EXPECT_TRUE(plugin->state->IsAuthenticated());  // the token stays
  const auto page = plugin->settings(nullptr);
  EXPECT_EQ(std::get<COSettingsButtonItem>(page[0].elements.at(1)).identifier,
            "refreshAccounts-action");

  sandbox.setFault({{"method", "POST"}, {"path", "/Token"}, {"drop", true}});
  type(*plugin, "userName-input", std::string("ann@example.test"));
  plugin->state->setAuthentication(std::nullopt, std::nullopt);
  EXPECT_EQ(press(*plugin, "login-action"), 4);
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

  type(*plugin, "createAccountName-input", std::string("-bad"));
  EXPECT_EQ(press(*plugin, "createDo-action"), 0);  // invalidAccount

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
