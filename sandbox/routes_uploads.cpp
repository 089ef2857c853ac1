// Upload reservations, encoding triggers and the long poll over encoding states.
#include "sandbox/routes.h"
#include "sandbox/uploads.h"

namespace vorelia::sandbox {
namespace {

// PUT /api/{account}/containers/{id}/inituploadresources with {"value": [{"name", "size"}]}.
// Refusals are answered as the service does, {"hasError": true, "message"}, which the plugin
// shows to the user.
void reserve(State& state, UploadPipeline& uploads, const Call& call, httplib::Response& response) {
  const auto account = authorizeAccount(call, response, state, call.params[0]);
  if (!account) return;
  const auto body = parseJsonBody(call.request);
  if (!body || !body->is_object() || !body->contains("value") || !(*body)["value"].is_array()) {
    return sendError(response, 400, "The body must be {\"value\": [{\"name\", \"size\"}]}");
  }
  std::vector<UploadPipeline::FileRequest> files;
  for (const auto& entry : (*body)["value"]) {
    if (!entry.is_object() || !entry.contains("name") || !entry["name"].is_string() ||
        !entry.contains("size") || !entry["size"].is_number_unsigned()) {
      return sendError(
          response, 400,
          "Each file needs a \"name\" (text) and a \"size\" (a whole number of bytes)");
    }
    files.push_back({entry["name"].get<std::string>(), entry["size"].get<std::uint64_t>()});
  }
  const auto reserved = uploads.reserve(*account, call.params[1], files);
  if (!reserved.ok()) {
    return sendError(response, reserved.failure().status, reserved.failure().message);
  }
  sendJson(response, 200, reserved.value());
}

// PUT /api/{account}/encode with the upload resource as reserved ({"id", ...}).
void encode(State& state, UploadPipeline& uploads, const Call& call, httplib::Response& response) {
  const auto account = authorizeAccount(call, response, state, call.params[0]);
  if (!account) return;
  const auto body = parseJsonBody(call.request);
  if (!body || !body->is_object() || !body->contains("id") || !(*body)["id"].is_string()) {
    return sendError(response, 400, "The body must be an upload resource with its \"id\"");
  }
  const auto stage = uploads.trigger(*account, (*body)["id"].get<std::string>());
  if (!stage.ok()) return sendError(response, stage.failure().status, stage.failure().message);
  sendJson(response, 200, {{"hasError", false}, {"state", stageName(stage.value())}});
}

// POST /api/anonymous/longpollingstates with {"value": [resource ids]}: held open until one of
// them is done or changes, or the hold ends; answers {"value": [ids done]}.
void longPoll(UploadPipeline& uploads, const Call& call, httplib::Response& response) {
  const auto body = parseJsonBody(call.request);
  if (!body || !body->is_object() || !body->contains("value") || !(*body)["value"].is_array()) {
    return sendError(response, 400, "The body must be {\"value\": [resource ids]}");
  }
  std::vector<std::string> ids;
  for (const auto& id : (*body)["value"]) {
    if (id.is_string()) {
      ids.push_back(id.get<std::string>());
    } else if (id.is_number_integer()) {
      ids.push_back(id.dump());
    } else {
      return sendError(response, 400, "Resource ids are text");
    }
  }
  if (ids.size() > kMaxFilesPerReservation) return sendError(response, 400, "Too many ids");
  sendJson(response, 200, uploads.poll(ids));
}

}  // namespace

void addUploadRoutes(Router& router, State& state, UploadPipeline& uploads) {
  router.add("PUT", "/api/{account}/containers/{id}/inituploadresources",
             [&state, &uploads](const Call& call, httplib::Response& response) {
               reserve(state, uploads, call, response);
             });
  router.add("PUT", "/api/{account}/encode",
             [&state, &uploads](const Call& call, httplib::Response& response) {
               encode(state, uploads, call, response);
             });
  router.add("POST", "/api/anonymous/longpollingstates",
             [&uploads](const Call& call, httplib::Response& response) {
               longPoll(uploads, call, response);
             });
}

void addAdminUploadRoutes(Router& router, UploadPipeline& uploads, BlobStore& blobs) {
  router.add("GET", "/admin/uploads", [&uploads](const Call&, httplib::Response& response) {
    sendJson(response, 200, uploads.snapshot());
  });
  // {"encodingDelayMs"?, "quotaBytes"? (null: no quota), "longPollHoldMs"?}
  router.add("POST", "/admin/uploads/settings",
             [&uploads](const Call& call, httplib::Response& response) {
               const auto body = parseJsonBody(call.request);
               if (!body || !body->is_object()) {
                 return sendError(response, 400, "The body must be a JSON object");
               }
               UploadSettings settings = uploads.settings();
               const auto milliseconds = [&](const char* name, std::chrono::milliseconds& out) {
                 if (!body->contains(name)) return true;
                 const auto& value = (*body)[name];
                 if (!value.is_number_unsigned()) return false;
                 out = std::chrono::milliseconds(value.get<std::uint64_t>());
                 return true;
               };
               if (!milliseconds("encodingDelayMs", settings.encodingDelay) ||
                   !milliseconds("longPollHoldMs", settings.longPollHold)) {
                 return sendError(response, 400, "Times are whole numbers of milliseconds");
               }
               if (body->contains("quotaBytes")) {
                 const auto& quota = (*body)["quotaBytes"];
                 if (quota.is_null()) {
                   settings.quotaBytes.reset();
                 } else if (quota.is_number_unsigned()) {
                   settings.quotaBytes = quota.get<std::uint64_t>();
                 } else {
                   return sendError(response, 400, "\"quotaBytes\" is a whole number or null");
                 }
               }
               uploads.setSettings(settings);
               sendJson(response, 200, uploads.snapshot()["settings"]);
             });
  // {"blobs": [{"path", "size"}]}; with ?sha256 each also has its digest.
  router.add("GET", "/admin/blobs", [&blobs](const Call& call, httplib::Response& response) {
    sendJson(response, 200, blobs.list(call.hasQueryKey("sha256")));
  });
}

}  // namespace vorelia::sandbox
