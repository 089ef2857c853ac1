// vorelia-sandbox as a process: the port line, flags, the state file, stopping.
#include <gtest/gtest.h>
#include <httplib.h>

#include <fstream>
#include <sstream>

#include "support/sandbox_process.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

httplib::Client clientFor(const SandboxProcess& sandbox) {
  httplib::Client client("127.0.0.1", sandbox.port());
  client.set_url_encode(false);
  return client;
}

std::string grant(const SandboxProcess& sandbox, const std::string& form) {
  auto result = clientFor(sandbox).Post("/Token", form, "application/x-www-form-urlencoded");
  if (!result) return "";
  return nlohmann::json::parse(result->body, nullptr, false).value("access_token", "");
}

TEST(SandboxExecutable, AnnouncesItsPortAndStopsCleanlyOnSigterm) {
  SandboxProcess sandbox;
  EXPECT_GT(sandbox.port(), 0);
  EXPECT_EQ(sandbox.baseUrl(), "http://127.0.0.1:" + std::to_string(sandbox.port()) + "/");
  auto answer = clientFor(sandbox).Get("/api/accounts/some-name/isvalid");
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->body, R"({"isValide":true})");
  EXPECT_EQ(sandbox.stop(), 0);
}

TEST(SandboxExecutable, AdminShutdownEndsTheProcess) {
  SandboxProcess sandbox;
  EXPECT_EQ(sandbox.admin("POST", "/admin/shutdown").status, 200);
  EXPECT_EQ(sandbox.waitForExit(std::chrono::seconds(20)), std::optional<int>(0));
}

TEST(SandboxExecutable, AdminHelpersSeedFaultAndReadRecords) {
  SandboxProcess sandbox;
  sandbox.seedUser("ann@example.test", "pw", {"ann-studio"});
  const httplib::Headers auth{{"Authorization", "BEARER " + sandbox.token("ann@example.test")}};
  const int id = sandbox.setFault({{"path", "/api/*/credits"}, {"drop", true}, {"count", 1}});
  auto client = clientFor(sandbox);
  EXPECT_FALSE(client.Get("/api/ann-studio/credits", auth));
  const auto answered = client.Get("/api/ann-studio/credits", auth);
  ASSERT_TRUE(answered);
  EXPECT_EQ(answered->status, 200);

  const auto requests = sandbox.requests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requests[0]["fault"], id);
  EXPECT_EQ(requests[0]["status"], 0);
  EXPECT_EQ(requests[1]["headers"]["Authorization"], auth.begin()->second);
  sandbox.clearFaults();
  sandbox.clearRequests();
  EXPECT_TRUE(sandbox.requests().empty());
}

TEST(SandboxExecutable, RefusesHostsOffTheLoopbackAndBadFlags) {
  const std::vector<std::string> refused[] = {
      {"--host", "0.0.0.0"},
      {"--host", "10.1.2.3"},
      {"--host", "::"},
      {"--host", "example.com"},
      {"--host=128.0.0.1"},
      {"--port", "70000"},
      {"--port", "x"},
      {"--token-lifetime", "-1"},
      {"--web-url", "ftp://x"},
      {"--bogus"},
      {"--state"},
  };
  for (const auto& arguments : refused) {
    SCOPED_TRACE(arguments.front() + (arguments.size() > 1 ? " " + arguments[1] : ""));
    const SandboxRun run = runSandboxToEnd(arguments);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "");
    EXPECT_NE(run.errors.find("vorelia-sandbox: "), std::string::npos) << run.errors;
  }
  EXPECT_NE(runSandboxToEnd({"--host", "10.1.2.3"}).errors.find("loopback"), std::string::npos);
}

TEST(SandboxExecutable, ListensOnOtherLoopbackAddresses) {
  for (const std::string host : {"127.0.0.2", "localhost"}) {
    SCOPED_TRACE(host);
    SandboxProcess sandbox(withArguments({"--host", host}));
    EXPECT_EQ(sandbox.admin("GET", "/admin/state").status, 200);
  }
}

TEST(SandboxExecutable, HelpDocumentsFlagsAndTheAdminInterface) {
  const SandboxRun run = runSandboxToEnd({"--help"});
  EXPECT_EQ(run.exitCode, 0);
  for (const char* text :
       {"--port", "--host", "--state", "--seed-demo", "--token-lifetime", "--web-url",
        "/admin/faults", "/admin/requests", "/admin/users", "/admin/albums", "/admin/ratings",
        "/admin/credits", "stall", "garbage", "drop", "delayMs"}) {
    EXPECT_NE(run.output.find(text), std::string::npos) << text;
  }
}

TEST(SandboxExecutable, SeedDemoOffersTheDemoLogin) {
  SandboxProcess sandbox(withArguments({"--seed-demo"}));
  const std::string token =
      grant(sandbox, "grant_type=password&username=demo%40vorelia.test&password=demo-password");
  ASSERT_FALSE(token.empty());
  const httplib::Headers auth{{"Authorization", "BEARER " + token}};
  const auto accounts =
      nlohmann::json::parse(clientFor(sandbox).Get("/api/Account/RelatedAccounts", auth)->body);
  ASSERT_EQ(accounts.size(), 2u);
  EXPECT_EQ(accounts[0], "demo-studio");
  const auto albums = nlohmann::json::parse(
      clientFor(sandbox).Get("/api/demo-studio/containers/?$expand", auth)->body)["value"];
  EXPECT_GE(albums.size(), 2u);
  const auto credits =
      nlohmann::json::parse(clientFor(sandbox).Get("/api/demo-studio/credits", auth)->body);
  for (const char* member : {"credits", "creditsUsed", "creditsLimit", "extraCredits"}) {
    EXPECT_TRUE(credits[member].is_number()) << member;
  }
}

TEST(SandboxExecutable, StateFileSurvivesARestartWithoutHoldingSecrets) {
  const auto folder = makeTempDirectory("sandbox-state");
  const std::string file = (folder / "state.json").string();
  std::string token;
  {
    SandboxProcess sandbox(withArguments({"--state", file}));
    sandbox.seedUser("ann@example.test", "s3cret pass", {"ann-studio"});
    sandbox.seedAlbum({{"account", "ann-studio"},
                       {"name", "Kept"},
                       {"items", {{{"name", "a.jpg"}, {"rating", 4}}}}});
    token = grant(sandbox, "grant_type=password&username=ann%40example.test&password=s3cret+pass");
    ASSERT_FALSE(token.empty());
    EXPECT_EQ(sandbox.stop(), 0);
  }
  std::stringstream saved;
  saved << std::ifstream(file).rdbuf();
  EXPECT_NE(saved.str().find("ann-studio"), std::string::npos);
  EXPECT_EQ(saved.str().find("s3cret pass"), std::string::npos);
  EXPECT_EQ(saved.str().find(token), std::string::npos);

  SandboxProcess restarted(withArguments({"--state", file}));
  EXPECT_FALSE(
      grant(restarted, "grant_type=password&username=ann%40example.test&password=s3cret+pass")
          .empty());
  const auto albums = clientFor(restarted).Get("/api/ann-studio/containers/?$expand",
                                               {{"Authorization", "BEARER " + token}});
  ASSERT_TRUE(albums);
  ASSERT_EQ(albums->status, 200);
  const auto items = nlohmann::json::parse(albums->body)["value"][0]["value"];
  EXPECT_EQ(items[0]["name"], "a.jpg");
  EXPECT_EQ(items[0]["rating"], 4);
  std::filesystem::remove_all(folder);
}

TEST(SandboxExecutable, UnusableStateFileStopsTheStart) {
  const auto folder = makeTempDirectory("sandbox-state");
  const auto corrupt = folder / "state.json";
  std::ofstream(corrupt) << "{\"format\": \"something else\"}";
  const std::string files[] = {corrupt.string(), (folder / "missing" / "state.json").string()};
  for (const std::string& file : files) {
    SCOPED_TRACE(file);
    const SandboxRun run = runSandboxToEnd({"--port", "0", "--state", file});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.output, "");
    EXPECT_NE(run.errors.find("state"), std::string::npos) << run.errors;
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vorelia::testing
