// The admin interface the plugin's tests lean on: faults on service routes, as a plain HTTP client
// sees them, and the recorded requests; the text helpers under them.
#include <gtest/gtest.h>

#include <future>

#include "sandbox/faults.h"
#include "sandbox/http_util.h"
#include "sandbox_fixture.h"
#include "support/wait.h"

namespace vorelia::sandbox::testing {
namespace {

constexpr char kPath[] = "/api/accounts/free-name/isvalid";
const nlohmann::json kNormal = {{"isValide", true}};

class SandboxAdmin : public SandboxTest {
 protected:
  int addFault(const nlohmann::json& fault) const {
    return adminOk("POST", "/admin/faults", fault)["id"];
  }

  // Whether n requests have been recorded in time.
  bool awaitRecorded(std::size_t n) const {
    return vorelia::testing::waitUntil([&] { return recorded().size() >= n; });
  }

  std::future<httplib::Result> getLater(const std::string& path) const {
    return std::async(std::launch::async, [this, path] { return get(path); });
  }
};

// The fault matrix drives statuses, JSON and XML bodies, garbage, drops and stalls through the
// plugin, and cannot tell a fault that was not applied; these are the answers it relies on.
TEST_F(SandboxAdmin, FaultAnswerReplacesTheRoute) {
  struct Case {
    nlohmann::json fault;
    int status;
    std::string body;  // empty: check only that the body is not JSON
  };
  const Case cases[] = {
      {{{"status", 503}}, 503, R"({"hasError":true,"message":"Fault injected by the sandbox"})"},
      {{{"body", "plain words"}}, 500, "plain words"},
      {{{"garbage", true}, {"status", 502}}, 502, ""},
      {{{"delayMs", 1}}, 200, R"({"isValide":true})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault.dump());
    nlohmann::json fault = c.fault;
    fault["path"] = kPath;
    const int id = addFault(fault);
    const auto result = get(kPath);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    if (c.body.empty()) {
      EXPECT_TRUE(json(result).is_discarded()) << result->body;
    } else {
      EXPECT_EQ(result->body, c.body);
    }
    EXPECT_EQ(recorded().back()["fault"], id);
    adminOk("DELETE", "/admin/faults");
    EXPECT_EQ(json(get(kPath)), kNormal);
  }
}

TEST_F(SandboxAdmin, FaultCountsLimitItInAllAndPerPath) {
  addFault(
      {{"path", "/api/accounts/*/isvalid"}, {"status", 503}, {"countPerPath", 2}, {"count", 5}});
  // Each path's first two requests, five in all.
  const std::pair<const char*, int> requests[] = {{"a", 503}, {"b", 503}, {"a", 503}, {"a", 200},
                                                  {"b", 503}, {"b", 200}, {"c", 503}, {"c", 200}};
  for (const auto& [path, status] : requests) {
    EXPECT_EQ(get("/api/accounts/" + std::string(path) + "/isvalid")->status, status) << path;
  }
  const auto fault = adminOk("GET", "/admin/faults")["faults"][0];
  EXPECT_EQ(fault["hits"], 5);
  EXPECT_EQ(fault["remaining"], 0);
}

TEST_F(SandboxAdmin, StalledRequestsWaitUntilTheFaultIsRemovedOrTheServerStops) {
  // A used-up stall keeps its request while others pass.
  const int stall = addFault({{"path", kPath}, {"stall", true}, {"count", 1}});
  auto stalled = getLater(kPath);
  ASSERT_TRUE(awaitRecorded(1));
  EXPECT_TRUE(recorded()[0]["status"].is_null());
  EXPECT_EQ(json(get(kPath)), kNormal);
  EXPECT_EQ(stalled.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  adminOk("DELETE", "/admin/faults/" + std::to_string(stall));
  EXPECT_EQ(json(stalled.get()), kNormal);

  addFault({{"path", kPath}, {"stall", true}});
  auto held = getLater(kPath);
  ASSERT_TRUE(awaitRecorded(3));
  server_->stop();
  EXPECT_FALSE(held.get());
}

TEST_F(SandboxAdmin, MalformedFaultsAreRefused) {
  const nlohmann::json refused[] = {
      {{"status", 500}},
      {{"path", kPath}, {"status", 99}},
      {{"path", kPath}, {"delayMs", -1}},
      {{"path", kPath}, {"count", 0}},
      {{"path", kPath}, {"countPerPath", 0}},
      {{"path", kPath}, {"drop", "yes"}},
      {{"path", kPath}, {"body", "x"}, {"contentType", 5}},
      {{"path", kPath}, {"drop", true}, {"garbage", true}},
  };
  for (const auto& fault : refused) {
    EXPECT_EQ(send("POST", "/admin/faults", fault.dump())->status, 400) << fault.dump();
  }
  EXPECT_TRUE(adminOk("GET", "/admin/faults")["faults"].empty());
}

// Admin calls stay out of the record; the plugin's tests compare paths as sent.
TEST_F(SandboxAdmin, RecordingKeepsTheRawPathApartFromTheQuery) {
  seedUser("ann@example.test", {"ann-studio"});
  const std::string token = tokenFor("ann@example.test");
  const std::string body = R"({"name":"Anna & Bob's"})";
  send("PUT", "/api/ann-studio/containers/Anna%20%20%20Bob%20s", body, bearer(token));
  get("/api/ann-studio/containers/?$expand", bearer(token));
  get("/admin/state");
  const auto requests = recorded();
  ASSERT_EQ(requests.size(), 2u);
  const nlohmann::json expected = {{"method", "PUT"},
                                   {"path", "/api/ann-studio/containers/Anna%20%20%20Bob%20s"},
                                   {"body", body},
                                   {"status", 201},
                                   {"fault", nullptr}};
  for (const auto& [member, value] : expected.items()) {
    EXPECT_EQ(requests[0][member], value) << member;
  }
  EXPECT_EQ(requests[0]["headers"]["Authorization"], "BEARER " + token);
  EXPECT_EQ(requests[1]["path"], "/api/ann-studio/containers/");
  EXPECT_EQ(requests[1]["query"], "$expand");
}

TEST_F(SandboxAdmin, RecordingRingKeepsTheLastRequestsAndCutsLongBodies) {
  ServerOptions options;
  options.requestLogCapacity = 3;
  options.requestBodyCap = 8;
  start(options);
  for (int i = 0; i < 5; ++i) send("POST", "/nowhere/" + std::to_string(i), "0123456789ABCDEF");
  const auto list = adminOk("GET", "/admin/requests");
  EXPECT_EQ(list["evicted"], 2);
  ASSERT_EQ(list["requests"].size(), 3u);
  EXPECT_EQ(list["requests"][0]["path"], "/nowhere/2");
  const nlohmann::json expected = {{"path", "/nowhere/4"},
                                   {"status", 404},
                                   {"body", "01234567"},
                                   {"bodySize", 16},
                                   {"bodyTruncated", true}};
  for (const auto& [member, value] : expected.items()) {
    EXPECT_EQ(list["requests"][2][member], value) << member;
  }
}

// Well-formed forms and paths are decoded on every request of the plugin's tests; these are not.
TEST(SandboxWireText, MalformedEscapesAndEmptyPairsAreKept) {
  EXPECT_EQ(parseForm("p=%zz%4%&&flag"),
            (std::vector<std::pair<std::string, std::string>>{{"p", "%zz%4%"}, {"flag", ""}}));
  EXPECT_EQ(percentDecode("a+b%20c", false), "a+b c");
}

TEST(SandboxWireText, FaultPatternsMatchWholePathsIgnoringCase) {
  const std::tuple<std::string, std::string, bool> cases[] = {
      {"/API/X/Credits", "/api/x/credits", true},
      {"/api/x/credits", "/api/x/credits/", false},
      {"/api/*/credits", "/api/x/credits", true},
      {"/api/*/credits", "/api/x/y/credits", true},
      {"/api/*", "/api/", true},
      {"/api/*", "/apix", false},
      {"/a*b*c", "/aXbYbZc", true},
      {"/a*b*c", "/aXbYbZ", false},
  };
  for (const auto& [pattern, path, matches] : cases) {
    EXPECT_EQ(globMatches(pattern, path), matches) << pattern << " " << path;
  }
}

TEST(SandboxWireText, OnlyLoopbackHostsAreBound) {
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {"127.9.8.7", "127.9.8.7"}, {"localhost", "127.0.0.1"},
      {"LocalHost", "127.0.0.1"}, {"::1", "::1"},
      {"[::1]", "::1"},
  };
  for (const auto& [host, address] : cases) EXPECT_EQ(loopbackBindAddress(host), address) << host;
  for (const char* host : {"0.0.0.0", "::", "128.0.0.1", "::ffff:127.0.0.1", "example.com", ""}) {
    EXPECT_EQ(loopbackBindAddress(host), std::nullopt) << host;
  }
}

}  // namespace
}  // namespace vorelia::sandbox::testing
