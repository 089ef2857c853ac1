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
  const auto fail = [&](const std::string& error) {
    effects.error = error;
    return effects;
  };
  const Result<std::vector<CatalogueImage>> images = currentCollection(document);
  if (!images) return fail(images.error());

  struct Pending {
    std::string name;
    std::filesystem::path sidecar;
    std::string packet;
  };
  std::vector<Pending> pending;
  for (const CatalogueImage& image : *images) {
    Result<Sidecar> variant = Sidecar::read(image.sidecar);
    if (!variant) return fail(variant.error());
    if (const auto* keywords = std::get_if<KeywordScript>(&script)) {
      applyKeywords(*keywords, image, *variant);
    } else {
      applyRatings(std::get<RatingsScript>(script), image, *variant);
    }
    if (!variant->changed()) continue;
    Result<std::string> packet = variant->encode();
    if (!packet) return fail(packet.error());
    pending.push_back(Pending{image.name, image.sidecar, std::move(*packet)});
  }
  for (const Pending& change : pending) {
    if (Result<void> replaced = replaceFileAtomically(change.sidecar, change.packet); !replaced) {
      return fail(replaced.error());
    }
    effects.changed.push_back(change.name);
  }
  return effects;
}

}  // namespace vorelia::host
