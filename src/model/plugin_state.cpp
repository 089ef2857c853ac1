#include "model/plugin_state.h"

#include <utility>

namespace vorelia {

PluginState::PluginState(const Deployment& deployment, std::string currentVersion)
    : currentVersion(std::move(currentVersion)),
      baseUrl(deployment.apiUrl),
      updateBaseUrl(deployment.updateUrl),
      updateUrl(deployment.updateUrl + "details.json"),
      queueUrl(deployment.queueUrl),
      webUrl(deployment.webUrl) {}

PluginState::Authentication PluginState::authentication() const {
  std::scoped_lock lock(authenticationMutex_);
  return Authentication{authenticationHeader_, authenticationLastRefresh_};
}

void PluginState::setAuthentication(OptionalString header, std::optional<Date> lastRefresh) {
  std::scoped_lock lock(authenticationMutex_);
  authenticationHeader_ = std::move(header);
  authenticationLastRefresh_ = lastRefresh;
}

bool PluginState::IsAuthenticated(Date now) const {
  const auto [header, lastRefresh] = authentication();
  return header && lastRefresh && *lastRefresh + AuthenticationLifetime > now;
}

}  // namespace vorelia
