#include "model/deployment.h"

#include <cstdlib>

#include "model/deployment_values.h"

namespace vorelia {
namespace {

std::string Setting(const char* variable, const char* compiledIn) {
  const char* value = std::getenv(variable);
  return value != nullptr && *value != '\0' ? value : compiledIn;
}

std::string WithTrailingSlash(std::string url) {
  if (url.empty() || url.back() != '/') url.push_back('/');
  return url;
}

std::string WithoutTrailingSlash(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

}  // namespace

Deployment Deployment::FromEnvironment() {
  return Deployment{
      WithTrailingSlash(Setting("VORELIA_API_URL", deployment_values::ApiUrl)),
      WithTrailingSlash(Setting("VORELIA_UPDATE_URL", deployment_values::UpdateUrl)),
      Setting("VORELIA_QUEUE_URL", deployment_values::QueueUrl),
      WithoutTrailingSlash(Setting("VORELIA_WEB_URL", deployment_values::WebUrl)),
  };
}

}  // namespace vorelia
