#include "plugin/vorelia_c1_plugin.h"

#include <atomic>
#include <utility>

#include "model/keychain.h"
#include "model/keys.h"
#include "platform/user_defaults.h"
#include "plugin/update_check.h"

namespace vorelia {
namespace {

using platform::UserDefaults;

// Each tagging option: its defaults key and its flag in the state.
struct TaggingFlag {
  std::string_view key;
  std::atomic<bool> PluginState::*flag;
};
constexpr TaggingFlag TaggingFlags[] = {
    {P::GeneralIdentifier, &PluginState::general},
    {P::FaceIdentifier, &PluginState::face},
    {P::AdultIdentifier, &PluginState::adult},
    {P::DescribeIdentifier, &PluginState::describe},
    {P::CelebrityIdentifier, &PluginState::celebrity},
    {P::LandmarkIdentifier, &PluginState::landmark},
    {P::WeddingIdentifier, &PluginState::wedding},
    {P::FoodIdentifier, &PluginState::food},
    {P::TravelIdentifier, &PluginState::travel},
    {P::ApparelIdentifier, &PluginState::apparel},
    {P::TextureIdentifier, &PluginState::texture},
};

}  // namespace

std::shared_ptr<PluginState> VoreliaC1Plugin::restoreState(std::string currentVersion) {
  auto state =
      std::make_shared<PluginState>(Deployment::FromEnvironment(), std::move(currentVersion));
  const auto defaults = UserDefaults::standard();
  const auto key = [](std::string_view k) { return std::string(k); };

  // The login: everything but the password from the defaults, the password from the keychain.
  state->userName.set(defaults->string(key(P::UserName)));
  state->password.set(Keychain::load(P::Password));
  state->account.set(defaults->string(key(P::Account)));
  state->setAuthentication(defaults->string(key(P::AuthenticationHeader)),
                           defaults->date(key(P::AuthenticationHeaderLastRefresh)));

  // First start: general concepts and faces on, ratings applied as the green colour tag. The mark
  // comes last, and only once the defaults it guards are stored: a start that could not store
  // them, or was killed before, writes them again.
  if (!defaults->boolean(std::string(IsInitializedKey))) {
    bool stored = defaults->set(key(P::GeneralIdentifier), true);
    stored = defaults->set(key(P::FaceIdentifier), true) && stored;
    stored = defaults->set(key(P::TaggingOption), std::string("Green")) && stored;
    if (stored) defaults->set(std::string(IsInitializedKey), true);
  }

  for (const auto& [flagKey, flag] : TaggingFlags) {
    ((*state).*flag).store(defaults->boolean(key(flagKey)));
  }
  state->taggingOption.set(defaults->string(key(P::TaggingOption)).value_or("Green"));
  return state;
}

VoreliaC1Plugin::VoreliaC1Plugin() : VoreliaC1Plugin(std::string(DefaultPluginVersion)) {}

VoreliaC1Plugin::VoreliaC1Plugin(std::string currentVersion)
    : state(restoreState(std::move(currentVersion))),
      api(std::make_shared<Api>(state, ApiOptions::FromEnvironment())) {
  // A newer version is fetched and installed in the background; it takes effect at the next load.
  StartUpdateCheck(*api);
  // With a stored login the album list is fetched while the user works; nothing waits for it.
  if (state->account.get() && state->userName.get() && state->password.get()) {
    api->RefreshContainers();
  }
}

VoreliaC1Plugin::~VoreliaC1Plugin() = default;

}  // namespace vorelia
