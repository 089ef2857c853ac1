// The preference page: what it shows, and what its values and buttons do.
#include "plugin_fixture.h"

namespace vorelia::testing_plugin {
namespace {

TEST_F(SettingsPage, ViewsFollowTheState) {
  plugin->state->userName.set("ann@example.com");
  plugin->state->account.set("studio");  // a login ten days old has ended
  plugin->state->setAuthentication("BEARER t",
                                   std::chrono::system_clock::now() - std::chrono::days(10));
  EXPECT_EQ(
      Page(plugin->settings(nullptr)),
      (Texts{"[Connection]", "label:Need an account?", "button:createAccount-action Create Account",
             "label:Have an account? just connect:", "text:userName-input=ann@example.com",
             "secure:password-input=(none)", "button:login-action Login",
             "label:Forgot your password? [click here](https://www.vorelia.test/forgotPassword)"}));

  EXPECT_TRUE(press("createAccount-action"));
  auto page = Page(plugin->settings(nullptr));
  ASSERT_EQ(page.size(), 8u);
  EXPECT_EQ(page[1],
            "label:Choose your account name so that it can be used it urls like "
            "accountName.www.vorelia.test");
  EXPECT_EQ(page[4], "text:createEmail-input=(none)");
  EXPECT_EQ(page[5], "secure:createPassword-input=(none)");
  EXPECT_EQ(page[7], "button:createCancel-action Cancel");
  EXPECT_TRUE(press("createCancel-action"));
  EXPECT_FALSE(plugin->state->isCreatingAccount);
  EXPECT_EQ(reloads, 2);

  authenticate();
  plugin->state->account.set("");  // no account chosen
  EXPECT_EQ(Page(plugin->settings(nullptr)),
            (Texts{"[Connection]", "label:", "button:refreshAccounts-action Refresh account list",
                   "label:Or", "button:logout-action Logout"}));
  plugin->state->accounts.set(Texts{"studio", "family"});
  EXPECT_EQ(
      Page(plugin->settings(nullptr)),
      (Texts{"[Connection]", "multilist:accounts-action (filtered) studio|studio family|family"}));
  plugin->state->account.set("studio");
  page = Page(plugin->settings(nullptr));
  EXPECT_EQ(
      Texts(page.begin(), page.begin() + 9),
      (Texts{"[Connection]",
             "label:You can start publishing via context menu right click > publish",
             "label:Connected to studio", "button:logout-action Logout", "[Proofing]",
             "button:checkAlbumsRatings-action Look for albums with ratings", "[Auto Tagging]",
             "button:checkCredits-action Fetch your credits info", "label:Settings:"}));
  EXPECT_EQ(page.size(), 20u);  // the tagging options follow
}

TEST_F(SettingsPage, TypedValuesAreTrimmedCheckedAndKeptUntilLogout) {
  set("userName-input", std::string("  Ann.Lee@Example.COM \n"));
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
  for (const char* id : {"createAccountName-input", "createEmail-input", "createPassword-input"}) {
    set(id, Texts{"x"});
  }
  EXPECT_EQ(plugin->state->createAccount.get(), "New-Studio");
  EXPECT_EQ(plugin->state->createUserName.get(), "Bob@Example.com");  // not lower-cased here
  EXPECT_EQ(plugin->state->createPassword.get(), "pw");

  // An account is chosen by the first selection of a list.
  set("accounts-action", Texts{});
  set("accounts-action", std::string("studio"));
  EXPECT_FALSE(plugin->state->account.get().has_value());
  EXPECT_EQ(reloads, 0);
  // The album list follows the account chosen.
  authenticate();
  service.reply("/api/family/containers/", TestReply{200, {}, R"({"value":[{"id":"f1"}]})"});
  set("accounts-action", Texts{"family", "studio"});
  EXPECT_EQ(plugin->state->account.get(), "family");
  EXPECT_EQ(defaults->string("account"), "family");
  EXPECT_EQ(reloads, 1);
  EXPECT_TRUE(testing::waitUntil([&] { return plugin->state->containers.get().size() == 1; }));

  plugin->state->accounts.set(Texts{"studio", "family"});
  EXPECT_TRUE(press("logout-action"));
  EXPECT_EQ(reloads, 2);
  EXPECT_FALSE(plugin->state->userName.get() || plugin->state->password.get() ||
               plugin->state->account.get() || plugin->state->authenticationHeader());
  EXPECT_FALSE(defaults->object("userName") || defaults->object("account") ||
               defaults->object("authenticationHeader"));
  EXPECT_FALSE(Keychain::load("password").has_value());
  EXPECT_TRUE(plugin->state->accounts.get().has_value());  // the list stays
  EXPECT_TRUE(defaults->boolean("general-input"));         // tagging options stay
}

// A store that cannot keep a login or a logout says so: the next start would undo it. Each store in
// turn is broken by a file where its folder was (which stops root too).
TEST_F(SettingsPage, LoginAndLogoutThatAStoreCannotKeepSaySo) {
  const std::filesystem::path library = home.path() / "Library";
  service.reply("/Token", TestReply{200, {}, R"({"access_token":"t"})"});
  service.reply("/api/Account/RelatedAccounts", TestReply{200, {}, R"(["studio"])"});
  const struct {
    const char* store;
    const char* button;
    const char* message;
  } cases[] = {
      {"Keychains", "login-action", "The login could not be saved on this computer"},
      {"Preferences", "login-action", "The login could not be saved on this computer"},
      {"Keychains", "logout-action", "The login could not be removed from this computer"},
      {"Preferences", "logout-action", "The login could not be removed from this computer"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.store) + " " + c.button);
    plugin->state->userName.set("ann@example.com");
    plugin->state->password.set("pw");
    plugin->state->setAuthentication(std::nullopt, std::nullopt);
    ASSERT_TRUE(Keychain::save("pw", P::Password) && defaults->set("userName", "ann@example.com"));
    std::filesystem::rename(library / c.store, library / "aside");
    std::ofstream(library / c.store) << "in the way";
    COError error;
    EXPECT_FALSE(press(c.button, &error));
    EXPECT_EQ(error.localizedDescription, c.message);
    std::filesystem::remove(library / c.store);
    std::filesystem::rename(library / "aside", library / c.store);
  }
}

// A refusal reaches the page as the error with its message; bad input never asks the service.
TEST_F(SettingsPage, LoginAndCreationRefusalsShowTheirMessage) {
  set("createAccountName-input", std::string("solo"));
  set("createEmail-input", std::string("bob@example.com"));
  set("createPassword-input", std::string("pw"));
  service.reply("/api/accounts/solo/isvalid", TestReply{200, {}, R"({"isValide":false})"});
  const std::string login = "login-action", ann = "ann@example.com";
  const TestReply token{200, {}, R"({"access_token":"t","token_type":"bearer"})"},
      refused{400, {}, R"({"error":"invalid_grant"})"};
  const struct {
    std::string button;
    OptionalString userName, password;
    TestReply token, accounts;
    const char* message;
    bool asksForAToken = false;
  } cases[] = {
      {login, std::nullopt, "pw", token, {}, "Invalid  e-mail"},
      {login, "no address", "pw", token, {}, "Invalid  e-mail"},
      {login, ann, std::nullopt, token, {}, "Password cannot be empty"},
      {login, ann, "", token, {}, "Password cannot be empty"},
      {login, ann, "pw", refused, {}, "Wrong e-mail or password", true},
      {login, ann, "pw", token, {200, {}, "[]"}, "Can't find account", true},
      {login, ann, "pw", {.body = "{}", .dropAfter = 0}, {}, "Server Error", true},
      {login, ann, "pw", {502, {}, "<html>"}, {}, "Server Error", true},
      {"createDo-action", ann, "pw", token, {}, "Account already taken, or invalid characteres"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.userName.value_or("-") + "/" + c.password.value_or("-") + " " + c.message);
    plugin->state->userName.set(c.userName);
    plugin->state->password.set(c.password);
    service.reply("/Token", c.token);
    service.reply("/api/Account/RelatedAccounts", c.accounts);
    const auto asked = service.requests("/Token").size();
    COError error;
    EXPECT_FALSE(press(c.button, &error));
    EXPECT_EQ(error.localizedDescription, c.message);
    EXPECT_EQ(service.requests("/Token").size() > asked, c.asksForAToken);
    EXPECT_FALSE(plugin->isHandlingAction);
  }
  EXPECT_EQ(reloads, 0);
}

// The host may deliver an event from inside the login's reload: it is dropped, not handled.
TEST_F(SettingsPage, AnEventDuringALoginIsDropped) {
  service.reply("/Token", TestReply{200, {}, R"({"access_token":"t","token_type":"bearer"})"});
  service.reply("/api/Account/RelatedAccounts", TestReply{200, {}, R"(["studio"])"});
  plugin->state->userName.set("ann@example.com");
  plugin->state->password.set("pw");
  int nestedCallbacks = 0;
  callback = [&](COSettingsCallbackAction, const std::optional<COValue>&) {
    ++reloads;
    EXPECT_TRUE(plugin->handle(
        COSettingsEvent::clicked, {"logout-action"},
        [&](COSettingsCallbackAction, const std::optional<COValue>&) { ++nestedCallbacks; },
        nullptr));
  };
  EXPECT_TRUE(press("login-action"));
  EXPECT_EQ(reloads, 1);
  EXPECT_EQ(nestedCallbacks, 0);
  EXPECT_FALSE(plugin->isHandlingAction);
  EXPECT_EQ(plugin->state->account.get(), "studio");  // the logout never happened
}

TEST_F(SettingsPage, ServiceButtonsStoreTheAnswerAndRedrawThePage) {
  authenticate();
  const std::string refresh = "refreshAccounts-action", credits = "checkCredits-action";
  const struct {
    std::string id;
    TestReply reply;
    std::optional<Texts> accounts;
    const char* account;  // chosen after the event; nullptr: none
    std::optional<double> creditsUsed;
  } cases[] = {
      {refresh, {200, {}, R"(["family","studio"])"}, Texts{"family", "studio"}, nullptr, {}},
      {refresh, {200, {}, "[]"}, Texts{}, nullptr, {}},
      {refresh, {200, {}, R"(["solo"])"}, Texts{"solo"}, "solo", {}},
      {credits, {200, {}, R"({"creditsUsed":3})"}, Texts{"solo"}, "solo", 3},
      {credits, {.body = "{}", .dropAfter = 0}, Texts{"solo"}, "solo", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id + " " + c.reply.body);
    service.reply("/api/Account/RelatedAccounts", c.reply);
    service.reply("/api/solo/credits", c.reply);
    plugin->state->creditsUpdated = false;
    const int before = reloads;
    EXPECT_TRUE(press(c.id));
    EXPECT_EQ(reloads, before + 1);
    EXPECT_EQ(plugin->state->accounts.get(), c.accounts);
    EXPECT_EQ(plugin->state->account.get(), c.account ? OptionalString(c.account) : std::nullopt);
    if (c.id == credits) {
      EXPECT_TRUE(plugin->state->creditsUpdated);
      const auto info = plugin->state->creditsInfo.get();
      EXPECT_EQ(info ? std::optional((*info)["creditsUsed"].numberValue()) : std::nullopt,
                c.creditsUsed);
    }
  }
  // The account chosen for the user brings its album list, as a chosen one does.
  EXPECT_TRUE(
      testing::waitUntil([&] { return !service.requests("/api/solo/containers/").empty(); }));
}

TEST_F(SettingsPage, AccountNameAndEmailAreCheckedAndCreationClosesTheFormOnlyWithAToken) {
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
  EXPECT_EQ(plugin->state->accounts.get(), Texts{"new-studio"}) << "the account list";
  EXPECT_TRUE(plugin->state->isCreatingAccount);
  EXPECT_EQ(reloads, 0);
  // With a token the form closes and the page is redrawn.
  service.reply("/Token", TestReply{200, {}, R"({"access_token":"t2","token_type":"bearer"})"});
  EXPECT_TRUE(press("createDo-action"));
  EXPECT_FALSE(plugin->state->isCreatingAccount);
  EXPECT_EQ(reloads, 1);
  // The account name and e-mail checks.
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
    Texts labels;
  };
  const Case cases[] = {
      {JSON{{"creditsUsed", 12}, {"creditsLimit", 100.0}, {"extraCredits", -0.0}},
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
    Texts expected;
    for (const auto& label : c.labels) expected.push_back("label:" + label);
    expected.push_back("button:checkCredits-action Refresh");
    expected.push_back("label:Settings:");
    auto lines = group(&VoreliaC1Plugin::autoTaggingWrapperSettings);
    lines.resize(expected.size());
    EXPECT_EQ(lines, expected);
  }
}

TEST_F(SettingsPage, TaggingChoicesAreShownStoredAndReadBackAfterARestart) {
  const auto boxes = [&] { return group(&VoreliaC1Plugin::autoTaggingSettings); };
  // The first start turns on general concepts and faces only, and rates with the green tag.
  auto expected = boxes();
  ASSERT_EQ(expected.size(), 12u);  // a label, then the options
  for (std::size_t i = 1; i < expected.size(); ++i) {
    EXPECT_EQ(expected[i].ends_with("=on"), i <= 2) << expected[i];
  }
  EXPECT_EQ(expected[2], "bool:face-input=on");
  EXPECT_EQ(defaults->string("taggingOption"), "Green");

  set("general-input", false);
  set("describe-input", true);
  set("texture-input", true);
  set("face-input", std::string("false"));  // not a Boolean: ignored
  set("landmark-input", 1.0);
  expected[1] = "bool:general-input=off";
  expected[4] = "bool:describe-input=on";
  expected[11] = "bool:texture-input=on";
  EXPECT_EQ(boxes(), expected);
  // The rating choice is stored as text.
  const std::pair<COValue, std::string> ratings[] = {
      {std::string("Purple"), "Purple"},
      {std::string("Teal"), "Teal"},  // kept as given; the ratings script treats it as Green
      {3.0, "3"},
      {Texts{"Red"}, "Green"},
      {std::string("4"), "4"},
  };
  for (const auto& [value, stored] : ratings) {
    set("taggingOptions-action", value);
    EXPECT_EQ(plugin->state->taggingOption.get(), stored);
    EXPECT_EQ(defaults->string(Key(P::TaggingOption)), stored);
  }
  EXPECT_EQ(reloads, 0);
  plugin.emplace();  // a restart reads them back from the defaults
  EXPECT_EQ(boxes(), expected);
  EXPECT_EQ(plugin->state->taggingOption.get(), "4");
}

JSON Album(const char* name, std::vector<JSON> items) {
  return JSON{{"name", name}, {"value", JSON(std::move(items))}};
}
JSON Item(const char* name, JSON rating) { return JSON{{"name", name}, {"rating", rating}}; }

// Before any search the page offers one; the connected page shows that.
TEST_F(SettingsPage, ProofingGroupFollowsTheSearchWhichKeepsRatedItemsAsEntries) {
  const auto proofing = [&] { return group(&VoreliaC1Plugin::proofingSettings); };
  plugin->state->containersWithRatings.set(Albums{});
  EXPECT_EQ(
      proofing(),
      Texts{"button:checkAlbumsRatings-action no albums with ratings found, try again later"});
  plugin->state->containersWithRatings.set(Albums{{"Wedding", Texts(12, "a.")}, {"Beach", {"b."}}});
  EXPECT_EQ(proofing(),
            (Texts{"list:taggingOptions-action=Green 1|stars rating 1 2|stars rating 2 3|stars "
                   "rating 3 4|stars rating 4 5|stars rating 5 Red|color tag Red Orange|color "
                   "tag Orange Yellow|color tag Yellow Green|color tag Green Blue|color tag Blue "
                   "Pink|color tag Pink Purple|color tag Purple",
                   "multilist:albumRating-action (filtered) Beach|Beach (1) Wedding|Wedding (12)",
                   "button:checkAlbumsRatings-action refresh"}));
  plugin->state->ratingsUpdated = true;
  EXPECT_EQ(proofing(),
            Texts{"button:checkAlbumsRatings-action Ratings applied, click to refresh"});
  // Looking for ratings keeps the rated items as entries.
  logIn("studio");
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
  EXPECT_EQ(*albums, (Albums{{"Beach", {"Anna's portrait.", "Beach_01.tar.", "Raw."}},
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
  plugin->state->containersWithRatings.set(Albums{{"Beach", {"B1.", "B2."}}, {"Wedding", {"W1."}}});
  const auto script = [&] {
    std::ostringstream text;
    text << std::ifstream(ran).rdbuf();
    fs::remove(ran);
    return text.str();
  };

  set("albumRating-action", Texts{});  // nothing chosen: nothing happens
  EXPECT_EQ(platform::MainQueue::shared().drain(), 0u);
  EXPECT_EQ(reloads, 0);

  set("taggingOptions-action", std::string("Teal"));
  set("albumRating-action", Texts{"Wedding", "Beach"});
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
  set("albumRating-action", Texts{"Gone"});
  EXPECT_EQ(platform::MainQueue::shared().drain(), 1u);
  EXPECT_FALSE(fs::exists(ran));
}

}  // namespace
}  // namespace vorelia::testing_plugin
