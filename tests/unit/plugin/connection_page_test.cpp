#include <gtest/gtest.h>

#include "model/keychain.h"
#include "model/keys.h"
#include "platform/user_defaults.h"
#include "plugin/vorelia_c1_plugin.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"

namespace vorelia {
namespace {

// A compact description of an element: kind and identifier or text.
std::string Describe(const COSettingsElement& element) {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, COSettingsLabelItem>) return "label:" + e.value;
        if constexpr (std::is_same_v<T, COSettingsTextItem>) {
          return std::string(e.secure ? "secure:" : "text:") + e.identifier + "=" +
                 e.value.value_or("(none)");
        }
        if constexpr (std::is_same_v<T, COSettingsButtonItem>) return "button:" + e.identifier;
        if constexpr (std::is_same_v<T, COSettingsMultipleListItem>) {
          std::string text = "multilist:" + e.identifier;
          for (const auto& o : e.options) text += " " + o.value;
          return text;
        }
        return "other";
      },
      element);
}

std::vector<std::string> Page(VoreliaC1Plugin& plugin) {
  std::vector<std::string> lines;
  for (const auto& group : plugin.settings(nullptr)) {
    lines.push_back("[" + group.title + "]");
    for (const auto& element : group.elements) lines.push_back(Describe(element));
  }
  return lines;
}

class ConnectionPage : public ::testing::Test {
 protected:
  testing::TempHome home;
  testing::ScopedEnvironment web{"VORELIA_WEB_URL", "https://www.vorelia.test"};
  testing::HttpTestServer service;
  testing::ScopedEnvironment api{"VORELIA_API_URL", service.url("/")};
  VoreliaC1Plugin plugin;
  int reloads = 0;
  COSettingsCallback callback = [this](COSettingsCallbackAction action,
                                       const std::optional<COValue>&) {
    EXPECT_EQ(action, COSettingsCallbackAction::reloadSettings);
    ++reloads;
  };

  void authenticate() {
    plugin.state->setAuthentication("BEARER t", std::chrono::system_clock::now());
  }
  void set(const char* id, COValue value) { plugin.didUpdateValue(value, id, callback, nullptr); }
};

TEST_F(ConnectionPage, ViewsFollowTheState) {
  plugin.state->userName.set("ann@example.com");
  EXPECT_EQ(
      Page(plugin),
      (std::vector<std::string>{
          "[Connection]", "label:Need an account?", "button:createAccount-action",
          "label:Have an account? just connect:", "text:userName-input=ann@example.com",
          "secure:password-input=(none)", "button:login-action",
          "label:Forgot your password? [click here](https://www.vorelia.test/forgotPassword)"}));

  plugin.state->isCreatingAccount = true;
  auto page = Page(plugin);
  ASSERT_EQ(page.size(), 8u);
  EXPECT_EQ(page[1],
            "label:Choose your account name so that it can be used it urls like "
            "accountName.www.vorelia.test");
  EXPECT_EQ(page[4], "text:createEmail-input=(none)");
  EXPECT_EQ(page[5], "secure:createPassword-input=(none)");
  EXPECT_EQ(page[7], "button:createCancel-action");

  authenticate();
  EXPECT_EQ(Page(plugin),
            (std::vector<std::string>{"[Connection]", "label:", "button:refreshAccounts-action",
                                      "label:Or", "button:logout-action"}));
  plugin.state->accounts.set(std::vector<std::string>{"studio", "family"});
  EXPECT_EQ(Page(plugin),
            (std::vector<std::string>{"[Connection]", "multilist:accounts-action studio family"}));
  plugin.state->account.set("studio");
  page = Page(plugin);
  EXPECT_EQ(
      std::vector<std::string>(page.begin(), page.begin() + 9),
      (std::vector<std::string>{
          "[Connection]", "label:You can start publishing via context menu right click > publish",
          "label:Connected to studio", "button:logout-action", "[Proofing]",
          "button:checkAlbumsRatings-action", "[Auto Tagging]", "button:checkCredits-action",
          "label:Settings:"}));
  EXPECT_EQ(page.size(), 20u);  // the tagging options follow
}

TEST_F(ConnectionPage, TypedValuesAreTrimmedAndCheckedBeforeTheyAreKept) {
  const auto defaults = platform::UserDefaults::standard();
  set("userName-input", std::string("  Ann.Lee@Example.COM \n"));
  EXPECT_EQ(plugin.state->userName.get(), "ann.lee@example.com");
  EXPECT_EQ(defaults->string("userName"), "ann.lee@example.com");
  set("userName-input", std::string("not an address"));
  set("userName-input", 42.0);
  set("password-input", true);  // a value of the wrong type is dropped without an error
  EXPECT_EQ(plugin.state->userName.get(), "ann.lee@example.com");

  set("password-input", std::string("\t s3cret \u00a0"));
  EXPECT_EQ(plugin.state->password.get(), "s3cret");
  EXPECT_EQ(Keychain::load("password"), "s3cret");
  EXPECT_FALSE(defaults->object("password").has_value());  // never in the defaults

  set("createAccountName-input", std::string(" New-Studio "));
  set("createEmail-input", std::string(" Bob@Example.com "));
  set("createPassword-input", std::string(" pw "));
  EXPECT_EQ(plugin.state->createAccount.get(), "New-Studio");
  EXPECT_EQ(plugin.state->createUserName.get(), "Bob@Example.com");  // not lower-cased here
  EXPECT_EQ(plugin.state->createPassword.get(), "pw");
  for (const char* id : {"createAccountName-input", "createEmail-input", "createPassword-input"}) {
    EXPECT_TRUE(plugin.didUpdateValue(std::vector<std::string>{"x"}, id, callback, nullptr)) << id;
  }
  EXPECT_EQ(plugin.state->createAccount.get(), "New-Studio");
  EXPECT_EQ(plugin.state->createUserName.get(), "Bob@Example.com");
  EXPECT_EQ(plugin.state->createPassword.get(), "pw");
  EXPECT_EQ(reloads, 0);
}

TEST_F(ConnectionPage, ChoosingAnAccountTakesTheFirstSelection) {
  set("accounts-action", std::vector<std::string>{});
  set("accounts-action", std::string("studio"));
  EXPECT_FALSE(plugin.state->account.get().has_value());
  EXPECT_EQ(reloads, 0);
  set("accounts-action", std::vector<std::string>{"family", "studio"});
  EXPECT_EQ(plugin.state->account.get(), "family");
  EXPECT_EQ(platform::UserDefaults::standard()->string("account"), "family");
  EXPECT_EQ(reloads, 1);
}

TEST_F(ConnectionPage, FormSwitchesAndLogout) {
  const auto press = [&](const char* id) {
    COError error;
    EXPECT_TRUE(plugin.handle(COSettingsEvent::clicked, COSettingsItem{id}, callback, &error))
        << id;
  };
  press("createAccount-action");
  EXPECT_TRUE(plugin.state->isCreatingAccount);
  press("createCancel-action");
  EXPECT_FALSE(plugin.state->isCreatingAccount);

  const auto defaults = platform::UserDefaults::standard();
  set("userName-input", std::string("ann@example.com"));
  set("password-input", std::string("pw"));
  set("accounts-action", std::vector<std::string>{"studio"});
  plugin.state->accounts.set(std::vector<std::string>{"studio"});
  authenticate();
  press("logout-action");
  EXPECT_EQ(reloads, 4);
  EXPECT_FALSE(plugin.state->userName.get() || plugin.state->password.get() ||
               plugin.state->account.get() || plugin.state->authenticationHeader());
  EXPECT_FALSE(defaults->object("userName") || defaults->object("account") ||
               defaults->object("authenticationHeader"));
  EXPECT_FALSE(Keychain::load("password").has_value());
  EXPECT_TRUE(plugin.state->accounts.get().has_value());  // the list stays
  EXPECT_TRUE(defaults->boolean("general-input"));        // tagging options stay
}

TEST_F(ConnectionPage, LoginRefusesBadInputBeforeAnyRequest) {
  struct Case {
    const char* userName;
    const char* password;
    std::int64_t code;
  };
  const Case cases[] = {
      {nullptr, "pw", 2},
      {"no address", "pw", 2},
      {"ann@example.com", nullptr, 3},
      {"ann@example.com", "", 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.userName ? c.userName : "-") + "/" +
                 (c.password ? c.password : "-"));
    plugin.state->userName.set(c.userName ? OptionalString(c.userName) : std::nullopt);
    plugin.state->password.set(c.password ? OptionalString(c.password) : std::nullopt);
    COError error;
    EXPECT_FALSE(plugin.handle(COSettingsEvent::clicked, {"login-action"}, callback, &error));
    EXPECT_EQ(error.domain, "VoreliaC1Plugin.PluginError");
    EXPECT_EQ(error.code, c.code);
    EXPECT_FALSE(plugin.isHandlingAction);
  }
  EXPECT_EQ(reloads, 0);
}

TEST_F(ConnectionPage, ServiceButtonsStoreTheAnswerAndRedrawThePage) {
  authenticate();
  using testing::TestReply;
  const struct {
    const char* id;
    TestReply reply;
    std::optional<std::vector<std::string>> accounts;
    const char* account;  // chosen after the event; nullptr: none
    std::optional<double> creditsUsed;
  } cases[] = {
      {"refreshAccounts-action",
       TestReply{200, {}, R"(["family","studio"])"},
       {{"family", "studio"}},
       nullptr,
       {}},
      {"refreshAccounts-action", TestReply{200, {}, "[]"}, std::vector<std::string>{}, nullptr, {}},
      {"refreshAccounts-action", TestReply{200, {}, R"(["solo"])"}, {{"solo"}}, "solo", {}},
      {"checkCredits-action", TestReply{200, {}, R"({"creditsUsed":3})"}, {{"solo"}}, "solo", 3},
      {"checkCredits-action", TestReply{.body = "{}", .dropAfter = 0}, {{"solo"}}, "solo", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.id) + " " + c.reply.body);
    service.reply("/api/Account/RelatedAccounts", c.reply);
    service.reply("/api/solo/credits", c.reply);
    plugin.state->creditsUpdated = false;
    const int before = reloads;
    COError error;
    EXPECT_TRUE(plugin.handle(COSettingsEvent::clicked, {c.id}, callback, &error));
    EXPECT_EQ(reloads, before + 1);
    EXPECT_EQ(plugin.state->accounts.get(), c.accounts);
    EXPECT_EQ(plugin.state->account.get(), c.account ? OptionalString(c.account) : std::nullopt);
    if (std::string_view(c.id) == "checkCredits-action") {
      EXPECT_TRUE(plugin.state->creditsUpdated);
      const auto info = plugin.state->creditsInfo.get();
      EXPECT_EQ(info ? std::optional((*info)["creditsUsed"].numberValue()) : std::nullopt,
                c.creditsUsed);
    }
  }
}

TEST_F(ConnectionPage, AccountCreationClosesTheFormOnlyWithAToken) {
  using testing::TestReply;
  const auto defaults = platform::UserDefaults::standard();
  set("createAccountName-input", std::string("new-studio"));
  set("createEmail-input", std::string("bob@example.com"));
  set("createPassword-input", std::string("pw"));
  plugin.state->isCreatingAccount = true;
  service.reply("/api/accounts/new-studio/isvalid", TestReply{200, {}, R"({"isValide":true})"});
  service.reply("/Token", TestReply{400, {}, R"({"error":"invalid_grant"})"});
  // Refused by the service (only 204 is a creation): no error, nothing stored.
  service.reply("/api/accounts/new-studio", TestReply{200, {}, R"({"hasError":true})"});
  COError error;
  EXPECT_TRUE(plugin.handle(COSettingsEvent::clicked, {"createDo-action"}, callback, &error));
  EXPECT_FALSE(plugin.state->account.get() || defaults->object("account") ||
               Keychain::load("password"));
  // Created, but no token: the new login stays stored and the form stays up.
  service.reply("/api/accounts/new-studio", TestReply{204});
  EXPECT_FALSE(plugin.handle(COSettingsEvent::clicked, {"createDo-action"}, callback, &error));
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(defaults->string("account"), "new-studio");
  EXPECT_EQ(defaults->string("userName"), "bob@example.com");
  EXPECT_EQ(Keychain::load("password"), "pw");
  EXPECT_TRUE(plugin.state->isCreatingAccount);
  EXPECT_EQ(reloads, 0);
  // With a token the form closes and the page is redrawn.
  service.reply("/Token", TestReply{200, {}, R"({"access_token":"t2","token_type":"bearer"})"});
  EXPECT_TRUE(plugin.handle(COSettingsEvent::clicked, {"createDo-action"}, callback, &error));
  EXPECT_FALSE(plugin.state->isCreatingAccount);
  EXPECT_EQ(reloads, 1);
}

TEST_F(ConnectionPage, AccountNameAndEmailChecks) {
  using Texts = std::vector<std::string>;
  const std::string longLocal(100000, 'a');
  const struct {
    bool (VoreliaC1Plugin::*check)(const std::string&) const;
    Texts accepted, refused;
  } cases[] = {
      {&VoreliaC1Plugin::isAccountValid,
       {"ab", "a-b", "a_b", "AB12", std::string(100, 'x')},
       {"a", "-ab", "ab_", "a b", "", std::string(101, 'x')}},
      {&VoreliaC1Plugin::isValid,
       {"ann@example.com", "ANN@EXAMPLE.COM", "o'brien@example.ie", "first.last+tag@sub.example.co",
        "\"quoted.local\"@example.com", "user@[192.168.1.1]"},
       // A space is not among the quoted characters; long inputs must not take forever.
       {"\"quoted local\"@example.com", "ann@", "@example.com", "ann example.com",
        "ann..lee@example.com", longLocal + "!", longLocal + "@" + std::string(100000, 'b')}},
  };
  for (const auto& c : cases) {
    for (const auto& text : c.accepted) EXPECT_TRUE((plugin.*c.check)(text)) << text;
    for (const auto& text : c.refused) EXPECT_FALSE((plugin.*c.check)(text)) << text.substr(0, 40);
  }
}

}  // namespace
}  // namespace vorelia
