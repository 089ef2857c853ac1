#include "model/plugin_state.h"

#include <gtest/gtest.h>

#include <thread>

#include "model/keychain.h"
#include "model/text.h"
#include "support/temp_home.h"

namespace vorelia {
namespace {

using std::chrono::seconds;

Deployment TestDeployment() {
  return Deployment{"https://api.example.test/", "https://blobs.example.test/lib/",
                    "https://queue.example.test/q/messages?sig=x", "https://www.example.test"};
}

TEST(PluginState, AuthenticationLastsTenDaysStrictlyAndItsHeaderAndDateAreNeverSeenApart) {
  PluginState state(TestDeployment());
  const Date now = std::chrono::system_clock::now();
  struct Case {
    const char* what;
    OptionalString header;
    std::optional<Date> lastRefresh;
    bool authenticated;
  };
  const Case cases[] = {
      {"fresh", "BEARER t", now, true},
      {"863999 s old", "BEARER t", now - seconds(863999), true},
      {"864000 s old", "BEARER t", now - seconds(864000), false},
      {"header without date", "BEARER t", std::nullopt, false},
      {"date without header", std::nullopt, now, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    state.setAuthentication(c.header, c.lastRefresh);
    EXPECT_EQ(state.IsAuthenticated(now), c.authenticated);
  }
  // The header and its date are never seen apart.
  const Date base = std::chrono::system_clock::now();
  std::atomic<bool> stop{false};
  std::thread writer([&] {
    for (int i = 0; i < 20000; ++i) {
      state.setAuthentication("BEARER " + std::to_string(i), base + seconds(i));
    }
    stop = true;
  });
  while (!stop) {
    const auto [header, lastRefresh] = state.authentication();
    if (!header) continue;
    const auto i = std::stoi(header->substr(7));
    ASSERT_EQ(*lastRefresh, base + seconds(i)) << *header;
  }
  writer.join();
}

// Bytes that are not UTF-8 read as absent.
TEST(Keychain, RoundTripsSecretsExactly) {
  testing::TempHome home;
  const std::pair<std::string, bool> cases[] = {
      {" p&ss=w+rd %20 ", true},   {"Grüße 🔑", true}, {"", true},
      {"\xc3\x28", false},          // not a continuation byte
      {"\xc0\xaf", false},          // overlong '/'
      {"\xed\xa0\x80", false},      // a surrogate
      {"\xf4\x90\x80\x80", false},  // past U+10FFFF
      {"\xe2\x9c", false},          // cut short
  };
  for (const auto& [secret, readable] : cases) {
    Keychain::save(secret, "password");
    EXPECT_EQ(Keychain::load("password"), readable ? std::optional(secret) : std::nullopt);
  }
}

TEST(NormalizedLowercase, NamesThatAreTheSameLowercasedComeOutAlike) {
  const struct {
    std::string a, b;
    bool same;
  } cases[] = {
      {"Été 2019", "éTÉ 2019", true},
      {"STRASSE", "straße", false},  // "ß" lowercases to itself, not to "ss"
      {"Stra\u00dfe", "STRAßE", true},
      {"e\u0301t\u00e9", "\u00c9T\u00c9", true},  // "é" decomposed and composed
      {"\u0130stanbul", "i\u0307stanbul", true},  // the root locale's dotted capital I
      {"Anna", "Anne", false},
      {"Ete 2019", "Été 2019", false},  // accents are not letter case
      // Bytes that are not UTF-8 are compared as they are, never replaced or dropped.
      {"Ab\xFF", "Ab\xFF", true},
      {"Ab\xFF", "ab\xFF", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(NormalizedLowercase(c.a) == NormalizedLowercase(c.b), c.same) << c.a << " / " << c.b;
  }
}

}  // namespace
}  // namespace vorelia
