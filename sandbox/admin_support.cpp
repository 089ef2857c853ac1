#include "sandbox/admin_support.h"

#include <cmath>

namespace vorelia::sandbox {

std::optional<nlohmann::json> adminBody(const Call& call, httplib::Response& response) {
  if (call.request.body.empty()) return nlohmann::json::object();
  auto body = parseJsonBody(call.request);
  if (!body || !body->is_object()) {
    sendError(response, 400, "The body must be a JSON object");
    return std::nullopt;
  }
  return body;
}

std::optional<std::string> requiredText(const nlohmann::json& body, const char* name,
                                        httplib::Response& response) {
  if (!body.contains(name) || !body[name].is_string()) {
    sendError(response, 400, std::string("\"") + name + "\" is needed, as text");
    return std::nullopt;
  }
  return body[name].get<std::string>();
}

bool optionalText(const nlohmann::json& body, const char* name, std::optional<std::string>& out,
                  httplib::Response& response) {
  if (!body.contains(name) || body[name].is_null()) return true;
  if (!body[name].is_string()) {
    sendError(response, 400, std::string("\"") + name + "\" must be text");
    return false;
  }
  out = body[name].get<std::string>();
  return true;
}

std::optional<CreditsPatch> creditsPatch(const nlohmann::json& body, httplib::Response& response) {
  CreditsPatch patch;
  const std::pair<const char*, std::optional<double>*> members[] = {
      {"credits", &patch.credits},
      {"creditsUsed", &patch.creditsUsed},
      {"creditsLimit", &patch.creditsLimit},
      {"extraCredits", &patch.extraCredits}};
  for (const auto& [name, slot] : members) {
    if (!body.contains(name)) continue;
    if (!body[name].is_number() || !std::isfinite(body[name].get<double>())) {
      sendError(response, 400, std::string("\"") + name + "\" must be a number");
      return std::nullopt;
    }
    *slot = body[name].get<double>();
  }
  return patch;
}

std::optional<AlbumSeed> albumSeed(const nlohmann::json& body, httplib::Response& response) {
  AlbumSeed seed;
  std::optional<std::string> name;
  if (!optionalText(body, "id", seed.id, response) || !optionalText(body, "name", name, response)) {
    return std::nullopt;
  }
  seed.name = name.value_or("");
  if (!body.contains("items")) return seed;
  if (!body["items"].is_array()) {
    sendError(response, 400, "\"items\" must be an array");
    return std::nullopt;
  }
  for (const auto& entry : body["items"]) {
    if (!entry.is_object()) {
      sendError(response, 400, "Each item is a JSON object");
      return std::nullopt;
    }
    ItemSeed item;
    std::optional<std::string> itemName;
    if (!optionalText(entry, "id", item.id, response) ||
        !optionalText(entry, "name", itemName, response)) {
      return std::nullopt;
    }
    item.name = itemName.value_or("");
    if (entry.contains("order")) {
      if (!entry["order"].is_number_integer()) {
        sendError(response, 400, "\"order\" must be a whole number");
        return std::nullopt;
      }
      item.order = entry["order"].get<std::int64_t>();
    }
    item.rating = entry.value("rating", nlohmann::json());
    seed.items.push_back(std::move(item));
  }
  return seed;
}

void sendOutcome(httplib::Response& response, const Outcome& outcome, const nlohmann::json& ok) {
  if (outcome) {
    sendError(response, outcome->status, outcome->message);
  } else {
    sendJson(response, 200, ok);
  }
}

}  // namespace vorelia::sandbox
