#include "publish/publish_service.h"

namespace vorelia {

std::optional<std::string> StringSetting(const PublishSettings& settings, const std::string& key) {
  const auto found = settings.find(key);
  if (found == settings.end()) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&found->second)) return *text;
  return std::nullopt;
}

bool BoolSetting(const PublishSettings& settings, const std::string& key) {
  const auto found = settings.find(key);
  if (found == settings.end()) return false;
  const auto* value = std::get_if<bool>(&found->second);
  return value != nullptr && *value;
}

}  // namespace vorelia
