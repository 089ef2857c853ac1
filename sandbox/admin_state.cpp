// Admin routes that read and seed the sandbox state.
#include <algorithm>

#include "sandbox/admin_support.h"
#include "sandbox/routes.h"
#include "sandbox/views.h"

namespace vorelia::sandbox {
namespace {

// POST /admin/users {"email", "password", "accounts": [names]}
void seedUser(State& state, const Call& call, httplib::Response& response) {
  const auto body = adminBody(call, response);
  if (!body) return;
  const auto email = requiredText(*body, "email", response);
  if (!email) return;
  const auto password = requiredText(*body, "password", response);
  if (!password) return;
  UserSeed seed{*email, *password, {}};
  if (body->contains("accounts")) {
    const auto& accounts = (*body)["accounts"];
    if (!accounts.is_array() || !std::all_of(accounts.begin(), accounts.end(),
                                             [](const auto& a) { return a.is_string(); })) {
      return sendError(response, 400, "\"accounts\" must be an array of names");
    }
    seed.accounts = accounts.get<std::vector<std::string>>();
  }
  sendOutcome(response, state.upsertUser(seed),
              {{"email", *email}, {"accounts", state.relatedAccounts(*email)}});
}

// POST /admin/accounts {"name", "credits"?, "creditsUsed"?, "creditsLimit"?, "extraCredits"?}
void seedAccount(State& state, const Call& call, httplib::Response& response) {
  const auto body = adminBody(call, response);
  if (!body) return;
  const auto name = requiredText(*body, "name", response);
  if (!name) return;
  const auto patch = creditsPatch(*body, response);
  if (!patch) return;
  const auto outcome = state.upsertAccount(*name, *patch);
  if (outcome) return sendOutcome(response, outcome, nullptr);
  const auto account = state.account(*name);
  if (!account) return sendError(response, 409, "The account was removed meanwhile");
  sendJson(response, 200, {{"name", account->name}, {"credits", creditsView(account->credits)}});
}

// POST /admin/credits {"account", "credits"?, "creditsUsed"?, "creditsLimit"?, "extraCredits"?}
void setCredits(State& state, const Call& call, httplib::Response& response) {
  const auto body = adminBody(call, response);
  if (!body) return;
  const auto account = requiredText(*body, "account", response);
  if (!account) return;
  const auto patch = creditsPatch(*body, response);
  if (!patch) return;
  const auto outcome = state.updateCredits(*account, *patch);
  if (outcome) return sendOutcome(response, outcome, nullptr);
  const auto updated = state.account(*account);
  if (!updated) return sendError(response, 409, "The account was removed meanwhile");
  sendJson(response, 200, creditsView(updated->credits));
}

// POST /admin/albums {"account", "id"?, "name", "items"?: [{"id"?, "name", "order"?, "rating"?}]}
void seedAlbum(State& state, const Call& call, httplib::Response& response) {
  const auto body = adminBody(call, response);
  if (!body) return;
  const auto account = requiredText(*body, "account", response);
  if (!account) return;
  const auto seed = albumSeed(*body, response);
  if (!seed) return;
  const auto album = state.upsertAlbum(*account, *seed);
  if (!album.ok()) return sendError(response, album.failure().status, album.failure().message);
  sendJson(response, 200, albumView(album.value(), true));
}

// POST /admin/ratings {"account", "album" (id or name), "item" (id or name), "rating"}
void setRating(State& state, const Call& call, httplib::Response& response) {
  const auto body = adminBody(call, response);
  if (!body) return;
  const auto account = requiredText(*body, "account", response);
  if (!account) return;
  const auto album = requiredText(*body, "album", response);
  if (!album) return;
  const auto item = requiredText(*body, "item", response);
  if (!item) return;
  const auto rated =
      state.setRating(*account, *album, *item, body->value("rating", nlohmann::json()));
  if (!rated.ok()) return sendError(response, rated.failure().status, rated.failure().message);
  sendJson(response, 200, itemView(rated.value()));
}

}  // namespace

void addAdminStateRoutes(Router& router, const AdminContext& admin) {
  State& state = admin.state;
  const ServiceConfig& config = admin.config;
  router.add("GET", "/admin/state", [&state, &config](const Call&, httplib::Response& response) {
    sendJson(response, 200, state.snapshot(config.webUrl));
  });
  router.add("POST", "/admin/reset", [&state](const Call&, httplib::Response& response) {
    state.reset();
    sendJson(response, 200, {{"reset", true}});
  });
  router.add("POST", "/admin/seed-demo",
             [&state, &config](const Call&, httplib::Response& response) {
               state.seedDemo();
               sendJson(response, 200, state.snapshot(config.webUrl));
             });
  router.add("POST", "/admin/users", [&state](const Call& call, httplib::Response& response) {
    seedUser(state, call, response);
  });
  router.add("POST", "/admin/accounts", [&state](const Call& call, httplib::Response& response) {
    seedAccount(state, call, response);
  });
  router.add("POST", "/admin/credits", [&state](const Call& call, httplib::Response& response) {
    setCredits(state, call, response);
  });
  router.add("POST", "/admin/albums", [&state](const Call& call, httplib::Response& response) {
    seedAlbum(state, call, response);
  });
  router.add("POST", "/admin/ratings", [&state](const Call& call, httplib::Response& response) {
    setRating(state, call, response);
  });
}

}  // namespace vorelia::sandbox
