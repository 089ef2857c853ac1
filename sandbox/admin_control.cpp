// Admin routes for tokens, recorded requests, faults and shutdown.
#include "sandbox/admin_support.h"
#include "sandbox/routes.h"

namespace vorelia::sandbox {
namespace {

// The optional "email" member that narrows a token operation to one user.
bool tokenScope(const Call& call, httplib::Response& response, std::optional<std::string>& email) {
  const auto body = adminBody(call, response);
  return body && optionalText(*body, "email", email, response);
}

// POST /admin/tokens {"email", "lifetimeSeconds"?}: a token without a password, for tests.
void issueToken(State& state, const Call& call, httplib::Response& response) {
  const auto body = adminBody(call, response);
  if (!body) return;
  const auto email = requiredText(*body, "email", response);
  if (!email) return;
  std::optional<std::chrono::seconds> lifetime;
  if (body->contains("lifetimeSeconds")) {
    if (!(*body)["lifetimeSeconds"].is_number_integer()) {
      return sendError(response, 400, "\"lifetimeSeconds\" must be a whole number");
    }
    lifetime = std::chrono::seconds((*body)["lifetimeSeconds"].get<std::int64_t>());
  }
  const auto issued = state.issueToken(*email, lifetime);
  if (!issued.ok()) return sendError(response, issued.failure().status, issued.failure().message);
  sendJson(response, 200,
           {{"access_token", issued.value().token},
            {"token_type", "bearer"},
            {"expires_in", issued.value().expiresIn}});
}

void addFault(FaultTable& faults, const Call& call, httplib::Response& response) {
  const auto body = adminBody(call, response);
  if (!body) return;
  auto rule = FaultRule::fromJson(*body);
  if (!rule.ok()) return sendError(response, rule.failure().status, rule.failure().message);
  const auto id = faults.add(rule.value());
  if (!id.ok()) return sendError(response, id.failure().status, id.failure().message);
  sendJson(response, 200, {{"id", id.value()}});
}

}  // namespace

void addAdminControlRoutes(Router& router, const AdminContext& admin) {
  State& state = admin.state;
  FaultTable& faults = admin.faults;
  RequestLog& requests = admin.requests;
  router.add("POST", "/admin/tokens", [&state](const Call& call, httplib::Response& response) {
    issueToken(state, call, response);
  });
  router.add("POST", "/admin/tokens/expire",
             [&state](const Call& call, httplib::Response& response) {
               std::optional<std::string> email;
               if (!tokenScope(call, response, email)) return;
               sendJson(response, 200, {{"count", state.expireTokens(email)}});
             });
  router.add("POST", "/admin/tokens/revoke",
             [&state](const Call& call, httplib::Response& response) {
               std::optional<std::string> email;
               if (!tokenScope(call, response, email)) return;
               sendJson(response, 200, {{"count", state.revokeTokens(email)}});
             });
  router.add("GET", "/admin/requests", [&requests](const Call&, httplib::Response& response) {
    sendJson(response, 200, requests.list());
  });
  router.add("DELETE", "/admin/requests", [&requests](const Call&, httplib::Response& response) {
    requests.clear();
    sendJson(response, 200, {{"cleared", true}});
  });
  router.add("GET", "/admin/faults", [&faults](const Call&, httplib::Response& response) {
    sendJson(response, 200, faults.list());
  });
  router.add("POST", "/admin/faults", [&faults](const Call& call, httplib::Response& response) {
    addFault(faults, call, response);
  });
  router.add("DELETE", "/admin/faults", [&faults](const Call&, httplib::Response& response) {
    faults.clear();
    sendJson(response, 200, {{"cleared", true}});
  });
  router.add("DELETE", "/admin/faults/{id}",
             [&faults](const Call& call, httplib::Response& response) {
               int id = 0;
               try {
                 id = std::stoi(call.params[0]);
               } catch (const std::exception&) {
                 return sendError(response, 400, "A fault id is a number");
               }
               if (!faults.remove(id)) return sendError(response, 404, "No such fault");
               sendJson(response, 200, {{"cleared", true}});
             });
  router.add("POST", "/admin/shutdown",
             [requestShutdown = admin.requestShutdown](const Call&, httplib::Response& response) {
               sendJson(response, 200, {{"stopping", true}});
               requestShutdown();
             });
}

}  // namespace vorelia::sandbox
