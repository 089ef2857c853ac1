// Account-name check, account creation, account state and credits.
#include "sandbox/routes.h"
#include "sandbox/views.h"

namespace vorelia::sandbox {
namespace {

// PUT /api/accounts/{name} with {"username", "password"}: 204 on success.
void createAccount(State& state, const Call& call, httplib::Response& response) {
  const auto body = parseJsonBody(call.request);
  if (!body || !body->is_object() || !body->contains("username") ||
      !(*body)["username"].is_string() || !body->contains("password") ||
      !(*body)["password"].is_string()) {
    sendError(response, 400, "The body must be {\"username\": text, \"password\": text}");
    return;
  }
  const auto failure = state.createAccount(call.params[0], (*body)["username"].get<std::string>(),
                                           (*body)["password"].get<std::string>());
  if (failure) {
    sendError(response, failure->status, failure->message);
    return;
  }
  response.status = 204;
}

}  // namespace

void addAccountRoutes(Router& router, State& state) {
  router.add("GET", "/api/accounts/{name}/isvalid",
             [&state](const Call& call, httplib::Response& response) {
               sendJson(response, 200, {{"isValide", state.isAccountNameFree(call.params[0])}});
             });
  router.add("PUT", "/api/accounts/{name}",
             [&state](const Call& call, httplib::Response& response) {
               createAccount(state, call, response);
             });
  router.add("GET", "/api/Account/{account}/State",
             [&state](const Call& call, httplib::Response& response) {
               const auto name = authorizeAccount(call, response, state, call.params[0]);
               if (!name) return;
               const auto account = state.account(*name);
               if (!account) return sendError(response, 404, "The account does not exist");
               sendJson(response, 200, accountStateView(*account));
             });
  router.add("GET", "/api/{account}/credits",
             [&state](const Call& call, httplib::Response& response) {
               const auto name = authorizeAccount(call, response, state, call.params[0]);
               if (!name) return;
               const auto account = state.account(*name);
               if (!account) return sendError(response, 404, "The account does not exist");
               sendJson(response, 200, creditsView(account->credits));
             });
}

}  // namespace vorelia::sandbox
