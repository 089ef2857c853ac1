#include "plugin/update_check.h"

#include <utility>

namespace vorelia {

bool IsNewerVersion(const std::string& currentVersion,
                    const std::optional<std::string>& updateVersion) {
  // std::string compares its characters as unsigned char, which for UTF-8 text is the order of
  // the scalar values.
  return updateVersion.has_value() && currentVersion < *updateVersion;
}

void StartUpdateCheck(Api& api) {
  api.CheckForUpdates([removeLeftovers = Api::RemovalOfLeftoversOfKilledRuns()](
                          std::optional<JSON> json, std::shared_ptr<Api> api) {
    // Off the host's thread, and before this run downloads anything of its own.
    removeLeftovers();
    if (!json) return;
    PluginState& state = *api->state;
    // Only a string names a version: a number, a Boolean or an object is no version at all (a
    // number's text would otherwise order after the running version and start a download).
    const JSON version = (*json)["version"];
    state.updateVersion.set(version.type() == JSON::Type::string ? version.stringValue() : "");
    if (IsNewerVersion(state.currentVersion, state.updateVersion.get())) api->DownloadUpdate();
  });
}

}  // namespace vorelia
