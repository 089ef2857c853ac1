#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "api/queue_message.h"
#include "model/keychain.h"
#include "model/keys.h"
#include "platform/user_defaults.h"
#include "plugin/host_boundary.h"
#include "plugin/update_check.h"
#include "plugin/vorelia_c1_plugin.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia {
namespace {

using platform::UserDefaults;

std::string Key(std::string_view key) { return std::string(key); }

using testing::TestReply;

class Construction : public ::testing::Test {
 protected:
  testing::TempHome home;
  std::shared_ptr<UserDefaults> defaults = UserDefaults::standard();
  testing::HttpTestServer service;
  testing::ScopedEnvironment api{"VORELIA_API_URL", service.url("/")};
  testing::ScopedEnvironment updates{"VORELIA_UPDATE_URL", service.url("/updates/")};
  testing::ScopedEnvironment queue{"VORELIA_QUEUE_URL", service.url("/statsc1/messages?sig=s")};
};

TEST_F(Construction, FirstStartWritesTheFirstRunDefaults) {
  VoreliaC1Plugin plugin;
  EXPECT_TRUE(defaults->boolean("isInitialized"));
  EXPECT_TRUE(defaults->boolean(Key(P::GeneralIdentifier)));
  EXPECT_TRUE(defaults->boolean(Key(P::FaceIdentifier)));
  EXPECT_EQ(defaults->string(Key(P::TaggingOption)), "Green");

  const auto& s = *plugin.state;
  EXPECT_TRUE(s.general);
  EXPECT_TRUE(s.face);
  for (const auto* flag : {&s.adult, &s.describe, &s.celebrity, &s.landmark, &s.wedding, &s.food,
                           &s.travel, &s.apparel, &s.texture}) {
    EXPECT_FALSE(*flag);
  }
  EXPECT_EQ(s.taggingOption.get(), "Green");
}

TEST_F(Construction, LaterStartsKeepTheUsersChoices) {
  defaults->set("isInitialized", true);
  defaults->set(Key(P::GeneralIdentifier), false);
  defaults->set(Key(P::TextureIdentifier), true);
  VoreliaC1Plugin plugin;
  EXPECT_FALSE(plugin.state->general);
  EXPECT_FALSE(plugin.state->face);  // missing reads as off
  EXPECT_TRUE(plugin.state->texture);
  EXPECT_EQ(plugin.state->taggingOption.get(), "Green");  // missing falls back, unwritten
  EXPECT_FALSE(defaults->boolean(Key(P::GeneralIdentifier)));
  EXPECT_FALSE(defaults->object(Key(P::FaceIdentifier)).has_value());
  EXPECT_FALSE(defaults->string(Key(P::TaggingOption)).has_value());
}

TEST_F(Construction, RestoresTheLoginFromDefaultsAndKeychain) {
  const auto refreshed = std::chrono::system_clock::now() - std::chrono::hours(30);
  defaults->set(Key(P::UserName), std::string("ann@example.com"));
  defaults->set(Key(P::Account), std::string("ann"));
  defaults->set(Key(P::AuthenticationHeader), std::string("BEARER abc"));
  defaults->set(Key(P::AuthenticationHeaderLastRefresh), refreshed);
  Keychain::save("s3cret & more", P::Password);

  VoreliaC1Plugin plugin;
  const auto& s = *plugin.state;
  EXPECT_EQ(s.userName.get(), "ann@example.com");
  EXPECT_EQ(s.account.get(), "ann");
  EXPECT_EQ(s.password.get(), "s3cret & more");
  EXPECT_EQ(s.authenticationHeader(), "BEARER abc");
  ASSERT_TRUE(s.authenticationHeaderLastRefresh().has_value());
  EXPECT_LT(std::chrono::abs(*s.authenticationHeaderLastRefresh() - refreshed),
            std::chrono::milliseconds(1));
  EXPECT_TRUE(s.IsAuthenticated());

  // A stored refresh date of another type is ignored.
  defaults->set(Key(P::AuthenticationHeaderLastRefresh), std::string("2026-12-01"));
  VoreliaC1Plugin later;
  EXPECT_EQ(later.state->authenticationHeader(), "BEARER abc");
  EXPECT_FALSE(later.state->authenticationHeaderLastRefresh() || later.state->IsAuthenticated());
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

TEST_F(Construction, AStalledDocumentHoldsNothingUp) {
  service.reply("/updates/details.json", TestReply{.stall = true});
  VoreliaC1Plugin plugin("0.1.9");
  EXPECT_EQ(plugin.state->currentVersion, "0.1.9");
  ASSERT_TRUE(service.waitForRequests(1));
  EXPECT_FALSE(plugin.state->updateVersion.get().has_value());
}

TEST_F(Construction, ACheckWithoutAnAnswerKeepsThePreviousVersion) {
  service.reply("/updates/details.json", TestReply{.body = R"({"version":"9"})", .dropAfter = 0});
  auto state = std::make_shared<PluginState>(Deployment::FromEnvironment(), "0.1.0");
  state->updateVersion.set("0.0.9");
  auto api = std::make_shared<Api>(state);
  StartUpdateCheck(*api);
  // The check's completion holds the Api until it has run.
  ASSERT_TRUE(testing::waitUntil([&] { return api.use_count() == 1; }));
  EXPECT_EQ(state->updateVersion.get(), "0.0.9");
}

TEST_F(Construction, OnlyAStringNamesAVersion) {
  // A number's text would order after the running version and start a download.
  for (const char* document : {R"({"name": "x"})", R"({"version": 9})", R"({"version": true})",
                               R"({"version": {"v": "9"}})", R"({"version": ["9"]})"}) {
    service.reply("/updates/details.json", TestReply{200, {}, document});
    VoreliaC1Plugin plugin;
    ASSERT_TRUE(testing::waitUntil([&] { return plugin.state->updateVersion.get().has_value(); }))
        << document;
    EXPECT_EQ(plugin.state->updateVersion.get(), "") << document;
  }
}

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

std::vector<std::string> Titles(const std::vector<COSettingsElementsGroup>& groups) {
  std::vector<std::string> titles;
  for (const auto& g : groups) titles.push_back(g.title);
  return titles;
}

std::vector<std::string> Identifiers(
    const std::vector<std::shared_ptr<const COPluginAction>>& actions) {
  std::vector<std::string> ids;
  for (const auto& a : actions) ids.push_back(a->identifier);
  return ids;
}

class HostOperations : public Construction {
 protected:
  VoreliaC1Plugin plugin;

  void logIn(const char* account) {
    plugin.state->account.set(account);
    plugin.state->setAuthentication("BEARER t", std::chrono::system_clock::now());
  }
  COPluginAction action(std::string_view identifier) {
    COPluginAction a("test");
    a.identifier = std::string(identifier);
    return a;
  }
};

TEST_F(HostOperations, AnEmptyAccountOrAnExpiredLoginShowsOnlyTheConnection) {
  logIn("studio");
  ASSERT_EQ(Titles(plugin.settings(nullptr)).size(), 3u);
  logIn("");
  EXPECT_EQ(Titles(plugin.settings(nullptr)), std::vector<std::string>{"Connection"});
  plugin.state->account.set("studio");
  plugin.state->setAuthentication("BEARER t",
                                  std::chrono::system_clock::now() - std::chrono::hours(24 * 11));
  EXPECT_EQ(Titles(plugin.settings(nullptr)), std::vector<std::string>{"Connection"});
}

TEST_F(HostOperations, OfferedActionsDependOnTheAccountOnly) {
  struct Case {
    const char* account;  // nullptr: none stored
    std::uint64_t files;
    std::vector<std::string> expected;
  };
  const std::string login(Publish::Login), ai(Publish::AI), share(Publish::Share),
      proofing(Publish::Proofing);
  const Case cases[] = {
      {nullptr, 0, {login}},
      {nullptr, 3, {login}},
      {"", 3, {login}},
      {"studio", 0, {}},
      {"studio", 1, {ai, share, proofing}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.account ? c.account : "(none)") + " " + std::to_string(c.files));
    plugin.state->account.set(c.account ? OptionalString(c.account) : std::nullopt);
    EXPECT_EQ(Identifiers(plugin.publishingActionsFileCount(c.files, nullptr)), c.expected);
  }
  // The same shared objects every time.
  plugin.state->account.set("studio");
  EXPECT_EQ(plugin.publishingActionsFileCount(1, nullptr)[0],
            plugin.publishingActionsFileCount(2, nullptr)[0]);
}

TEST_F(HostOperations, TasksCoverAllFilesOfAPublishingAction) {
  const std::vector<std::string> files{"/x/b.jpg", "/x/a.jpg", "/x/c.jpg"};
  for (auto id : {Publish::AI, Publish::Share, Publish::Proofing}) {
    auto a = std::make_shared<COPluginAction>(action(id));
    const auto tasks = plugin.tasks(a, files, nullptr);
    ASSERT_EQ(tasks.size(), 1u) << id;
    EXPECT_EQ(tasks[0]->files, files);
    EXPECT_EQ(tasks[0]->action, a);
    EXPECT_TRUE(plugin.tasks(a, {}, nullptr).empty());
  }
  for (auto id : {Publish::Login, Publish::Embed, Publish::Transfer, std::string_view("other")}) {
    EXPECT_TRUE(plugin.tasks(std::make_shared<COPluginAction>(action(id)), files, nullptr).empty())
        << id;
  }
}

TEST_F(HostOperations, AlbumPanelListsAlbumsAndFollowsTheChoice) {
  plugin.state->containers.set({JSON{{"id", "c1"}, {"name", "Wedding"}}, JSON{{"id", 7}}});
  const auto panel = [&](std::string_view id, COActionSettingsDictionary settings) {
    return plugin.settings(action(id), settings, nullptr);
  };

  auto groups = panel(Publish::Share, {});
  ASSERT_EQ(groups.size(), 1u);
  EXPECT_EQ(groups[0].title, "Album");
  ASSERT_EQ(groups[0].elements.size(), 3u);
  const auto& list = std::get<COSettingsListItem>(groups[0].elements[0]);
  EXPECT_EQ(list.value, "create");
  std::vector<std::string> options;
  for (const auto& o : list.options)
    options.push_back(o.isSeparator ? "--" : o.value + "|" + o.title);
  EXPECT_EQ(options, (std::vector<std::string>{"create|+ create album", "--", "c1|Wedding", "7|"}));
  EXPECT_FALSE(std::get<COSettingsTextItem>(groups[0].elements[1]).value.has_value());
  EXPECT_FALSE(std::get<COSettingsBoolItem>(groups[0].elements[2]).value);

  groups = panel(Publish::Proofing,
                 {{"albumsList-input", std::string("c1")}, {"albumDownload-input", true}});
  ASSERT_EQ(groups[0].elements.size(), 2u);  // no album name for an existing album
  EXPECT_TRUE(std::get<COSettingsBoolItem>(groups[0].elements[1]).value);

  groups = panel(Publish::Share, {{"albumsList-input", 3.0},
                                  {"albumName-input", std::string("N")},
                                  {"albumDownload-input", std::string("yes")}});
  EXPECT_EQ(std::get<COSettingsListItem>(groups[0].elements[0]).value, "create");
  EXPECT_EQ(std::get<COSettingsTextItem>(groups[0].elements[1]).value, "N");
  EXPECT_FALSE(std::get<COSettingsBoolItem>(groups[0].elements[2]).value);

  EXPECT_EQ(panel(Publish::Transfer, {}).at(0).elements.size(), 2u);  // no download switch
  EXPECT_EQ(panel(Publish::AI, {}).at(0).elements.size(), 6u);
  EXPECT_TRUE(panel(Publish::Login, {}).empty());
}

TEST_F(HostOperations, OnlyTheAlbumChoiceAsksForANewPanel) {
  for (auto id : {P::AlbumsListIdentifier, P::AlbumNameIdentifier, P::AlbumDownloadIdentifier}) {
    auto out = COActionSettingsCallbackAction::none;
    EXPECT_TRUE(plugin.didUpdateValue(COValue{std::string("x")}, std::string(id),
                                      action(Publish::Share), {}, &out, nullptr));
    EXPECT_EQ(out == COActionSettingsCallbackAction::reloadSettings, id == P::AlbumsListIdentifier)
        << id;
  }
}

TEST_F(HostOperations, ExportSettingsKeepTheirTypes) {
  const auto ai = plugin.processingSettings(action(Publish::AI), nullptr).value();
  EXPECT_EQ(ai.size(), 8u);
  const auto& scale = ai.at(COProcessLongEdgeScaleKey);
  ASSERT_EQ(scale.kind(), COProcessValue::Kind::dictionary);
  EXPECT_EQ(*scale.member(COProcessScaleLengthKey), COProcessValue::Signed(4096));
  EXPECT_EQ(*scale.member(COProcessScaleUnitKey), COProcessValue::Unsigned(0));
  EXPECT_EQ(ai.at(COProcessJpegQualityKey), COProcessValue::Signed(75));
  EXPECT_EQ(ai.at(COProcessIncludeKeywordsMetadataKey), COProcessValue::Signed(1));
  EXPECT_EQ(ai.at(COProcessIncludeAnnotationsKey), COProcessValue::Boolean(false));

  const auto share = plugin.processingSettings(action(Publish::Share), nullptr).value();
  EXPECT_EQ(share.size(), 5u);
  EXPECT_EQ(share.at(COProcessJpegQualityKey), COProcessValue::Signed(85));
  EXPECT_EQ(share.at(COProcessIncludeAnnotationsKey), COProcessValue::Boolean(false));
  EXPECT_EQ(share.at(COSupportedFileFormatsKey).arrayValue().size(), 5u);
  EXPECT_EQ(share.at(COSupportedFileFormatsKey).arrayValue()[1], COProcessValue::Unsigned(7));
  EXPECT_EQ(plugin.processingSettingsVisibility(action(Publish::Share)), ~0ULL);
}

TEST_F(HostOperations, TasksThatCannotRunFailWithAnError) {
  for (auto* option : {&plugin.state->general, &plugin.state->face}) *option = false;
  const std::vector<std::string> one{"/x/a.jpg"};
  const struct {
    std::string_view id;
    std::vector<std::string> files;
    const char* domain;
    std::int64_t code;
    const char* message;  // nullptr: any text
  } cases[] = {
      {Publish::Share, one, "VoreliaC1Plugin.TaskError", 0, nullptr},  // nobody logged in
      {Publish::Share, {}, "VoreliaC1Plugin.TaskError", 1, nullptr},
      {Publish::Embed, one, "VoreliaC1Plugin.TaskError", 2, nullptr},
      {Publish::Login, one, "VoreliaC1Plugin.TaskError", 2, nullptr},
      {Publish::AI, one, "VoreliaC1Plugin.PluginError", 9, "You need at least one tagging option"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.id) + " " + std::to_string(c.files.size()));
    COFileHandlingPluginTask task(std::make_shared<COPluginAction>(action(c.id)), c.files);
    COError error;
    EXPECT_FALSE(plugin.startPublishingTask(task, {}, &error).has_value());
    EXPECT_EQ(error.domain, c.domain);
    EXPECT_EQ(error.code, c.code);
    EXPECT_FALSE(error.localizedDescription.empty());
    if (c.message) {
      EXPECT_EQ(error.localizedDescription, c.message);
    }
    logIn("studio");
  }
  // Without an error slot the failure is still reported as no result, never a crash.
  COFileHandlingPluginTask task(std::make_shared<COPluginAction>(action(Publish::Share)), {});
  EXPECT_FALSE(plugin.startPublishingTask(task, {}, nullptr).has_value());
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
                            "You need at least one tagging option"};
  for (std::int64_t code = 0; code < 10; ++code) {
    COError error;
    EXPECT_FALSE(Guard(&error, false, [&]() -> bool { throw static_cast<PluginError>(code); }));
    EXPECT_EQ(error.domain, "VoreliaC1Plugin.PluginError") << code;
    EXPECT_EQ(error.code, code);
    EXPECT_EQ(error.localizedDescription, messages[code]) << code;
    EXPECT_EQ(error.failureReason, messages[code]) << code;
  }
}

TEST_F(HostOperations, EveryStartedTaskPostsOneUsageRecordEvenWhenItsWorkflowFails) {
  plugin.state->account.set("studio");
  for (auto* option : {&plugin.state->general, &plugin.state->face}) *option = false;
  const auto start = [&](std::string_view id, std::vector<std::string> files) {
    COFileHandlingPluginTask task(std::make_shared<COPluginAction>(action(id)), std::move(files));
    COError error;
    EXPECT_FALSE(plugin.startPublishingTask(task, {}, &error).has_value()) << id;
  };
  start(Publish::AI, {"/x/a.jpg", "/x/b.jpg", "/x/c.jpg"});  // refused: no tagging option
  start(Publish::Embed, {"/x/a.jpg"});                       // no workflow for it
  start(Publish::Share, {});  // no files: nothing to count, no task to record

  ASSERT_TRUE(
      testing::waitUntil([&] { return service.requests("/statsc1/messages").size() >= 2; }));
  std::vector<std::optional<std::string>> bodies;
  for (const auto& request : service.requests("/statsc1/messages")) {
    EXPECT_EQ(request.method, "POST");
    bodies.push_back(request.body);
  }
  EXPECT_THAT(bodies, ::testing::UnorderedElementsAre(
                          QueueMessageBody(JSON{{"action", "voreliaPublishAI"},
                                                {"account", "studio"},
                                                {"imageCount", std::uint64_t{3}}}),
                          QueueMessageBody(JSON{{"action", "voreliaPublishEmbed"},
                                                {"account", "studio"},
                                                {"imageCount", std::uint64_t{1}}})));
}

}  // namespace
}  // namespace vorelia
