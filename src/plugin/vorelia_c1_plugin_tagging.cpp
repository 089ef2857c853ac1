// The auto-tagging and proofing groups of the preference page. They are drawn only while connected.
// The tagging options and the rating choice are kept in the user defaults so that they survive a
// restart; the credits and the proofing albums live in the state only.
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <map>
#include <string_view>

#include "api/await.h"
#include "model/keys.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "plugin/vorelia_c1_plugin.h"
#include "publish/catalogue_scripts.h"
#include "publish/name_escaping.h"
#include "publish/script_runner.h"

namespace vorelia {
namespace {

using platform::UserDefaults;

// Each tagging option in page order: identifier, check box title, flag in the state.
struct TaggingOption {
  std::string_view identifier;
  std::string_view title;
  std::atomic<bool> PluginState::*flag;
};
constexpr TaggingOption TaggingOptions[] = {
    {P::GeneralIdentifier, "Tag general concepts, objects and scenes (1 credit)",
     &PluginState::general},
    {P::FaceIdentifier, "detect face, age, gender, smile and more (1 credit)", &PluginState::face},
    {P::AdultIdentifier, "identify adult or racy content (1.5 credits)", &PluginState::adult},
    {P::DescribeIdentifier, "try to describe the image (2.5 credits)", &PluginState::describe},
    {P::CelebrityIdentifier, "identify celebrity (1.5 credits)", &PluginState::celebrity},
    {P::LandmarkIdentifier, "identify landmark (1.5 credits)", &PluginState::landmark},
    {P::WeddingIdentifier, "understand wedding concepts (1.5 credits)", &PluginState::wedding},
    {P::FoodIdentifier, "understand food concepts (1.5 credits)", &PluginState::food},
    {P::TravelIdentifier, "understand travel concepts (1.5 credits)", &PluginState::travel},
    {P::ApparelIdentifier, "understand apparel concepts (1.5 credits)", &PluginState::apparel},
    {P::TextureIdentifier, "understand textures and patterns concepts (1.5 credits)",
     &PluginState::texture},
};

// The ways a client rating can be shown in the host, in list order: option value and title.
constexpr std::pair<std::string_view, std::string_view> RatingChoices[] = {
    {"1", "stars rating 1"},        {"2", "stars rating 2"},        {"3", "stars rating 3"},
    {"4", "stars rating 4"},        {"5", "stars rating 5"},        {"Red", "color tag Red"},
    {"Orange", "color tag Orange"}, {"Yellow", "color tag Yellow"}, {"Green", "color tag Green"},
    {"Blue", "color tag Blue"},     {"Pink", "color tag Pink"},     {"Purple", "color tag Purple"},
};

constexpr std::string_view CheckRatings = "checkAlbumsRatings-action";
constexpr std::string_view CheckCredits = "checkCredits-action";
constexpr std::string_view RatingChoiceIdentifier = "taggingOptions-action";
constexpr std::string_view AlbumChoiceIdentifier = "albumRating-action";

using AlbumRatings = std::map<std::string, std::vector<std::string>>;

void Reload(const COSettingsCallback& callback) {
  if (callback) callback(COSettingsCallbackAction::reloadSettings, std::nullopt);
}

// What the ratings script looks for in image names: the item's name as the photographer gave it,
// without folders and extension, and a full stop, so that Beach_01.jpg gives "Beach_01." and does
// not match an image named Beach_010.jpg.
std::string RatingEntry(std::string_view itemName) {
  std::string name = voreliaUnescape(itemName);
  while (name.size() > 1 && name.back() == '/') name.pop_back();
  if (const auto slash = name.rfind('/'); slash != std::string::npos && name.size() > 1) {
    name.erase(0, slash + 1);
  }
  if (const auto dot = name.rfind('.'); dot != std::string::npos && dot > 0) name.erase(dot);
  return name + ".";
}

// The albums of an expanded album list whose items carry a client rating (a number or a Boolean,
// zero and false included), each with its rating entries in item order. Of two albums with the
// same name, the later one's entries are kept.
AlbumRatings RatedAlbums(const std::vector<JSON>& albums) {
  AlbumRatings rated;
  for (const JSON& album : albums) {
    std::vector<std::string> entries;
    for (const JSON& item : album[P::Value].array().value_or(std::vector<JSON>{})) {
      const auto type = item[P::Rating].type();
      if (type != JSON::Type::number && type != JSON::Type::boolean) continue;
      entries.push_back(RatingEntry(item[P::Name].stringValue()));
    }
    if (!entries.empty()) rated[album[P::Name].stringValue()] = std::move(entries);
  }
  return rated;
}

// Marks the images of the host's current collection that the client rated in album, by the rating
// choice as it stands now. Runs on the main queue and holds it until the script has run.
void ApplyRatings(const PluginState& state, const std::string& album) {
  const auto albums = state.containersWithRatings.get();
  if (!albums) return;
  const auto found = albums->find(album);
  // A later search may have replaced the albums while this job waited: nothing of that album is
  // known then, and nothing is marked.
  if (found == albums->end()) return;
  runScript("Vorelia_proofing_", ratingsScript(found->second, state.taggingOption.get()));
}

// A credits count as a person reads it: an integral value in plain decimal with a trailing ".0"
// (12 reads "12.0", 100000 "100000.0"), a fraction in the shortest text that reads back as the same
// double (12.5, 0.1). Counts beyond 1e16, where doubles no longer hold every integer, keep the
// short exponent form ("1e+300") rather than hundreds of digits. A value that is not finite can
// only come from text such as "inf" or "nan", which is no count: it reads 0, like other text.
std::string CreditsText(double value) {
  if (!std::isfinite(value) || value == 0) value = 0;  // also turns -0 into 0
  std::array<char, 64> buffer{};
  char* const first = buffer.data();
  char* const last = first + buffer.size();
  const bool plain = std::fabs(value) < 1e16 && std::trunc(value) == value;
  const auto result = plain ? std::to_chars(first, last, value, std::chars_format::fixed)
                            : std::to_chars(first, last, value);
  std::string text(first, result.ptr);
  if (text.find_first_of(".e") == std::string::npos) text += ".0";
  return text;
}

COSettingsButtonItem RatingsButton(std::string title) {
  return COSettingsButtonItem{std::string(CheckRatings), std::move(title)};
}

}  // namespace

void VoreliaC1Plugin::autoTaggingSettings(COSettingsElementsGroup& group) {
  group.elements.push_back(COSettingsLabelItem{"Settings:"});
  for (const auto& option : TaggingOptions) {
    group.elements.push_back(COSettingsBoolItem{
        std::string(option.identifier), std::string(option.title), ((*state).*option.flag).load()});
  }
}

void VoreliaC1Plugin::proofingSettings(COSettingsElementsGroup& group) {
  auto& e = group.elements;
  if (state->ratingsUpdated) {
    e.push_back(RatingsButton("Ratings applied, click to refresh"));
    return;
  }
  const auto albums = state->containersWithRatings.get();
  if (!albums) {
    e.push_back(RatingsButton("Look for albums with ratings"));
    return;
  }
  if (albums->empty()) {
    e.push_back(RatingsButton("no albums with ratings found, try again later"));
    return;
  }
  COSettingsListItem choice{
      std::string(RatingChoiceIdentifier), "Choose how to rate:", {}, state->taggingOption.get()};
  for (const auto& [value, title] : RatingChoices) {
    choice.options.push_back(COSettingsListOption::Make(std::string(value), std::string(title)));
  }
  e.push_back(std::move(choice));
  COSettingsMultipleListItem album{"albumRating-action", "Select album:", {}, true};
  for (const auto& [name, entries] : *albums) {
    album.options.push_back(
        COSettingsListOption::Make(name, name + " (" + std::to_string(entries.size()) + ")"));
  }
  e.push_back(std::move(album));
  e.push_back(RatingsButton("refresh"));
}

void VoreliaC1Plugin::autoTaggingWrapperSettings(COSettingsElementsGroup& group) {
  auto& e = group.elements;
  if (!state->creditsUpdated) {
    e.push_back(COSettingsButtonItem{std::string(CheckCredits), "Fetch your credits info"});
  } else if (const auto info = state->creditsInfo.get()) {
    const auto number = [&](const char* member) {
      return CreditsText((*info)[member].numberValue());
    };
    e.push_back(COSettingsLabelItem{"You used " + number("creditsUsed") + " of your " +
                                    number("creditsLimit") + " monthly credits"});
    e.push_back(
        COSettingsLabelItem{"You have " + number("extraCredits") + " extra credits remaining"});
    e.push_back(COSettingsButtonItem{std::string(CheckCredits), "Refresh"});
  } else {
    // The credits request failed: say so rather than show zeros as if they were the account's.
    e.push_back(COSettingsLabelItem{"Your credits info could not be fetched"});
    e.push_back(COSettingsButtonItem{std::string(CheckCredits), "Refresh"});
  }
  autoTaggingSettings(group);
}

bool VoreliaC1Plugin::didUpdateTaggingValue(const COValue& value, const std::string& identifier,
                                            const COSettingsCallback& callback) {
  for (const auto& option : TaggingOptions) {
    if (identifier != option.identifier) continue;
    const auto* on = std::get_if<bool>(&value);
    if (on == nullptr) return true;  // only a check box's Boolean changes an option
    UserDefaults::standard()->set(identifier, *on);
    ((*state).*option.flag).store(*on);
    return true;
  }
  if (identifier == RatingChoiceIdentifier) {
    std::string choice = "Green";
    if (const auto* text = std::get_if<std::string>(&value)) {
      choice = *text;
    } else if (const auto* number = std::get_if<double>(&value)) {
      choice = JSON(*number).stringValue();
    }
    state->taggingOption.set(choice);
    UserDefaults::standard()->set(std::string(P::TaggingOption), choice);
  } else if (identifier == AlbumChoiceIdentifier) {
    // The host sends the chosen albums' names; only the first is rated.
    const auto* chosen = std::get_if<std::vector<std::string>>(&value);
    if (chosen == nullptr || chosen->empty()) return true;
    platform::MainQueue::shared().async(
        [state = state, album = chosen->front()] { ApplyRatings(*state, album); });
    state->ratingsUpdated = true;
    Reload(callback);
  }
  return true;  // an identifier the page does not know is ignored
}

void VoreliaC1Plugin::handleTaggingEvent(const std::string& identifier,
                                         const COSettingsCallback& callback) {
  // Any other identifier the page does not know: nothing happens, success without callback.
  if (identifier != CheckRatings) return;
  state->ratingsUpdated = false;
  const auto answer =
      Await<std::optional<JSON>>([&](auto done) { api->GetContainers(true, std::move(done)); });
  // A failed search, also one answered by an error body without an album list, leaves the albums
  // found before on the page: a service fault is not news that nobody rated anything.
  if (auto albums = answer ? (*answer)[P::Value].array() : std::nullopt) {
    state->containersWithRatings.set(RatedAlbums(*albums));
    state->containers.set(std::move(*albums));
  }
  Reload(callback);
}

}  // namespace vorelia
