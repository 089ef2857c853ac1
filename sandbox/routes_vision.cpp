// Computer vision: vision creation (its images go into the blob store under the vision's folder
// signature) and the analysis of an uploaded image, paid for with the account's credits.
#include "sandbox/routes.h"
#include "sandbox/views.h"
#include "sandbox/vision_analysis.h"
#include "sandbox/visions.h"

namespace vorelia::sandbox {
namespace {

// PUT /api/{account}/visions -> {"id", "uploadSas", "storageUrl"}. An image goes to
// storageUrl + id + "/" + name + uploadSas.
void createVision(State& state, Visions& visions, const Call& call, httplib::Response& response) {
  const auto account = authorizeAccount(call, response, state, call.params[0]);
  if (!account) return;
  const auto id = visions.create(*account);
  if (!id.ok()) return sendError(response, id.failure().status, id.failure().message);
  sendJson(response, 200,
           {{"id", id.value()},
            {"uploadSas", visions.uploadSas(id.value())},
            {"storageUrl", visions.storageUrl()}});
}

// POST /api/{account}/visions/{vision}/analyse/ with the payload {"name", "escapedName", options}
// -> {"hasError": false, "name", "description", "keywords": [...]}. The image is the one
// uploaded as "escapedName"; its options' cost is taken from the credits only when the analysis
// succeeds.
void analyse(State& state, Visions& visions, const Call& call, httplib::Response& response) {
  const auto account = authorizeAccount(call, response, state, call.params[0]);
  if (!account) return;
  const auto owner = visions.owner(call.params[1]);
  if (!owner || !equalsIgnoreCase(*owner, *account)) {
    return sendError(response, 404, "The vision does not exist");
  }
  const auto payload = parseJsonBody(call.request);
  if (!payload || !payload->is_object() || !payload->contains("name") ||
      !(*payload)["name"].is_string() || !payload->contains("escapedName") ||
      !(*payload)["escapedName"].is_string()) {
    return sendError(response, 400,
                     "The body must be {\"name\": text, \"escapedName\": text, ...}");
  }
  const double cost = analysisCost(*payload);
  if (cost <= 0) return sendError(response, 400, "Choose at least one analysis option");
  const auto file = visions.image(call.params[1], (*payload)["escapedName"].get<std::string>());
  if (!file) return sendError(response, 404, "The image has not been uploaded into the vision");
  std::string problem;
  const auto measures = measureImage(*file, &problem);
  if (!measures) return sendError(response, 422, problem);
  const auto spent = state.spendCredits(*account, cost);
  if (!spent.ok()) return sendError(response, spent.failure().status, spent.failure().message);

  nlohmann::json answer = describeImage(*measures, *payload);
  answer["hasError"] = false;
  answer["name"] = (*payload)["name"];
  answer["cost"] = cost;
  sendJson(response, 200, answer);
}

}  // namespace

void addVisionRoutes(Router& router, State& state, Visions& visions) {
  router.add("PUT", "/api/{account}/visions",
             [&state, &visions](const Call& call, httplib::Response& response) {
               createVision(state, visions, call, response);
             });
  router.add("POST", "/api/{account}/visions/{vision}/analyse",
             [&state, &visions](const Call& call, httplib::Response& response) {
               analyse(state, visions, call, response);
             });
}

}  // namespace vorelia::sandbox
