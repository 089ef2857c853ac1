// Faults on service routes, checked with a plain HTTP client as the plugin's tests will see them.
#include <gtest/gtest.h>

#include <future>

#include "sandbox_fixture.h"
#include "support/wait.h"

namespace vorelia::sandbox::testing {
namespace {

constexpr char kPath[] = "/api/accounts/free-name/isvalid";
const nlohmann::json kNormal = {{"isValide", true}};

class SandboxFaults : public SandboxTest {
 protected:
  int addFault(const nlohmann::json& fault) const {
    return adminOk("POST", "/admin/faults", fault)["id"];
  }

  // The recorded request number n (from 1) once it has arrived.
  nlohmann::json awaitRecorded(std::size_t n) const {
    nlohmann::json requests;
    EXPECT_TRUE(vorelia::testing::waitUntil([&] {
      requests = recorded();
      return requests.size() >= n;
    }));
    return requests.size() >= n ? requests[n - 1] : nlohmann::json();
  }

  std::future<httplib::Result> getLater(const std::string& path) const {
    return std::async(std::launch::async, [this, path] { return get(path); });
  }
};

// The fault matrix drives statuses, JSON and XML bodies, garbage, drops and stalls through the
// plugin; these are the rules it does not use.
TEST_F(SandboxFaults, AnswerReplacesTheRoute) {
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

TEST_F(SandboxFaults, CountsLimitTheFaultInAllAndPerPath) {
  addFault(
      {{"path", "/api/accounts/*/isvalid"}, {"status", 503}, {"countPerPath", 2}, {"count", 5}});
  // Each path's first two requests, five in all.
  for (const auto& [path, status] : std::vector<std::pair<std::string, int>>{{"a", 503},
                                                                             {"b", 503},
                                                                             {"a", 503},
                                                                             {"a", 200},
                                                                             {"b", 503},
                                                                             {"b", 200},
                                                                             {"c", 503},
                                                                             {"c", 200}}) {
    EXPECT_EQ(get("/api/accounts/" + path + "/isvalid")->status, status) << path;
  }
  const auto fault = adminOk("GET", "/admin/faults")["faults"][0];
  EXPECT_EQ(fault["hits"], 5);
  EXPECT_EQ(fault["remaining"], 0);
}

TEST_F(SandboxFaults, HeldRequestsWaitUntilTheFaultIsRemovedOrTheServerStops) {
  // A used-up stall keeps its request while others pass; a long delay holds the fault's answer.
  const int stall = addFault({{"path", kPath}, {"stall", true}, {"count", 1}});
  auto stalled = getLater(kPath);
  EXPECT_TRUE(awaitRecorded(1)["status"].is_null());
  EXPECT_EQ(json(get(kPath)), kNormal);
  const int delay = addFault({{"path", kPath}, {"delayMs", 600000}, {"status", 503}});
  auto delayed = getLater(kPath);
  awaitRecorded(3);
  EXPECT_EQ(stalled.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  EXPECT_EQ(delayed.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  adminOk("DELETE", "/admin/faults/" + std::to_string(stall));
  EXPECT_EQ(json(stalled.get()), kNormal);
  adminOk("DELETE", "/admin/faults/" + std::to_string(delay));
  EXPECT_EQ(delayed.get()->status, 503);

  addFault({{"path", kPath}, {"stall", true}});
  auto held = getLater(kPath);
  awaitRecorded(4);
  server_->stop();
  EXPECT_FALSE(held.get());
}

TEST_F(SandboxFaults, MalformedFaultsAreRefused) {
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
    SCOPED_TRACE(fault.dump());
    EXPECT_EQ(admin("POST", "/admin/faults", fault)->status, 400);
  }
  EXPECT_TRUE(adminOk("GET", "/admin/faults")["faults"].empty());
}

}  // namespace
}  // namespace vorelia::sandbox::testing
