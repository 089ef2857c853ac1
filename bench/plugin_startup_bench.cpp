// Start-up and the preference page: how long the host waits for the plugin's constructor with a
// stored login while the service is unreachable (a closed loopback port: the update check and the
// album refresh fail in the background), with the file secret store and with the Secret Service
// (a private gnome-keyring, when one can be started here); and how long drawing the preference
// page (settings()) takes, signed out and signed in with credits and albums with ratings.
// Goals: construction at most 1 ms with the file store; the page at most 50 microseconds.
#include <benchmark/benchmark.h>

#include <chrono>

#include "model/keychain.h"
#include "model/keys.h"
#include "platform/user_defaults.h"
#include "plugin/vorelia_c1_plugin.h"
#include "support/private_keyring.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia {
namespace {

using Clock = std::chrono::steady_clock;
constexpr const char* kUnreachable = "http://127.0.0.1:9/";  // nothing listens on discard

void StoreLogin() {
  const auto defaults = platform::UserDefaults::standard();
  defaults->set(std::string(P::UserName), std::string("ann@example.test"));
  defaults->set(std::string(P::Account), std::string("ann-studio"));
  defaults->set(std::string(P::AuthenticationHeader), std::string("Bearer bench-token"));
  defaults->set(std::string(P::AuthenticationHeaderLastRefresh), std::chrono::system_clock::now());
  Keychain::save("s3cret password", P::Password);
}

void ConstructPlugin(benchmark::State& state, const char* store) {
  testing::TempHome home;
  testing::ScopedEnvironment api("VORELIA_API_URL", kUnreachable);
  testing::ScopedEnvironment secrets("VORELIA_SECRET_STORE", store);
  if (std::string(store) == "libsecret") {
    // GLib keeps the first session bus for the life of the process, and the benchmark calls this
    // function several times: one keyring serves them all.
    static testing::PrivateKeyring keyring;
    static const std::string problem = keyring.start();
    if (!problem.empty()) {
      return state.SkipWithError(("no Secret Service here: " + problem).c_str());
    }
  }
  // The keyring answers once it has opened its login collection and taken its name on the bus.
  const bool stored = testing::waitUntil(
      [] {
        StoreLogin();
        return Keychain::load(P::Password).has_value();
      },
      std::chrono::seconds(30));
  if (!stored) return state.SkipWithError("the secret store did not keep the password");
  for (auto _ : state) {
    const auto start = Clock::now();
    auto plugin = std::make_unique<VoreliaC1Plugin>();
    state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
    benchmark::DoNotOptimize(plugin->state->password.get());
    plugin.reset();  // not timed: ends the background requests
  }
}
BENCHMARK_CAPTURE(ConstructPlugin, file_store, "file")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK_CAPTURE(ConstructPlugin, keyring, "libsecret")
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond)
    ->MinTime(1)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

void DrawPreferencePage(benchmark::State& state) {
  testing::TempHome home;
  testing::ScopedEnvironment api("VORELIA_API_URL", kUnreachable);
  testing::ScopedEnvironment secrets("VORELIA_SECRET_STORE", "file");
  VoreliaC1Plugin plugin;
  if (state.range(0) == 1) {
    auto& s = *plugin.state;
    s.userName.set("ann@example.test");
    s.account.set("ann-studio");
    s.accounts.set(std::vector<std::string>{"ann-studio", "ann-weddings", "ann-portraits"});
    s.setAuthentication("Bearer bench-token", std::chrono::system_clock::now());
    s.creditsInfo.set(JSON{{"creditsUsed", 120}, {"creditsLimit", 500}, {"extraCredits", 42.5}});
    s.creditsUpdated = true;
    std::map<std::string, std::vector<std::string>> rated;
    for (int album = 0; album < 20; ++album) {
      rated["Client proofs " + std::to_string(album)] =
          std::vector<std::string>(25, "IMG_0001.CR2");
    }
    s.containersWithRatings.set(std::move(rated));
  }
  COError error;
  for (auto _ : state) benchmark::DoNotOptimize(plugin.settings(&error));
  state.counters["groups"] = static_cast<double>(plugin.settings(&error).size());
}
BENCHMARK(DrawPreferencePage)
    ->Arg(0)
    ->Arg(1)
    ->ArgNames({"signed_in"})
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);

}  // namespace
}  // namespace vorelia
