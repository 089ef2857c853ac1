// The connection page as a user meets it through the host, against the sandbox: the errors shown,
// a chosen account that outlives the host process until the user logs out, its credits, and the
// album list of the publishing actions that follows the account chosen.
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "cohost_process.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

using nlohmann::json;

class ConnectionPageThroughTheHost : public ::testing::Test {
 protected:
  ConnectionPageThroughTheHost() {
    sandbox.seedUser("one@example.test", "pw one", {"solo"});
    sandbox.seedUser("two@example.test", "pw two", {"first", "second"});
    sandbox.seedUser("none@example.test", "pw none", {});
  }

  // Runs the lines as one cohost session (a script file, so secrets stay off command lines).
  std::vector<json> session(const std::string& lines) {
    const auto script = home.path() / "session.cohost";
    std::ofstream(script) << lines;
    const CohostRun run = runCohost(CohostOptions({"--json", "--bundle", pluginBundle().string(),
                                                   "run", "--keep-going", script.string()})
                                        .withVariable("VORELIA_API_URL", sandbox.baseUrl()));
    EXPECT_FALSE(run.timedOut) << run.describe();
    return run.lines();
  }

  // The elements of the first group as "kind:identifier-or-text".
  static std::vector<std::string> connection(const json& page) {
    std::vector<std::string> elements;
    for (const auto& element : page["groups"][0]["elements"]) {
      elements.push_back(element["kind"].get<std::string>() + ":" +
                         element.value("identifier", element.value("value", json("")).dump()));
    }
    return elements;
  }

  TempHome home;
  SandboxProcess sandbox;
};

TEST_F(ConnectionPageThroughTheHost, RefusalsOfTheServiceAreShownWithTheirMessages) {
  const auto r = session(
      "set userName-input \"one@example.test\"\n"
      "set password-input \"wrong\"\n"
      "press login-action\n"
      "set userName-input \"none@example.test\"\n"
      "set password-input \"pw none\"\n"
      "press login-action\n"
      "press logout-action\n"  // the form to create an account is on the login page
      "press createAccount-action\n"
      "set createAccountName-input \"solo\"\n"
      "set createEmail-input \"new@example.test\"\n"
      "set createPassword-input \"new pw\"\n"
      "press createDo-action\n");
  ASSERT_EQ(r.size(), 12u);
  const std::pair<int, const char*> errors[] = {
      {2, "Wrong e-mail or password"},
      {5, "Can't find account"},
      {11, "Account already taken, or invalid characteres"}};
  for (const auto& [index, message] : errors) {
    EXPECT_EQ(r[index]["ok"], false) << r[index].dump();
    EXPECT_EQ(r[index]["error"]["domain"], "VoreliaC1Plugin.PluginError");
    EXPECT_EQ(r[index]["error"]["localizedDescription"], message);
    EXPECT_TRUE(r[index]["callbacks"].empty()) << r[index].dump();
  }

  // A token request that gets no answer is the service's fault, not the user's.
  sandbox.setFault({{"method", "POST"}, {"path", "/Token"}, {"drop", true}});
  const auto dropped = session(
      "set userName-input \"one@example.test\"\nset password-input \"pw one\"\n"
      "press login-action\n");
  ASSERT_EQ(dropped.size(), 3u);
  EXPECT_EQ(dropped[2]["error"]["localizedDescription"], "Server Error") << dropped[2].dump();
}

TEST_F(ConnectionPageThroughTheHost, TheChosenAccountOutlivesTheHost) {
  auto r = session(
      "set userName-input \"TWO@example.test \"\n"
      "set password-input \"pw two\"\n"
      "press login-action\n"
      "page\n"
      "set accounts-action [\"second\"]\n"
      "page\n"
      "actions 2\n");
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(r[3]["groups"][0]["elements"][0]["options"].size(), 2u) << r[3].dump();
  EXPECT_EQ(r[4]["callbacks"][0]["action"], 1);
  EXPECT_EQ(connection(r[5])[1], "label:\"Connected to second\"");
  EXPECT_EQ(r[6]["actions"].size(), 3u);

  // Credits read in plain decimal, however large.
  sandbox.admin("POST", "/admin/credits",
                {{"account", "second"},
                 {"creditsUsed", 100000},
                 {"creditsLimit", 1500000},
                 {"extraCredits", 12.5}});
  r = session("press checkCredits-action\npage\n");
  ASSERT_EQ(r.size(), 2u);
  const json& tagging = r[1]["groups"][2]["elements"];
  EXPECT_EQ(tagging[0]["value"], "You used 100000.0 of your 1500000.0 monthly credits") << r[1];
  EXPECT_EQ(tagging[1]["value"], "You have 12.5 extra credits remaining");

  // A restart keeps the login; a login with a stored account keeps it whatever the list says.
  r = session("page\nset password-input \"pw two\"\npress login-action\npage\n");
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(connection(r[0])[1], "label:\"Connected to second\"");
  EXPECT_EQ(connection(r[3])[1], "label:\"Connected to second\"");

  // Logging out shows the login form again, in this run and the next.
  r = session("press logout-action\n");
  r = session("page\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(connection(r[0])[3], "text:userName-input");
}

// The albums offered by the publishing actions.
std::vector<std::string> offeredAlbums(const json& actionPage) {
  std::vector<std::string> names;
  for (const auto& option : actionPage["groups"][0]["elements"][0]["options"]) {
    if (!option["separator"].get<bool>() && option["value"] != "create") {
      names.push_back(option["title"]);
    }
  }
  return names;
}

TEST_F(ConnectionPageThroughTheHost, TheAlbumListFollowsTheAccountChosen) {
  sandbox.seedAlbum({{"account", "first"}, {"name", "First album"}});
  sandbox.seedAlbum({{"account", "second"}, {"name", "Second album"}});
  // The list arrives while the user works: the host asks for the action page again, every few
  // milliseconds for at most a minute, until the chosen account's albums show, then logs out and
  // chooses the other account.
  const std::string ask = "action-page voreliaPublishShare\n";
  const std::string logIn =
      "set userName-input \"two@example.test\"\nset password-input \"pw two\"\npress "
      "login-action\n";
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
  int fresh = 0;  // how many choices the album list has followed
  const CohostRun run = runCohost(
      CohostOptions({"--json", "--bundle", pluginBundle().string(), "shell"})
          .withInput(logIn + "set accounts-action [\"first\"]\n" + ask)
          .withVariable("VORELIA_API_URL", sandbox.baseUrl())
          .answering([&](const json& line) -> std::optional<std::string> {
            if (line.value("command", "") != "action-page") return "";
            const std::string chosen = fresh == 0 ? "First album" : "Second album";
            if (offeredAlbums(line) != std::vector{chosen}) {
              std::this_thread::sleep_for(std::chrono::milliseconds(5));
              return std::chrono::steady_clock::now() < deadline ? std::optional(ask)
                                                                 : std::nullopt;
            }
            if (++fresh == 1) {
              return "press logout-action\n" + logIn + "set accounts-action [\"second\"]\n" + ask;
            }
            return std::nullopt;
          }));
  ASSERT_FALSE(run.timedOut) << run.describe();
  EXPECT_EQ(fresh, 2) << "the album list stayed stale\n" << run.describe().substr(0, 4000);
}

}  // namespace
}  // namespace vorelia::testing
