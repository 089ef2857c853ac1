// The routes of the sandbox: the service's JSON interface under "/", and the admin interface
// under "/admin/". Each add* function registers its routes; handlers keep references to the
// objects passed in, which must outlive the router.
#pragma once

#include <functional>
#include <optional>
#include <string>

#include "sandbox/blob_store.h"
#include "sandbox/faults.h"
#include "sandbox/request_log.h"
#include "sandbox/router.h"
#include "sandbox/state.h"
#include "sandbox/uploads.h"
#include "sandbox/visions.h"

namespace vorelia::sandbox {

// Settings the routes read; fixed before the server starts serving.
struct ServiceConfig {
  std::string webUrl;  // base of share links, without a trailing slash
};

// POST /Token and GET /api/Account/RelatedAccounts.
void addAuthRoutes(Router& router, State& state);
// isvalid, account creation, account state and credits.
void addAccountRoutes(Router& router, State& state);
// Container list (with ?$expand), create-if-not-exists, $synchronize and shares.
void addContainerRoutes(Router& router, State& state, const ServiceConfig& config);
// The pages behind share links: "/a/CODE" (the gallery) and "/p/CODE" (proofing), each showing
// the shared albums' images in their order; the proofing page's forms post a client's rating of
// one image to "/p/CODE/rate", which answers 303 back to the page.
void addWebRoutes(Router& router, State& state, const UploadPipeline& uploads);
// Upload reservations, encoding triggers and the long poll over encoding states.
void addUploadRoutes(Router& router, State& state, UploadPipeline& uploads);

// Blob requests, under "/blob/": PUT streams the body (reader; null when the request announced
// no length) into the store, GET and HEAD read a blob back; each needs the store's signature.
bool isBlobPath(std::string_view rawPath);
void serveBlob(BlobStore& store, const httplib::Request& request, const Target& target,
               const httplib::ContentReader* reader, httplib::Response& response);

// Vision creation and analyses; the images go into the blob store (under "/blob/visions/").
void addVisionRoutes(Router& router, State& state, Visions& visions);

struct AdminContext {
  State& state;
  FaultTable& faults;
  RequestLog& requests;
  const ServiceConfig& config;
  std::function<void()> requestShutdown;
};
// State seeding: state, reset, seed-demo, users, accounts, albums, ratings, credits.
void addAdminStateRoutes(Router& router, const AdminContext& admin);
// Upload settings (encoding delay, quota, long-poll hold), resources and stored blobs.
void addAdminUploadRoutes(Router& router, UploadPipeline& uploads, BlobStore& blobs);
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
