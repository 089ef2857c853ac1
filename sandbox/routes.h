// The routes of the sandbox: the service's JSON interface under "/", and the admin interface
// under "/admin/". Each add* function registers its routes; handlers keep references to the
// objects passed in, which must outlive the router.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "sandbox/faults.h"
#include "sandbox/request_log.h"
#include "sandbox/router.h"
#include "sandbox/state.h"
#include "sandbox/visions.h"

namespace vorelia::sandbox {

// Settings the routes read; fixed before the server starts serving.
struct ServiceConfig {
  std::string webUrl;      // base of share links, without a trailing slash
  std::string serviceUrl;  // the server's own address, "http://HOST:PORT"
};

// POST /Token and GET /api/Account/RelatedAccounts.
void addAuthRoutes(Router& router, State& state);
// isvalid, account creation, account state and credits.
void addAccountRoutes(Router& router, State& state);
// Container list (with ?$expand), create-if-not-exists, $synchronize and shares.
void addContainerRoutes(Router& router, State& state, const ServiceConfig& config);

// Vision creation, image uploads into visions (under /vision-blobs/) and analyses.
void addVisionRoutes(Router& router, State& state, Visions& visions, const ServiceConfig& config);

struct AdminContext {
  State& state;
  FaultTable& faults;
  RequestLog& requests;
  const ServiceConfig& config;
  std::function<void()> requestShutdown;
};
// State seeding: state, reset, seed-demo, users, accounts, albums, ratings, credits.
void addAdminStateRoutes(Router& router, const AdminContext& admin);
// Tokens, recorded requests, faults and shutdown.
void addAdminControlRoutes(Router& router, const AdminContext& admin);

// The e-mail address of the request's bearer token; answers 401 and returns nothing when the
// token is missing, unknown or expired.
std::optional<std::string> authenticateCall(const Call& call, httplib::Response& response,
                                            const State& state);
// The account's own spelling when the request's token belongs to a user related to it; answers
// 401 and returns nothing otherwise.
std::optional<std::string> authorizeAccount(const Call& call, httplib::Response& response,
                                            const State& state, const std::string& account);

}  // namespace vorelia::sandbox
