// The token grant and the bearer checks of every authenticated route.
#include "sandbox/routes.h"

namespace vorelia::sandbox {
namespace {

void sendUnauthorized(httplib::Response& response, std::string_view message) {
  sendError(response, 401, message);
  response.set_header("WWW-Authenticate", "Bearer");
}

void sendGrantError(httplib::Response& response, std::string_view error,
                    std::string_view description) {
  sendJson(response, 400, {{"error", error}, {"error_description", description}});
  response.set_header("Cache-Control", "no-store");
}

// POST /Token: the resource owner password grant, form-encoded.
void grantToken(State& state, const Call& call, httplib::Response& response) {
  const auto form = parseForm(call.request.body);
  const auto grantType = formValue(form, "grant_type");
  const auto username = formValue(form, "username");
  const auto password = formValue(form, "password");
  if (grantType != "password") {
    sendGrantError(response, "unsupported_grant_type", "Only the password grant is supported.");
    return;
  }
  if (!username || !password) {
    sendGrantError(response, "invalid_request", "A user name and a password are needed.");
    return;
  }
  const auto issued = state.grant(*username, *password);
  if (!issued) {
    sendGrantError(response, "invalid_grant", "The user name or password is incorrect.");
    return;
  }
  sendJson(response, 200,
           {{"access_token", issued->token},
            {"token_type", "bearer"},
            {"expires_in", issued->expiresIn},
            {"userName", *username}});
  response.set_header("Cache-Control", "no-store");
}

}  // namespace

std::optional<std::string> authenticateCall(const Call& call, httplib::Response& response,
                                            const State& state) {
  const auto token = bearerToken(call.request);
  if (!token) {
    sendUnauthorized(response, "Authorization has been denied: no bearer token");
    return std::nullopt;
  }
  auto user = state.authenticate(*token);
  if (!user.ok()) {
    sendUnauthorized(response, user.failure().message);
    return std::nullopt;
  }
  return user.value();
}

std::optional<std::string> authorizeAccount(const Call& call, httplib::Response& response,
                                            const State& state, const std::string& account) {
  const auto user = authenticateCall(call, response, state);
  if (!user) return std::nullopt;
  auto related = state.relatedAccount(*user, account);
  if (!related) {
    sendUnauthorized(response, "Authorization has been denied for the account " + account);
    return std::nullopt;
  }
  return related;
}

void addAuthRoutes(Router& router, State& state) {
  router.add("POST", "/Token", [&state](const Call& call, httplib::Response& response) {
    grantToken(state, call, response);
  });
  router.add("GET", "/api/Account/RelatedAccounts",
             [&state](const Call& call, httplib::Response& response) {
               const auto user = authenticateCall(call, response, state);
               if (user) sendJson(response, 200, state.relatedAccounts(*user));
             });
}

}  // namespace vorelia::sandbox
