// A sandbox server inside the test process, on an ephemeral port, with a clock the test moves,
// and plain HTTP calls that send exactly the path and body they are given.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "sandbox/server.h"

namespace vorelia::sandbox::testing {

// A request and the status it must get.
struct Refusal {
  std::string what, method, path, body;
  int status;
  httplib::Headers headers = {};
  std::string type = "application/json";
};

class SandboxTest : public ::testing::Test {
 protected:
  void SetUp() override { start({}); }
  void TearDown() override {
    if (server_) server_->stop();
  }

  // (Re)starts the server with options; the clock is the test's unless options bring one.
  void start(ServerOptions options) {
    if (server_) server_->stop();
    if (!options.now) {
      options.now = [this] {
        return SystemClock::time_point(std::chrono::seconds(seconds_.load()));
      };
    }
    server_ = std::make_unique<Server>(std::move(options));
    const auto failure = server_->start();
    ASSERT_FALSE(failure) << *failure;
  }

  void advanceClock(std::chrono::seconds by) { seconds_ += by.count(); }

  // One connection per call, so that calls from several threads do not share a client. The path
  // goes out as written (no escaping by the client).
  httplib::Client client() const {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_url_encode(false);
    client.set_connection_timeout(std::chrono::seconds(10));
    client.set_read_timeout(std::chrono::seconds(120));
    return client;
  }

  static httplib::Headers bearer(const std::string& token) {
    return {{"Authorization", "BEARER " + token}};
  }

  httplib::Result get(const std::string& path, const httplib::Headers& headers = {}) const {
    return client().Get(path, headers);
  }
  httplib::Result send(const std::string& method, const std::string& path, const std::string& body,
                       const httplib::Headers& headers = {},
                       const std::string& contentType = "application/json") const {
    if (method == "GET") return get(path, headers);
    if (method == "PUT") return client().Put(path, headers, body, contentType);
    if (method == "DELETE") return client().Delete(path, headers, body, contentType);
    return client().Post(path, headers, body, contentType);
  }

  // The body of a successful admin call as JSON; fails the test otherwise.
  nlohmann::json adminOk(const std::string& method, const std::string& path,
                         const nlohmann::json& body = nlohmann::json::object()) const {
    const auto result = send(method, path, body.dump());
    if (!result || result->status != 200) {
      ADD_FAILURE() << method << " " << path
                    << " refused: " << (result ? result->body : std::string("no answer"));
      return nullptr;
    }
    return nlohmann::json::parse(result->body);
  }

  // Sends each request and checks its status and, when member is given, that the JSON body that
  // explains the refusal holds it.
  void expectRefused(const std::vector<Refusal>& cases, const char* member = nullptr) const {
    for (const Refusal& c : cases) {
      SCOPED_TRACE(c.what + ": " + c.method + " " + c.path);
      const auto result = send(c.method, c.path, c.body, c.headers, c.type);
      ASSERT_TRUE(result);
      EXPECT_EQ(result->status, c.status) << result->body;
      if (member) {
        EXPECT_TRUE(json(result).contains(member)) << result->body;
      }
    }
  }

  void seedUser(const std::string& email, const std::vector<std::string>& accounts) const {
    adminOk("POST", "/admin/users", {{"email", email}, {"password", "pw"}, {"accounts", accounts}});
  }
  std::string tokenFor(const std::string& email) const {
    return adminOk("POST", "/admin/tokens", {{"email", email}})["access_token"];
  }
  nlohmann::json recorded() const { return adminOk("GET", "/admin/requests")["requests"]; }

  static nlohmann::json json(const httplib::Result& result) {
    if (!result) return nullptr;
    return nlohmann::json::parse(result->body, nullptr, false);
  }

  std::unique_ptr<Server> server_;
  std::atomic<long long> seconds_{1'700'000'000};
};

}  // namespace vorelia::sandbox::testing
