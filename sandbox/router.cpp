#include "sandbox/router.h"

namespace vorelia::sandbox {
namespace {

bool isPlaceholder(const std::string& segment) {
  return segment.size() >= 2 && segment.front() == '{' && segment.back() == '}';
}

}  // namespace

bool Call::hasQueryKey(std::string_view key) const {
  for (const auto& [name, value] : parseForm(target.query)) {
    if (equalsIgnoreCase(name, key)) return true;
  }
  return false;
}

void Router::add(std::string method, const std::string& pattern, RouteHandler handler) {
  routes_.push_back({std::move(method), pathSegments(pattern), std::move(handler)});
}

bool Router::dispatch(const httplib::Request& request, const Target& target,
                      httplib::Response& response) const {
  std::vector<std::string> segments = pathSegments(target.path);
  if (segments.size() > 1 && segments.back().empty()) segments.pop_back();
  for (const Route& route : routes_) {
    if (route.method != request.method || route.segments.size() != segments.size()) continue;
    std::vector<std::string> params;
    bool matches = true;
    for (std::size_t i = 0; i < segments.size() && matches; ++i) {
      if (isPlaceholder(route.segments[i])) {
        matches = !segments[i].empty();
        params.push_back(segments[i]);
      } else {
        matches = equalsIgnoreCase(route.segments[i], segments[i]);
      }
    }
    if (!matches) continue;
    route.handler(Call{request, target, std::move(params)}, response);
    return true;
  }
  return false;
}

}  // namespace vorelia::sandbox
