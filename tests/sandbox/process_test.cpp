// vorelia-sandbox as a process and its command line; the state file across a restart.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "sandbox/options.h"
#include "sandbox_fixture.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia::sandbox::testing {
namespace {

using vorelia::testing::SandboxProcess;

TEST(SandboxExecutable, AnswersOnOtherLoopbackHostsAndStopsOnRequest) {
  SandboxProcess sandbox({"--host", "127.0.0.2"});
  EXPECT_EQ(sandbox.admin("POST", "/admin/shutdown").status, 200);
  EXPECT_TRUE(vorelia::testing::waitUntil([&] { return sandbox.admin("GET", "/").status == 0; }));
  EXPECT_EQ(sandbox.stop(), 0);
  EXPECT_THROW(SandboxProcess({"--bogus"}), std::runtime_error);  // ends before listening
}

TEST(SandboxCommandLine, RefusesHostsOffTheLoopbackAndBadFlags) {
  const std::vector<std::string> refused[] = {
      {"--host", "0.0.0.0"},      {"--host=128.0.0.1"},      {"--port", "70000"}, {"--port", "x"},
      {"--token-lifetime", "-1"}, {"--web-url", "ftp://x"},  {"--bogus"},         {"--state"},
      {"--public-url", "x"},      {"--data", "--seed-demo"},
  };
  for (const auto& arguments : refused) {
    SCOPED_TRACE(arguments.front() + (arguments.size() > 1 ? " " + arguments[1] : ""));
    const auto line = parseCommandLine(arguments);
    ASSERT_FALSE(line.ok());
    EXPECT_NE(line.failure().message.find(arguments.front().substr(0, arguments.front().find('='))),
              std::string::npos);
  }
  EXPECT_NE(parseCommandLine({"--host", "0.0.0.0"}).failure().message.find("loopback"),
            std::string::npos);
}

using SandboxStateFile = SandboxTest;

TEST_F(SandboxStateFile, SurvivesARestartWithoutHoldingSecrets) {
  const auto folder = vorelia::testing::makeTempDirectory("sandbox-state");
  ServerOptions options;
  options.stateFile = folder / "state.json";
  start(options);
  adminOk(
      "POST", "/admin/users",
      {{"email", "ann@example.test"}, {"password", "s3cret pass"}, {"accounts", {"ann-studio"}}});
  adminOk("POST", "/admin/albums",
          {{"account", "ann-studio"}, {"name", "Kept"}, {"items", {{{"name", "a.jpg"}}}}});
  const std::string form = "grant_type=password&username=ann%40example.test&password=s3cret+pass";
  const std::string type = "application/x-www-form-urlencoded";
  const std::string token = json(send("POST", "/Token", form, {}, type))["access_token"];
  server_->stop();
  std::stringstream saved;
  saved << std::ifstream(*options.stateFile).rdbuf();
  EXPECT_EQ(saved.str().find("s3cret pass"), std::string::npos);
  EXPECT_EQ(saved.str().find(token), std::string::npos);

  start(options);
  EXPECT_TRUE(json(send("POST", "/Token", form, {}, type)).contains("access_token"));
  const auto albums = json(get("/api/ann-studio/containers/?$expand", bearer(token)));
  EXPECT_EQ(albums["value"][0]["value"][0]["name"], "a.jpg") << albums;
  server_->stop();
  // A file of another format is neither used nor overwritten.
  std::ofstream(*options.stateFile) << "{\"format\": \"something else\"}";
  const auto failure = Server(options).start();
  ASSERT_TRUE(failure);
  EXPECT_NE(failure->find("state"), std::string::npos) << *failure;
  std::stringstream kept;
  kept << std::ifstream(*options.stateFile).rdbuf();
  EXPECT_EQ(kept.str(), "{\"format\": \"something else\"}");
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vorelia::sandbox::testing
