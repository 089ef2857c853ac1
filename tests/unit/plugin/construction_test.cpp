#include <gtest/gtest.h>

#include "model/keychain.h"
#include "model/keys.h"
#include "platform/user_defaults.h"
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
  service.reply("/api/*", TestReply{.stall = true});  // a started refresh stays visible
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

}  // namespace
}  // namespace vorelia
