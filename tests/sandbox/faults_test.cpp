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

TEST_F(SandboxFaults, AnswerReplacesTheRoute) {
  struct Case {
    nlohmann::json fault;
    int status;
    std::string body;  // empty: check only that the body is not JSON
    std::string contentType = "application/json; charset=utf-8";
  };
  const Case cases[] = {
      {{{"status", 503}}, 503, R"({"hasError":true,"message":"Fault injected by the sandbox"})"},
      {{{"status", 500}, {"body", {{"hasError", true}, {"message", "down"}}}},
       500,
       R"({"hasError":true,"message":"down"})"},
      {{{"body", "plain words"}}, 500, "plain words"},
      {{{"status", 200}, {"body", "[7]"}}, 200, "[7]"},
      {{{"status", 403}, {"body", "<Error/>"}, {"contentType", "application/xml"}},
       403,
       "<Error/>",
       "application/xml"},
      {{{"garbage", true}}, 200, ""},
      {{{"garbage", true}, {"status", 502}}, 502, ""},
      {{{"delayMs", 1}}, 200, R"({"isValide":true})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault.dump());
    nlohmann::json fault = c.fault;
    fault["path"] = kPath;
    addFault(fault);
    const auto result = get(kPath);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, c.status);
    if (c.body.empty()) {
      EXPECT_TRUE(json(result).is_discarded()) << result->body;
    } else {
      EXPECT_EQ(result->body, c.body);
      EXPECT_EQ(result->get_header_value("Content-Type"), c.contentType);
    }
    adminOk("DELETE", "/admin/faults");
    EXPECT_EQ(json(get(kPath)), kNormal);
  }
}

TEST_F(SandboxFaults, DropClosesTheConnectionWithoutAnAnswer) {
  const int id = addFault({{"path", kPath}, {"drop", true}, {"count", 1}});
  const auto dropped = get(kPath);
  EXPECT_FALSE(dropped);
  EXPECT_EQ(json(get(kPath)), kNormal);
  const auto first = recorded()[0];
  EXPECT_EQ(first["status"], 0);
  EXPECT_EQ(first["fault"], id);
}

TEST_F(SandboxFaults, CountMethodQueryAndPatternChooseTheRequests) {
  addFault({{"path", "/api/accounts/*/isvalid"},
            {"query", "twice"},
            {"status", 503},
            {"countPerPath", 2},
            {"count", 5}});
  addFault({{"method", "get"}, {"path", "/API/*/ISVALID"}, {"status", 502}, {"count", 2}});
  addFault({{"method", "POST"}, {"path", "/api/*"}, {"status", 418}});
  addFault({{"path", "/api/*/containers/"}, {"query", "$expand"}, {"status", 503}});
  seedUser("ann@example.test", "pw", {"ann-studio"});
  const auto auth = bearer(tokenFor("ann@example.test"));

  EXPECT_EQ(get("/api/accounts/one/isvalid")->status, 502);
  EXPECT_EQ(get("/api/accounts/two/isvalid")->status, 502);
  EXPECT_EQ(get("/api/accounts/three/isvalid")->status, 200);
  // Each path's first two requests, five in all.
  for (const auto& [path, status] : std::vector<std::pair<std::string, int>>{{"a", 503},
                                                                             {"b", 503},
                                                                             {"a", 503},
                                                                             {"a", 200},
                                                                             {"b", 503},
                                                                             {"b", 200},
                                                                             {"c", 503},
                                                                             {"c", 200}}) {
    EXPECT_EQ(get("/api/accounts/" + path + "/isvalid?twice")->status, status) << path;
  }
  EXPECT_EQ(send("POST", "/api/ann-studio/shares", "{}", auth)->status, 418);
  EXPECT_EQ(get("/api/ann-studio/containers/?$expand", auth)->status, 503);
  EXPECT_EQ(get("/api/ann-studio/containers/", auth)->status, 200);
  EXPECT_EQ(get("/admin/state")->status, 200);

  const auto faults = adminOk("GET", "/admin/faults")["faults"];
  EXPECT_EQ(faults[0]["hits"], 5);
  EXPECT_EQ(faults[0]["remaining"], 0);
  EXPECT_EQ(faults[1]["hits"], 2);
  EXPECT_EQ(faults[1]["remaining"], 0);
  EXPECT_EQ(faults[2]["hits"], 1);
}

TEST_F(SandboxFaults, StallHoldsTheRequestUntilTheFaultIsRemoved) {
  const int id = addFault({{"path", kPath}, {"stall", true}, {"count", 1}});
  auto held = getLater(kPath);
  const auto record = awaitRecorded(1);
  EXPECT_EQ(record["fault"], id);
  EXPECT_TRUE(record["status"].is_null());
  EXPECT_EQ(held.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);

  // The used-up fault no longer matches: other requests pass while the first one is held.
  EXPECT_EQ(json(get(kPath)), kNormal);
  adminOk("DELETE", "/admin/faults/" + std::to_string(id));
  const auto answered = held.get();
  ASSERT_TRUE(answered);
  EXPECT_EQ(json(answered), kNormal);
}

TEST_F(SandboxFaults, DelayHoldsTheFaultsAnswerUntilItIsCleared) {
  addFault({{"path", kPath}, {"delayMs", 600000}, {"status", 503}});
  auto held = getLater(kPath);
  awaitRecorded(1);
  EXPECT_EQ(held.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  adminOk("DELETE", "/admin/faults");
  const auto answered = held.get();
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->status, 503);
}

TEST_F(SandboxFaults, StoppingTheServerDropsHeldRequests) {
  addFault({{"path", kPath}, {"stall", true}});
  auto held = getLater(kPath);
  awaitRecorded(1);
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
