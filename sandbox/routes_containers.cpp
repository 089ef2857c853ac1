// Containers (albums) of an account: list, create-if-not-exists, item order and share links.
#include "sandbox/routes.h"
#include "sandbox/views.h"

namespace vorelia::sandbox {
namespace {

// An identifier as the plugin's lenient reader sees it: text as it is, a whole number as its
// decimal text.
std::optional<std::string> idText(const nlohmann::json& value) {
  if (value.is_string()) return value.get<std::string>();
  if (value.is_number_integer()) return value.dump();
  return std::nullopt;
}

void sendFailure(httplib::Response& response, const Failure& failure) {
  sendError(response, failure.status, failure.message);
}

// GET /api/{account}/containers/ and .../containers/?$expand
void listContainers(State& state, const Call& call, httplib::Response& response) {
  const auto name = authorizeAccount(call, response, state, call.params[0]);
  if (!name) return;
  const auto account = state.account(*name);
  if (!account) return sendError(response, 404, "The account does not exist");
  const bool expand = call.hasQueryKey("$expand");
  nlohmann::json value = nlohmann::json::array();
  for (const Album& album : account->albums) value.push_back(albumView(album, expand));
  sendJson(response, 200, {{"value", std::move(value)}});
}

// PUT /api/{account}/containers/{escapedName}: the body's "name", when there is one, is the
// display name; the decoded path segment serves otherwise.
void createContainer(State& state, const Call& call, httplib::Response& response) {
  const auto name = authorizeAccount(call, response, state, call.params[0]);
  if (!name) return;
  std::string albumName = call.params[1];
  if (const auto body = parseJsonBody(call.request);
      body && body->is_object() && body->contains("name") && (*body)["name"].is_string() &&
      !(*body)["name"].get<std::string>().empty()) {
    albumName = (*body)["name"].get<std::string>();
  }
  const auto result = state.createAlbumIfMissing(*name, albumName);
  if (!result.ok()) return sendFailure(response, result.failure());
  sendJson(response, result.value().created ? 201 : 200, albumView(result.value().album, false));
}

// POST /api/{account}/containers/{id}/$synchronize with {"value": [{"id", "order"}]}.
void synchronize(State& state, const Call& call, httplib::Response& response) {
  const auto name = authorizeAccount(call, response, state, call.params[0]);
  if (!name) return;
  const auto body = parseJsonBody(call.request);
  if (!body || !body->is_object() || !body->contains("value") || !(*body)["value"].is_array()) {
    return sendError(response, 400, "The body must be {\"value\": [{\"id\", \"order\"}]}");
  }
  std::vector<ItemOrder> orders;
  for (const auto& entry : (*body)["value"]) {
    const auto id = entry.is_object() && entry.contains("id") ? idText(entry["id"]) : std::nullopt;
    if (!id || !entry.contains("order") || !entry["order"].is_number_integer()) {
      return sendError(response, 400, "Each entry needs an \"id\" and a whole-number \"order\"");
    }
    orders.push_back(ItemOrder{*id, entry["order"].get<std::int64_t>()});
  }
  if (const auto failure = state.reorder(*name, call.params[1], orders)) {
    return sendFailure(response, *failure);
  }
  sendJson(response, 200, {{"hasError", false}});
}

// POST /api/{account}/shares with {"containers": [{"id"}], "isDownloadEnabled": 0 or 1}.
void share(State& state, const ServiceConfig& config, const Call& call,
           httplib::Response& response) {
  const auto name = authorizeAccount(call, response, state, call.params[0]);
  if (!name) return;
  const auto body = parseJsonBody(call.request);
  if (!body || !body->is_object() || !body->contains("containers") ||
      !(*body)["containers"].is_array()) {
    return sendError(response, 400, "The body must be {\"containers\": [{\"id\"}], ...}");
  }
  std::vector<std::string> ids;
  for (const auto& entry : (*body)["containers"]) {
    const auto id = entry.is_object() && entry.contains("id") ? idText(entry["id"]) : std::nullopt;
    if (!id) return sendError(response, 400, "Each container needs an \"id\"");
    ids.push_back(*id);
  }
  const nlohmann::json download = body->value("isDownloadEnabled", nlohmann::json(0));
  if (!download.is_number_integer() && !download.is_boolean()) {
    return sendError(response, 400, "\"isDownloadEnabled\" must be 0 or 1");
  }
  const bool enabled = download.is_boolean() ? download.get<bool>() : download.get<int>() != 0;
  const auto result = state.share(*name, ids, enabled);
  if (!result.ok()) return sendFailure(response, result.failure());
  sendJson(response, 200,
           {{"url", shareUrl(result.value(), config.webUrl)},
            {"code", result.value().code},
            {"isDownloadEnabled", result.value().downloadEnabled}});
}

}  // namespace

void addContainerRoutes(Router& router, State& state, const ServiceConfig& config) {
  router.add("GET", "/api/{account}/containers",
             [&state](const Call& call, httplib::Response& response) {
               listContainers(state, call, response);
             });
  router.add("PUT", "/api/{account}/containers/{name}",
             [&state](const Call& call, httplib::Response& response) {
               createContainer(state, call, response);
             });
  router.add("POST", "/api/{account}/containers/{id}/$synchronize",
             [&state](const Call& call, httplib::Response& response) {
               synchronize(state, call, response);
             });
  router.add("POST", "/api/{account}/shares",
             [&state, &config](const Call& call, httplib::Response& response) {
               share(state, config, call, response);
             });
}

}  // namespace vorelia::sandbox
