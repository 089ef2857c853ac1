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

TEST(SandboxExecutable, AnswersOnOtherLoopbackHostsAndStopsOnRequest) {
  SandboxProcess sandbox(withArguments({"--host", "127.0.0.2"}));
  EXPECT_EQ(sandbox.admin("GET", "/api/accounts/some-name/isvalid").body,
            nlohmann::json({{"isValide", true}}));
  EXPECT_EQ(sandbox.admin("POST", "/admin/shutdown").status, 200);
  EXPECT_EQ(sandbox.waitForExit(std::chrono::seconds(20)), std::optional<int>(0));
}

TEST(SandboxExecutable, RefusesHostsOffTheLoopbackAndBadFlags) {
  const std::vector<std::string> refused[] = {
      {"--host", "0.0.0.0"},      {"--host=128.0.0.1"},      {"--port", "70000"}, {"--port", "x"},
      {"--token-lifetime", "-1"}, {"--web-url", "ftp://x"},  {"--bogus"},         {"--state"},
      {"--public-url", "x"},      {"--data", "--seed-demo"},
  };
  for (const auto& arguments : refused) {
    SCOPED_TRACE(arguments.front() + (arguments.size() > 1 ? " " + arguments[1] : ""));
    const SandboxRun run = runSandboxToEnd(arguments);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.output, "");
    EXPECT_NE(run.errors.find("vorelia-sandbox: "), std::string::npos) << run.errors;
  }
  EXPECT_NE(runSandboxToEnd({"--host", "0.0.0.0"}).errors.find("loopback"), std::string::npos);
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
  // A file of another format, or one in a missing folder, stops the start.
  std::ofstream(file) << "{\"format\": \"something else\"}";
  for (const std::string& unusable : {file, (folder / "missing" / "state.json").string()}) {
    const SandboxRun run = runSandboxToEnd({"--port", "0", "--state", unusable});
    EXPECT_EQ(run.exitCode, 1) << unusable;
    EXPECT_NE(run.errors.find("state"), std::string::npos) << run.errors;
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vorelia::testing
