#include <gtest/gtest.h>

#include "model/keychain.h"
#include "model/keys.h"
#include "platform/user_defaults.h"
#include "plugin/vorelia_c1_plugin.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"

namespace vorelia {
namespace {

using platform::UserDefaults;

std::string Key(std::string_view key) { return std::string(key); }

class Construction : public ::testing::Test {
 protected:
  testing::TempHome home;
  std::shared_ptr<UserDefaults> defaults = UserDefaults::standard();
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
  EXPECT_FALSE(s.userName.get().has_value());
  EXPECT_FALSE(s.IsAuthenticated());
  EXPECT_FALSE(plugin.isHandlingAction);
  EXPECT_EQ(plugin.api->state, plugin.state);
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
}

TEST_F(Construction, AlbumsAreRefreshedOnlyWithAStoredAccountUserNameAndPassword) {
  testing::HttpTestServer service;  // holds every request, so a started refresh stays visible
  service.reply("/*", testing::TestReply{.stall = true});
  testing::ScopedEnvironment api("VORELIA_API_URL", service.url("/"));
  const struct {
    const char *account, *userName, *password;  // nullptr: not stored
    bool refreshes;
  } cases[] = {
      {"ann", "ann@example.com", "pw", true},     {"", "ann@example.com", "pw", true},
      {"ann", "ann@example.com", nullptr, false}, {"ann", nullptr, "pw", false},
      {nullptr, "ann@example.com", "pw", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(std::vector<std::string>{c.account ? c.account : "-",
                                                                   c.userName ? c.userName : "-",
                                                                   c.password ? c.password : "-"}));
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

TEST_F(Construction, AStoredRefreshDateOfAnotherTypeIsIgnored) {
  defaults->set(Key(P::AuthenticationHeader), std::string("BEARER abc"));
  defaults->set(Key(P::AuthenticationHeaderLastRefresh), std::string("2026-12-01"));
  VoreliaC1Plugin plugin;
  EXPECT_EQ(plugin.state->authenticationHeader(), "BEARER abc");
  EXPECT_FALSE(plugin.state->authenticationHeaderLastRefresh().has_value());
  EXPECT_FALSE(plugin.state->IsAuthenticated());
}

}  // namespace
}  // namespace vorelia
