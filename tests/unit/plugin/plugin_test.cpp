// The plugin's start, its publishing operations for the host, and the errors the host sees.
#include "plugin_fixture.h"

namespace vorelia::testing_plugin {
namespace {

// A later start keeps the login and the user's choices; a missing option reads as off.
TEST_F(Construction, RestoresTheLoginAndTheChoicesOfALaterStart) {
  defaults->set("isInitialized", true);
  defaults->set(Key(P::TextureIdentifier), true);
  defaults->set(Key(P::UserName), std::string("ann@example.com"));
  defaults->set(Key(P::Account), std::string("ann"));
  defaults->set(Key(P::AuthenticationHeader), std::string("BEARER abc"));
  defaults->set(Key(P::AuthenticationHeaderLastRefresh),
                std::chrono::system_clock::now() - std::chrono::hours(30));
  Keychain::save("s3cret & more", P::Password);

  VoreliaC1Plugin plugin;
  const auto& s = *plugin.state;
  EXPECT_EQ(s.userName.get(), "ann@example.com");
  EXPECT_EQ(s.account.get(), "ann");
  EXPECT_EQ(s.password.get(), "s3cret & more");
  EXPECT_EQ(s.authenticationHeader(), "BEARER abc");
  EXPECT_TRUE(s.IsAuthenticated());  // the date was read back too
  EXPECT_FALSE(s.general || s.face);
  EXPECT_TRUE(s.texture);
  EXPECT_EQ(s.taggingOption.get(), "Green");  // missing falls back
}

TEST_F(Construction, AlbumsAreRefreshedOnlyWithAStoredAccountUserNameAndPassword) {
  service.reply("/*", TestReply{.stall = true});  // a started refresh stays visible
  const struct {
    const char *account, *userName, *password;  // nullptr: not stored
    bool refreshes;
  } cases[] = {
      {"ann", "ann@example.com", "pw", true},     {"", "ann@example.com", "pw", true},
      {"ann", "ann@example.com", nullptr, false}, {"ann", nullptr, "pw", false},
      {nullptr, "ann@example.com", "pw", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::vector{c.account, c.userName, c.password}));
    for (const auto& [key, value] :
         {std::pair{Key(P::Account), c.account}, std::pair{Key(P::UserName), c.userName}}) {
      if (value) {
        defaults->set(key, std::string(value));
      } else {
        defaults->remove(key);
      }
    }
    if (c.password) {
      Keychain::save(c.password, P::Password);
    } else {
      Keychain::remove(P::Password);
    }
    VoreliaC1Plugin plugin;
    EXPECT_EQ(plugin.state->isRefreshingContainers, c.refreshes);
  }
}

// A check without an answer keeps the version found before. Only a string names a version: a
// number's text would order after the running version and start a download.
TEST_F(Construction, AnUpdateCheckTakesOnlyAVersionTextAndOrdersItAsPlainText) {
  const std::pair<TestReply, const char*> cases[] = {
      {{.body = R"({"version":"9"})", .dropAfter = 0}, "0.0.9"},
      {{.body = R"({"version": 9})"}, ""},
      {{.body = R"({"version": true})"}, ""},
  };
  for (const auto& [reply, found] : cases) {
    service.reply("/updates/details.json", reply);
    auto state = std::make_shared<PluginState>(Deployment::FromEnvironment(), "0.1.0");
    state->updateVersion.set("0.0.9");
    auto api = std::make_shared<Api>(state);
    StartUpdateCheck(*api);
    // The check's completion holds the Api until it has run.
    ASSERT_TRUE(testing::waitUntil([&] { return api.use_count() == 1; })) << reply.body;
    EXPECT_EQ(state->updateVersion.get(), found) << reply.body;
  }
  // A published version is newer as plain text.
  const struct {
    std::string current;
    std::optional<std::string> published;
    bool download;
  } orders[] = {
      {"0.1.5-beta", "0.1.6", true},
      {"0.1.5-beta", "0.1.5", false},  // a prefix orders first
      {"0.1.5-beta", "0.1.5-beta", false},
      {"0.1.5-beta", std::nullopt, false},
      {"0.1.10", "0.1.9", true},             // '1' < '9': text order, not version order
      {"0.1.5-\xC3\xA9", "0.1.5-z", false},  // by scalar value: U+00E9 after 'z'
  };
  for (const auto& c : orders) {
    EXPECT_EQ(IsNewerVersion(c.current, c.published), c.download)
        << c.current << " -> " << c.published.value_or("(absent)");
  }
}

// The first-run defaults are marked as written only once they are: a start that could not store
// them (a file where the folder of the defaults was) leaves the next start to write them again.
TEST_F(Construction, TheFirstStartIsMarkedOnlyOnceItsDefaultsAreStored) {
  const std::filesystem::path folder = defaults->path().parent_path();
  std::filesystem::create_directories(folder.parent_path());
  std::ofstream(folder) << "in the way";
  VoreliaC1Plugin{};
  std::filesystem::remove(folder);
  EXPECT_FALSE(defaults->boolean("isInitialized"));
  VoreliaC1Plugin{};
  const UserDefaults stored(defaults->path());
  EXPECT_TRUE(stored.boolean("isInitialized") && stored.boolean("general-input") &&
              stored.boolean("face-input"));
}

TEST_F(HostOperations, OfferedActionsDependOnTheAccountAndTheFileCountAndTasksCoverAllFiles) {
  struct Case {
    const char* account;  // nullptr: none stored
    std::uint64_t files;
    Texts expected;
  };
  const std::string login(Publish::Login), ai(Publish::AI), share(Publish::Share),
      proofing(Publish::Proofing);
  const Case cases[] = {
      {nullptr, 0, {login}},
      {"", 3, {login}},
      {"studio", 0, {}},
      {"studio", 1, {ai, share, proofing}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.account ? c.account : "(none)") + " " + std::to_string(c.files));
    plugin->state->account.set(c.account ? OptionalString(c.account) : std::nullopt);
    EXPECT_EQ(Identifiers(plugin->publishingActionsFileCount(c.files, nullptr)), c.expected);
  }
  // A publishing action's one task covers all its files; other actions have none.
  const Texts files{"/x/b.jpg", "/x/a.jpg", "/x/c.jpg"};
  for (auto id : {Publish::AI, Publish::Share, Publish::Proofing}) {
    auto a = std::make_shared<COPluginAction>(action(id));
    const auto tasks = plugin->tasks(a, files, nullptr);
    ASSERT_EQ(tasks.size(), 1u) << id;
    EXPECT_EQ(tasks[0]->files, files);
    EXPECT_EQ(tasks[0]->action, a);
    EXPECT_TRUE(plugin->tasks(a, {}, nullptr).empty());
  }
  for (auto id : {Publish::Login, Publish::Embed, Publish::Transfer, std::string_view("other")}) {
    EXPECT_TRUE(plugin->tasks(std::make_shared<COPluginAction>(action(id)), files, nullptr).empty())
        << id;
  }
}

TEST_F(HostOperations, AlbumPanelListsAlbumsAndFollowsTheChoice) {
  plugin->state->containers.set({JSON{{"id", "c1"}, {"name", "Wedding"}}, JSON{{"id", 7}}});
  const auto panel = [&](std::string_view id, COActionSettingsDictionary settings) {
    return Page(plugin->settings(action(id), settings, nullptr));
  };
  const std::string albums = " create|+ create album -- c1|Wedding 7|";
  EXPECT_EQ(panel(Publish::Share, {}),
            (Texts{"[Album]", "list:albumsList-input=create" + albums,
                   "text:albumName-input=(none)", "bool:albumDownload-input=off"}));
  // No album name for an existing album.
  EXPECT_EQ(panel(Publish::Proofing,
                  {{"albumsList-input", std::string("c1")}, {"albumDownload-input", true}}),
            (Texts{"[Album]", "list:albumsList-input=c1" + albums, "bool:albumDownload-input=on"}));
  // A value of another type counts as none.
  EXPECT_EQ(panel(Publish::Share, {{"albumsList-input", 3.0},
                                   {"albumName-input", std::string("N")},
                                   {"albumDownload-input", std::string("yes")}}),
            (Texts{"[Album]", "list:albumsList-input=create" + albums, "text:albumName-input=N",
                   "bool:albumDownload-input=off"}));
  EXPECT_EQ(panel(Publish::Transfer, {}).size(), 3u);  // no download switch
  EXPECT_EQ(panel(Publish::AI, {}).size(), 7u);
  EXPECT_TRUE(panel(Publish::Login, {}).empty());
  // Only the album choice asks for a new panel.
  for (auto id : {P::AlbumsListIdentifier, P::AlbumNameIdentifier, P::AlbumDownloadIdentifier}) {
    auto out = COActionSettingsCallbackAction::none;
    EXPECT_TRUE(plugin->didUpdateValue(COValue{std::string("x")}, std::string(id),
                                       action(Publish::Share), {}, &out, nullptr));
    EXPECT_EQ(out == COActionSettingsCallbackAction::reloadSettings, id == P::AlbumsListIdentifier)
        << id;
  }
}

TEST_F(HostOperations, ExportSettingsKeepTheirTypes) {
  const auto ai = plugin->processingSettings(action(Publish::AI), nullptr).value();
  EXPECT_EQ(ai.size(), 8u);
  const auto& scale = ai.at(COProcessLongEdgeScaleKey);
  ASSERT_EQ(scale.kind(), COProcessValue::Kind::dictionary);
  EXPECT_EQ(*scale.member(COProcessScaleLengthKey), COProcessValue::Signed(4096));
  EXPECT_EQ(*scale.member(COProcessScaleUnitKey), COProcessValue::Unsigned(0));
  EXPECT_EQ(ai.at(COProcessJpegQualityKey), COProcessValue::Signed(75));
  EXPECT_EQ(ai.at(COProcessIncludeKeywordsMetadataKey), COProcessValue::Signed(1));
  EXPECT_EQ(ai.at(COProcessIncludeAnnotationsKey), COProcessValue::Boolean(false));

  const auto share = plugin->processingSettings(action(Publish::Share), nullptr).value();
  EXPECT_EQ(share.size(), 5u);
  EXPECT_EQ(share.at(COProcessJpegQualityKey), COProcessValue::Signed(85));
  EXPECT_EQ(share.at(COProcessIncludeAnnotationsKey), COProcessValue::Boolean(false));
  // JPEG (1) first among the formats offered; the analysis takes nothing else.
  using V = COProcessValue;
  EXPECT_EQ(ai.at(COSupportedFileFormatsKey), V::MakeArray({V::Unsigned(1)}));
  EXPECT_EQ(share.at(COSupportedFileFormatsKey),
            V::MakeArray(
                {V::Unsigned(1), V::Unsigned(7), V::Unsigned(2), V::Unsigned(8), V::Unsigned(6)}));
}

// Every task that started posts one usage record, also when its workflow fails.
TEST_F(HostOperations, TasksThatCannotRunFailWithAnErrorAndStartedOnesAreCounted) {
  for (auto* option : {&plugin->state->general, &plugin->state->face}) *option = false;
  const Texts one{"/x/a.jpg"}, three{"/x/a.jpg", "/x/b.jpg", "/x/c.jpg"};
  const std::string taskError = "VoreliaC1Plugin.TaskError ";
  const struct {
    const char* account;  // nullptr: nobody logged in
    std::string_view id;
    Texts files;
    std::string error;  // domain and code
  } cases[] = {
      {nullptr, Publish::Share, one, taskError + "0"},
      {"", Publish::Share, one, taskError + "0"},  // an empty account is none
      {"studio", Publish::Share, {}, taskError + "1"},
      {"studio", Publish::Embed, one, taskError + "2"},
      {"studio", Publish::Login, one, taskError + "2"},
      {"studio", Publish::AI, three, "VoreliaC1Plugin.PluginError 9"},  // no tagging option
  };
  authenticate();
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.id) + " " + std::to_string(c.files.size()));
    plugin->state->account.set(c.account ? OptionalString(c.account) : std::nullopt);
    COFileHandlingPluginTask task(std::make_shared<COPluginAction>(action(c.id)), c.files);
    COError error;
    EXPECT_FALSE(plugin->startPublishingTask(task, {}, &error).has_value());
    EXPECT_EQ(error.domain + " " + std::to_string(error.code), c.error);
    EXPECT_FALSE(error.localizedDescription.empty());
    // Without an error slot a failure is still no result, never a crash.
    if (!c.account) {
      EXPECT_FALSE(plugin->startPublishingTask(task, {}, nullptr).has_value());
    }
  }

  ASSERT_TRUE(
      testing::waitUntil([&] { return service.requests("/statsc1/messages").size() >= 3; }));
  std::vector<std::optional<std::string>> bodies;
  for (const auto& request : service.requests("/statsc1/messages")) {
    EXPECT_EQ(request.method, "POST");
    bodies.push_back(request.body);
  }
  const auto record = [](const char* action, std::uint64_t count) {
    return QueueMessageBody(JSON{{"action", action}, {"account", "studio"}, {"imageCount", count}});
  };
  EXPECT_THAT(bodies, ::testing::UnorderedElementsAre(record("voreliaPublishEmbed", 1),
                                                      record("voreliaPublishLogin", 1),
                                                      record("voreliaPublishAI", 3)));
}

TEST(PluginErrors, ReachTheHostWithDomainCodeAndMessage) {
  const char* messages[] = {"Invalid  Account name",
                            "Account already taken, or invalid characteres",
                            "Invalid  e-mail",
                            "Password cannot be empty",
                            "Wrong e-mail or password",
                            "Can't find account",
                            "Not Enough Credits",
                            "Server Error",
                            "Make sure you export in jpeg long edge max 4096px quality 75",
                            "You need at least one tagging option",
                            "The login could not be saved on this computer",
                            "The login could not be removed from this computer",
                            "Your login has expired. Log in again in Capture One > Preferences > "
                            "Plugins > Vorelia"};
  for (std::int64_t code = 0; code < 13; ++code) {
    COError error;
    EXPECT_FALSE(Guard(&error, false, [&]() -> bool { throw static_cast<PluginError>(code); }));
    EXPECT_EQ(error.domain, "VoreliaC1Plugin.PluginError") << code;
    EXPECT_EQ(error.code, code);
    EXPECT_EQ(error.localizedDescription, messages[code]) << code;
    EXPECT_EQ(error.failureReason, messages[code]) << code;
  }
}

}  // namespace
}  // namespace vorelia::testing_plugin
