// A small router over raw request paths. httplib decodes the whole path before it matches its own
// routes, which would turn an escaped "%2F" inside an album name into a separator; this router
// splits the raw path at '/' first and decodes each segment after.
#pragma once

#include <httplib.h>

#include <functional>
#include <string>
#include <vector>

#include "sandbox/http_util.h"

namespace vorelia::sandbox {

// One matched request as a handler sees it.
struct Call {
  const httplib::Request& request;
  const Target& target;             // raw path and raw query
  std::vector<std::string> params;  // decoded values of the pattern's {placeholders}, in order
  bool hasQueryKey(std::string_view key) const;  // key present in the query (decoded, any case)
};

using RouteHandler = std::function<void(const Call&, httplib::Response&)>;

// Routes are added before the server starts and only read afterwards, so dispatch may run on many
// threads at once without a lock.
class Router {
 public:
  // pattern: "/api/{account}/containers/{name}". Literal segments match without regard to ASCII
  // case; a placeholder matches one non-empty segment. A single trailing slash of the request is
  // ignored. The first route added that matches wins.
  void add(std::string method, const std::string& pattern, RouteHandler handler);

  // Runs the matching route and returns true; returns false (and leaves response alone) when no
  // route matches the method and path.
  bool dispatch(const httplib::Request& request, const Target& target,
                httplib::Response& response) const;

 private:
  struct Route {
    std::string method;
    std::vector<std::string> segments;  // "{...}" marks a placeholder
    RouteHandler handler;
  };
  std::vector<Route> routes_;
};

}  // namespace vorelia::sandbox
