#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "model/keychain.h"
#include "model/keys.h"
#include "platform/dispatch.h"
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

std::vector<std::string> Labels(const COSettingsElementsGroup& group) {
  std::vector<std::string> labels;
  for (const auto& element : group.elements) {
    if (const auto* label = std::get_if<COSettingsLabelItem>(&element)) {
      labels.push_back(label->value);
    }
  }
  return labels;
}

class SettingsPage : public ::testing::Test {
 protected:
  testing::TempHome home;
  testing::ScopedEnvironment web{"VORELIA_WEB_URL", "https://www.vorelia.test"};
  testing::HttpTestServer service;
  testing::ScopedEnvironment api{"VORELIA_API_URL", service.url("/")};
  std::optional<VoreliaC1Plugin> plugin{std::in_place};  // emplace() restarts it
  int reloads = 0;
  COSettingsCallback callback = [this](COSettingsCallbackAction action,
                                       const std::optional<COValue>&) {
    EXPECT_EQ(action, COSettingsCallbackAction::reloadSettings);
    ++reloads;
  };

  void authenticate() {
    plugin->state->setAuthentication("BEARER t", std::chrono::system_clock::now());
  }
  // Clicks the button; the error, if any, goes to `error`.
  bool press(const std::string& id, COError* error = nullptr) {
    return plugin->handle(COSettingsEvent::clicked, COSettingsItem{id}, callback, error);
  }
  void set(const std::string& id, COValue value) {
    EXPECT_TRUE(plugin->didUpdateValue(value, id, callback, nullptr)) << id;
  }
  COSettingsElementsGroup group(void (VoreliaC1Plugin::*fill)(COSettingsElementsGroup&)) {
    COSettingsElementsGroup g{"", {}};
    ((*plugin).*fill)(g);
    return g;
  }
};

TEST_F(SettingsPage, ViewsFollowTheState) {
  plugin->state->userName.set("ann@example.com");
  EXPECT_EQ(
      Page(*plugin),
      (std::vector<std::string>{
          "[Connection]", "label:Need an account?", "button:createAccount-action",
          "label:Have an account? just connect:", "text:userName-input=ann@example.com",
          "secure:password-input=(none)", "button:login-action",
          "label:Forgot your password? [click here](https://www.vorelia.test/forgotPassword)"}));

  plugin->state->isCreatingAccount = true;
  auto page = Page(*plugin);
  ASSERT_EQ(page.size(), 8u);
  EXPECT_EQ(page[1],
            "label:Choose your account name so that it can be used it urls like "
            "accountName.www.vorelia.test");
  EXPECT_EQ(page[4], "text:createEmail-input=(none)");
  EXPECT_EQ(page[5], "secure:createPassword-input=(none)");
  EXPECT_EQ(page[7], "button:createCancel-action");

  authenticate();
  EXPECT_EQ(Page(*plugin),
            (std::vector<std::string>{"[Connection]", "label:", "button:refreshAccounts-action",
                                      "label:Or", "button:logout-action"}));
  plugin->state->accounts.set(std::vector<std::string>{"studio", "family"});
  EXPECT_EQ(Page(*plugin),
            (std::vector<std::string>{"[Connection]", "multilist:accounts-action studio family"}));
  plugin->state->account.set("studio");
  page = Page(*plugin);
  EXPECT_EQ(
      std::vector<std::string>(page.begin(), page.begin() + 9),
      (std::vector<std::string>{
          "[Connection]", "label:You can start publishing via context menu right click > publish",
          "label:Connected to studio", "button:logout-action", "[Proofing]",
          "button:checkAlbumsRatings-action", "[Auto Tagging]", "button:checkCredits-action",
          "label:Settings:"}));
  EXPECT_EQ(page.size(), 20u);  // the tagging options follow
}

TEST_F(SettingsPage, TypedValuesAreTrimmedAndCheckedBeforeTheyAreKept) {
  const auto defaults = platform::UserDefaults::standard();
  set("userName-input", std::string("  Ann.Lee@Example.COM \n"));
  EXPECT_EQ(plugin->state->userName.get(), "ann.lee@example.com");
  EXPECT_EQ(defaults->string("userName"), "ann.lee@example.com");
  set("userName-input", std::string("not an address"));
  set("userName-input", 42.0);
  set("password-input", true);  // a value of the wrong type is dropped without an error
  EXPECT_EQ(plugin->state->userName.get(), "ann.lee@example.com");

  set("password-input", std::string("\t s3cret \u00a0"));
  EXPECT_EQ(plugin->state->password.get(), "s3cret");
  EXPECT_EQ(Keychain::load("password"), "s3cret");
  EXPECT_FALSE(defaults->object("password").has_value());  // never in the defaults

  set("createAccountName-input", std::string(" New-Studio "));
  set("createEmail-input", std::string(" Bob@Example.com "));
  set("createPassword-input", std::string(" pw "));
  EXPECT_EQ(plugin->state->createAccount.get(), "New-Studio");
  EXPECT_EQ(plugin->state->createUserName.get(), "Bob@Example.com");  // not lower-cased here
  EXPECT_EQ(plugin->state->createPassword.get(), "pw");
  for (const char* id : {"createAccountName-input", "createEmail-input", "createPassword-input"}) {
    set(id, std::vector<std::string>{"x"});
  }
  EXPECT_EQ(plugin->state->createAccount.get(), "New-Studio");
  EXPECT_EQ(plugin->state->createUserName.get(), "Bob@Example.com");
  EXPECT_EQ(plugin->state->createPassword.get(), "pw");

  // An account is chosen by the first selection of a list.
  set("accounts-action", std::vector<std::string>{});
  set("accounts-action", std::string("studio"));
  EXPECT_FALSE(plugin->state->account.get().has_value());
  EXPECT_EQ(reloads, 0);
  set("accounts-action", std::vector<std::string>{"family", "studio"});
  EXPECT_EQ(plugin->state->account.get(), "family");
  EXPECT_EQ(platform::UserDefaults::standard()->string("account"), "family");
  EXPECT_EQ(reloads, 1);
}

TEST_F(SettingsPage, FormSwitchesAndLogout) {
  EXPECT_TRUE(press("createAccount-action"));
  EXPECT_TRUE(plugin->state->isCreatingAccount);
  EXPECT_TRUE(press("createCancel-action"));
  EXPECT_FALSE(plugin->state->isCreatingAccount);

  const auto defaults = platform::UserDefaults::standard();
  set("userName-input", std::string("ann@example.com"));
  set("password-input", std::string("pw"));
  set("accounts-action", std::vector<std::string>{"studio"});
  plugin->state->accounts.set(std::vector<std::string>{"studio"});
  authenticate();
  EXPECT_TRUE(press("logout-action"));
  EXPECT_EQ(reloads, 4);
  EXPECT_FALSE(plugin->state->userName.get() || plugin->state->password.get() ||
               plugin->state->account.get() || plugin->state->authenticationHeader());
  EXPECT_FALSE(defaults->object("userName") || defaults->object("account") ||
               defaults->object("authenticationHeader"));
  EXPECT_FALSE(Keychain::load("password").has_value());
  EXPECT_TRUE(plugin->state->accounts.get().has_value());  // the list stays
  EXPECT_TRUE(defaults->boolean("general-input"));         // tagging options stay
}

TEST_F(SettingsPage, LoginRefusesBadInputBeforeAnyRequest) {
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
    plugin->state->userName.set(c.userName ? OptionalString(c.userName) : std::nullopt);
    plugin->state->password.set(c.password ? OptionalString(c.password) : std::nullopt);
    COError error;
    EXPECT_FALSE(press("login-action", &error));
    EXPECT_EQ(error.domain, "VoreliaC1Plugin.PluginError");
    EXPECT_EQ(error.code, c.code);
    EXPECT_FALSE(plugin->isHandlingAction);
  }
  EXPECT_EQ(reloads, 0);
}

TEST_F(SettingsPage, ServiceButtonsStoreTheAnswerAndRedrawThePage) {
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
    plugin->state->creditsUpdated = false;
    const int before = reloads;
    EXPECT_TRUE(press(c.id));
    EXPECT_EQ(reloads, before + 1);
    EXPECT_EQ(plugin->state->accounts.get(), c.accounts);
    EXPECT_EQ(plugin->state->account.get(), c.account ? OptionalString(c.account) : std::nullopt);
    if (std::string_view(c.id) == "checkCredits-action") {
      EXPECT_TRUE(plugin->state->creditsUpdated);
      const auto info = plugin->state->creditsInfo.get();
      EXPECT_EQ(info ? std::optional((*info)["creditsUsed"].numberValue()) : std::nullopt,
                c.creditsUsed);
    }
  }
}

TEST_F(SettingsPage, AccountCreationClosesTheFormOnlyWithAToken) {
  using testing::TestReply;
  const auto defaults = platform::UserDefaults::standard();
  set("createAccountName-input", std::string("new-studio"));
  set("createEmail-input", std::string("bob@example.com"));
  set("createPassword-input", std::string("pw"));
  plugin->state->isCreatingAccount = true;
  service.reply("/api/accounts/new-studio/isvalid", TestReply{200, {}, R"({"isValide":true})"});
  service.reply("/Token", TestReply{400, {}, R"({"error":"invalid_grant"})"});
  // Refused by the service (only 204 is a creation): no error, nothing stored.
  service.reply("/api/accounts/new-studio", TestReply{200, {}, R"({"hasError":true})"});
  EXPECT_TRUE(press("createDo-action"));
  EXPECT_FALSE(plugin->state->account.get() || defaults->object("account") ||
               Keychain::load("password"));
  // Created, but no token: the new login stays stored and the form stays up.
  service.reply("/api/accounts/new-studio", TestReply{204});
  COError error;
  EXPECT_FALSE(press("createDo-action", &error));
  EXPECT_EQ(error.code, 4);
  EXPECT_EQ(defaults->string("account"), "new-studio");
  EXPECT_EQ(defaults->string("userName"), "bob@example.com");
  EXPECT_EQ(Keychain::load("password"), "pw");
  EXPECT_TRUE(plugin->state->isCreatingAccount);
  EXPECT_EQ(reloads, 0);
  // With a token the form closes and the page is redrawn.
  service.reply("/Token", TestReply{200, {}, R"({"access_token":"t2","token_type":"bearer"})"});
  EXPECT_TRUE(press("createDo-action"));
  EXPECT_FALSE(plugin->state->isCreatingAccount);
  EXPECT_EQ(reloads, 1);
}

TEST_F(SettingsPage, AccountNameAndEmailChecks) {
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
    for (const auto& text : c.accepted) EXPECT_TRUE(((*plugin).*c.check)(text)) << text;
    for (const auto& text : c.refused)
      EXPECT_FALSE(((*plugin).*c.check)(text)) << text.substr(0, 40);
  }
}

TEST_F(SettingsPage, CreditsLabelsWriteTheShortestExactNumber) {
  struct Case {
    std::optional<JSON> info;
    std::vector<std::string> labels;
  };
  const Case cases[] = {
      {JSON{{"creditsUsed", 12}, {"creditsLimit", 100.0}, {"extraCredits", 0}},
       {"You used 12.0 of your 100.0 monthly credits", "You have 0.0 extra credits remaining"}},
      {JSON{{"creditsUsed", 1.5}, {"creditsLimit", 0.1}, {"extraCredits", 2.25}},
       {"You used 1.5 of your 0.1 monthly credits", "You have 2.25 extra credits remaining"}},
      {JSON{{"creditsUsed", "7"}},  // a text member reads as its number, a missing one as 0
       {"You used 7.0 of your 0.0 monthly credits", "You have 0.0 extra credits remaining"}},
      // Beyond every exact integer a count keeps its exponent; "inf" is no count.
      {JSON{{"creditsUsed", 1e300}, {"creditsLimit", "inf"}, {"extraCredits", -2e6}},
       {"You used 1e+300 of your 0.0 monthly credits",
        "You have -2000000.0 extra credits remaining"}},
      {std::nullopt, {"Your credits info could not be fetched"}},
  };
  for (const auto& c : cases) {
    plugin->state->creditsInfo.set(c.info);
    plugin->state->creditsUpdated = true;
    const auto g = group(&VoreliaC1Plugin::autoTaggingWrapperSettings);
    const auto* button = std::get_if<COSettingsButtonItem>(&g.elements.at(c.labels.size()));
    ASSERT_TRUE(button != nullptr);
    EXPECT_EQ(button->identifier + " " + button->title, "checkCredits-action Refresh");
    auto labels = Labels(g);
    ASSERT_FALSE(labels.empty());
    EXPECT_EQ(labels.back(), "Settings:");
    labels.pop_back();
    EXPECT_EQ(labels, c.labels);
  }
}

TEST_F(SettingsPage, CheckBoxesReflectAndPersistTheOptions) {
  const auto boxes = [&] {
    std::vector<std::pair<std::string, bool>> result;
    for (const auto& element : group(&VoreliaC1Plugin::autoTaggingSettings).elements) {
      if (const auto* box = std::get_if<COSettingsBoolItem>(&element)) {
        result.emplace_back(box->identifier, box->value);
      }
    }
    return result;
  };
  auto initial = boxes();
  ASSERT_EQ(initial.size(), 11u);
  EXPECT_EQ(initial[0], std::make_pair(std::string("general-input"), true));  // first-run default
  EXPECT_EQ(initial[1], std::make_pair(std::string("face-input"), true));
  EXPECT_EQ(initial[10], std::make_pair(std::string("texture-input"), false));

  set("general-input", false);
  set("describe-input", true);
  set("texture-input", true);
  set("face-input", std::string("false"));  // not a Boolean: ignored
  set("landmark-input", 1.0);
  EXPECT_TRUE(plugin->state->describe);
  EXPECT_FALSE(plugin->state->general);
  EXPECT_EQ(reloads, 0);

  auto expected = initial;
  expected[0].second = false;
  expected[3].second = true;
  expected[10].second = true;
  EXPECT_EQ(boxes(), expected);
  plugin.emplace();  // a restart reads them back from the defaults
  EXPECT_EQ(boxes(), expected);
  EXPECT_TRUE(plugin->state->texture);
}

TEST_F(SettingsPage, RatingChoiceIsStoredAsText) {
  struct Case {
    COValue value;
    std::string stored;
  };
  const Case cases[] = {
      {std::string("Purple"), "Purple"},
      {std::string("Teal"), "Teal"},  // kept as given; the ratings script treats it as Green
      {3.0, "3"},
      {std::vector<std::string>{"Red"}, "Green"},
      {true, "Green"},
  };
  for (const auto& c : cases) {
    set("taggingOptions-action", c.value);
    EXPECT_EQ(plugin->state->taggingOption.get(), c.stored);
    EXPECT_EQ(platform::UserDefaults::standard()->string(std::string(P::TaggingOption)), c.stored);
  }
  set("taggingOptions-action", std::string("4"));
  plugin.emplace();
  EXPECT_EQ(plugin->state->taggingOption.get(), "4");
  EXPECT_EQ(reloads, 0);
}

TEST_F(SettingsPage, ProofingGroupFollowsTheSearch) {
  const auto describe = [&] {
    std::vector<std::string> lines;
    for (const auto& element : group(&VoreliaC1Plugin::proofingSettings).elements) {
      if (const auto* b = std::get_if<COSettingsButtonItem>(&element)) {
        lines.push_back(b->identifier + ":" + b->title);
      } else if (const auto* l = std::get_if<COSettingsListItem>(&element)) {
        lines.push_back(l->identifier + "=" + l->value.value_or("") + " " +
                        std::to_string(l->options.size()) + " " + l->options.front().value + ".." +
                        l->options.back().title);
      } else if (const auto* m = std::get_if<COSettingsMultipleListItem>(&element)) {
        std::string line = m->identifier + (m->allowsFiltering ? " (filtered)" : "");
        for (const auto& o : m->options) line += " " + o.value + "|" + o.title;
        lines.push_back(line);
      }
    }
    return lines;
  };
  using Lines = std::vector<std::string>;
  EXPECT_EQ(describe(), Lines{"checkAlbumsRatings-action:Look for albums with ratings"});
  plugin->state->containersWithRatings.set(std::map<std::string, std::vector<std::string>>{});
  EXPECT_EQ(describe(),
            Lines{"checkAlbumsRatings-action:no albums with ratings found, try again later"});
  plugin->state->containersWithRatings.set(std::map<std::string, std::vector<std::string>>{
      {"Wedding", std::vector<std::string>(12, "a.")}, {"Beach", {"b."}}});
  EXPECT_EQ(describe(), (Lines{"taggingOptions-action=Green 12 1..color tag Purple",
                               "albumRating-action (filtered) Beach|Beach (1) Wedding|Wedding (12)",
                               "checkAlbumsRatings-action:refresh"}));
  plugin->state->ratingsUpdated = true;
  EXPECT_EQ(describe(), Lines{"checkAlbumsRatings-action:Ratings applied, click to refresh"});
}

JSON Album(const char* name, std::vector<JSON> items) {
  return JSON{{"name", name}, {"value", JSON(std::move(items))}};
}
JSON Item(const char* name, JSON rating) { return JSON{{"name", name}, {"rating", rating}}; }

TEST_F(SettingsPage, LookingForRatingsKeepsRatedItemsAsEntries) {
  plugin->state->account.set("studio");
  plugin->state->setAuthentication("BEARER t", std::chrono::system_clock::now());
  // Stars, zero, a pick and a rejection are ratings; a text or null is not, nor a missing one.
  const JSON answer{
      {"value",
       JSON(std::vector<JSON>{
           Album("Beach", {Item("Old.jpg", 1)}),
           Album("Wedding", {Item("W0.jpg", 0), Item("W1.jpg", "5"), Item("W2.jpg", nullptr),
                             Item("W3.jpg", 4), Item("W4.jpg", true), Item("W5.jpg", false)}),
           Album("Unrated", {Item("U.jpg", nullptr), JSON{{"name", "V.jpg"}}}),
           Album("Beach", {Item("Anna_a_s___portrait.jpg", 2), Item("sub_6_Beach_01.tar.jpg", true),
                           Item("Raw", false)}),
       })}};
  service.reply("/api/*", testing::TestReply{200, {}, *answer.rawData()});

  EXPECT_TRUE(press("checkAlbumsRatings-action"));
  EXPECT_EQ(reloads, 1);
  const auto albums = plugin->state->containersWithRatings.get();
  ASSERT_TRUE(albums.has_value());
  EXPECT_EQ(*albums, (std::map<std::string, std::vector<std::string>>{
                         {"Beach", {"Anna's portrait.", "Beach_01.tar.", "Raw."}},
                         {"Wedding", {"W0.", "W3.", "W4.", "W5."}}}));
  EXPECT_EQ(plugin->state->containers.get().size(), 4u);

  // A search that fails leaves the page as it was.
  service.reply("/api/*", testing::TestReply{500, {}, "{}"});
  EXPECT_TRUE(press("checkAlbumsRatings-action"));
  EXPECT_EQ(reloads, 2);
  EXPECT_EQ(plugin->state->containersWithRatings.get(), albums);
}

TEST_F(SettingsPage, ChoosingAnAlbumRunsItsRatingsScriptOnTheMainQueue) {
  namespace fs = std::filesystem;
  const fs::path folder = home.path() / "Library/Scripts/Capture One Scripts";
  fs::create_directories(folder);
  const fs::path program = home.path() / "interpreter.sh", ran = home.path() / "ran.scpt";
  std::ofstream(program) << "#!/bin/sh\ncp \"$1\" \"" << ran.string() << "\"\n";
  fs::permissions(program, fs::perms::owner_all);
  const testing::ScopedEnvironment interpreter("VORELIA_OSASCRIPT", program.string());
  plugin->state->containersWithRatings.set(std::map<std::string, std::vector<std::string>>{
      {"Beach", {"B1.", "B2."}}, {"Wedding", {"W1."}}});
  const auto script = [&] {
    std::ostringstream text;
    text << std::ifstream(ran).rdbuf();
    fs::remove(ran);
    return text.str();
  };

  set("albumRating-action", std::vector<std::string>{});  // nothing chosen: nothing happens
  EXPECT_EQ(platform::MainQueue::shared().drain(), 0u);
  EXPECT_EQ(reloads, 0);

  set("taggingOptions-action", std::string("Teal"));
  set("albumRating-action", std::vector<std::string>{"Wedding", "Beach"});
  EXPECT_TRUE(plugin->state->ratingsUpdated);
  EXPECT_EQ(reloads, 1);
  EXPECT_FALSE(fs::exists(ran));  // the job waits for the main queue
  // The choice is read when the job runs, not when the album was chosen.
  set("taggingOptions-action", std::string("2"));
  EXPECT_EQ(platform::MainQueue::shared().drain(), 1u);
  const std::string text = script();
  EXPECT_EQ(text.substr(0, text.find('\n')), "set imagesToBeRated to {\"W1.\"}");  // only the first
  EXPECT_NE(text.find("set rating of every variant of currentImage to 2"), std::string::npos);
  EXPECT_TRUE(fs::is_empty(folder));  // the script file is gone

  // An album that a later search dropped is not rated.
  set("albumRating-action", std::vector<std::string>{"Gone"});
  EXPECT_EQ(platform::MainQueue::shared().drain(), 1u);
  EXPECT_FALSE(fs::exists(ran));
}

}  // namespace
}  // namespace vorelia
