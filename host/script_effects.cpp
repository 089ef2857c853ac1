#include "script_effects.h"

#include <optional>

#include "sidecar.h"

namespace vorelia::host {

namespace {

// For every variant of every image whose name starts with a record's key: the tags as one keyword,
// the description as its content description, each only when not empty.
void applyKeywords(const KeywordScript& script, const CatalogueImage& image, Sidecar& variant) {
  for (const KeywordRecord& record : script.records) {
    if (!startsWithIgnoringCase(image.name, record.key)) continue;
    if (!record.tags.empty()) variant.addKeyword(record.tags);
    if (!record.description.empty()) variant.setDescription(record.description);
  }
}

// A mark set by the last run is cleared first, so a name no longer listed loses it; then every
// listed image gets the mark.
void applyRatings(const RatingsScript& script, const CatalogueImage& image, Sidecar& variant) {
  const bool stars = script.mark == Mark::rating;
  const auto set = [&](int value) {
    stars ? variant.setRating(value) : variant.setColorTag(value);
  };
  if ((stars ? variant.rating() : variant.colorTag()) == script.resetValue) set(0);
  for (const std::string& name : script.names) {
    if (startsWithIgnoringCase(image.name, name)) set(script.markValue);
  }
}

}  // namespace

ScriptEffects applyScript(const HostScript& script, const Document& document) {
  ScriptEffects effects;
  std::optional<std::vector<CatalogueImage>> images = currentCollection(document, &effects.error);
  if (!images) return effects;

  struct Pending {
    std::string name;
    std::filesystem::path sidecar;
    std::string packet;
  };
  std::vector<Pending> pending;
  for (const CatalogueImage& image : *images) {
    std::optional<Sidecar> variant = Sidecar::read(image.sidecar, &effects.error);
    if (!variant) return effects;
    if (const auto* keywords = std::get_if<KeywordScript>(&script)) {
      applyKeywords(*keywords, image, *variant);
    } else {
      applyRatings(std::get<RatingsScript>(script), image, *variant);
    }
    if (!variant->changed()) continue;
    std::optional<std::string> packet = variant->encode(&effects.error);
    if (!packet) return effects;
    pending.push_back(Pending{image.name, image.sidecar, std::move(*packet)});
  }
  for (const Pending& change : pending) {
    if (!replaceFileAtomically(change.sidecar, change.packet, &effects.error)) {
      return effects;
    }
    effects.changed.push_back(change.name);
  }
  return effects;
}

}  // namespace vorelia::host
