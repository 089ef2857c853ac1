// The ring of recorded requests that tests read to see exactly what a client sent.
#include <gtest/gtest.h>

#include "sandbox_fixture.h"

namespace vorelia::sandbox::testing {
namespace {

using SandboxRecording = SandboxTest;

TEST_F(SandboxRecording, KeepsRawPathQueryHeadersBodyAndStatus) {
  seedUser("ann@example.test", "pw", {"ann-studio"});
  const std::string token = tokenFor("ann@example.test");
  const std::string body = R"({"name":"Anna & Bob's"})";
  send("PUT", "/api/ann-studio/containers/Anna%20%20%20Bob%20s", body,
       {{"Authorization", "BEARER " + token}, {"X-Probe", "one"}}, "text/plain");
  get("/api/ann-studio/containers/?$expand", bearer(token));
  get("/admin/state");

  const auto requests = recorded();
  ASSERT_EQ(requests.size(), 2u);
  const auto& put = requests[0];
  EXPECT_EQ(put["method"], "PUT");
  EXPECT_EQ(put["path"], "/api/ann-studio/containers/Anna%20%20%20Bob%20s");
  EXPECT_EQ(put["body"], body);
  EXPECT_EQ(put["bodySize"], body.size());
  EXPECT_EQ(put["headers"]["Authorization"], "BEARER " + token);
  EXPECT_EQ(put["headers"]["X-Probe"], "one");
  EXPECT_EQ(put["headers"]["Content-Type"], "text/plain");
  EXPECT_FALSE(put["headers"].contains("REMOTE_ADDR"));
  EXPECT_EQ(put["status"], 201);
  EXPECT_TRUE(put["fault"].is_null());
  EXPECT_EQ(requests[1]["path"], "/api/ann-studio/containers/");
  EXPECT_EQ(requests[1]["query"], "$expand");
  EXPECT_LT(put["seq"], requests[1]["seq"]);
}

TEST_F(SandboxRecording, RingKeepsTheLastRequestsAndCutsLongBodies) {
  ServerOptions options;
  options.requestLogCapacity = 3;
  options.requestBodyCap = 8;
  start(options);
  for (int i = 0; i < 5; ++i) send("POST", "/nowhere/" + std::to_string(i), "0123456789ABCDEF");

  const auto list = adminOk("GET", "/admin/requests");
  EXPECT_EQ(list["evicted"], 2);
  ASSERT_EQ(list["requests"].size(), 3u);
  EXPECT_EQ(list["requests"][0]["path"], "/nowhere/2");
  EXPECT_EQ(list["requests"][2]["path"], "/nowhere/4");
  EXPECT_EQ(list["requests"][2]["status"], 404);
  EXPECT_EQ(list["requests"][2]["body"], "01234567");
  EXPECT_EQ(list["requests"][2]["bodySize"], 16);
  EXPECT_EQ(list["requests"][2]["bodyTruncated"], true);

  adminOk("DELETE", "/admin/requests");
  send("POST", "/nowhere/5", "");
  EXPECT_EQ(recorded().size(), 1u);
}

}  // namespace
}  // namespace vorelia::sandbox::testing
