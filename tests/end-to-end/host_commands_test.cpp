// The command interpreter against the echo test bundle, whose answers mirror what it was given:
// arguments reach the plugin intact, callbacks and errors come back in the result, the host keeps
// action settings, and scripts, the shell and exit codes behave as documented.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "cohost_process.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::HasSubstr;
using ::testing::Not;

// Runs the lines as a script against the echo bundle with --json (and extra options).
CohostRun runEcho(const TempHome& home, const std::string& script,
                  std::vector<std::string> options = {}) {
  const fs::path file = home.path() / "script.txt";
  std::ofstream(file) << script;
  std::vector<std::string> args = {"--json", "--bundle", fixtureBundle("echo").string(), "run"};
  args.insert(args.end(), options.begin(), options.end());
  args.push_back(file.string());
  return runCohost(CohostOptions(args));
}

TEST(HostCommands, UsageErrorsExitWithTwoAndNeverReachThePlugin) {
  // One command a line, each wrong in its own way, and what its usage error must say.
  const std::pair<std::string, std::string> cases[] = {
      {"set flag bare-word", ""},
      {"set flag null", ""},
      {"set flag {\"a\":1}", ""},
      {"set flag [1,2]", ""},
      {"set flag", ""},
      {"actions -1", ""},
      {"actions many", ""},
      {"press \"unclosed", ""},
      {"press \"a\"b", ""},
      {"action-page echoOne {\"a\":null}", ""},
      {"validate echoOne [\"not\",\"object\"]", ""},
      {"tasks echoOne", ""},
      {"frobnicate", "unknown command"},
      {"publsh", "(did you mean \"publish\"?)"},
      {"set falg true",
       "no element \"falg\" on the page (did you mean \"flag\"?); it holds: "
       "secret, reload, flag, list, multi, an id,"},
      {"press nosuch", "it holds: secret, reload"},
      {"set secret -", "standard input ended"},
      {"action-page echoOen", "(did you mean \"echoOne\"?); offered: echoOne, export, tiff"},
      {"action-set export nosuch 1", "no element \"nosuch\" on the action's panel"}};
  TempHome home;
  for (const auto& [line, says] : cases) {
    SCOPED_TRACE(line);
    const CohostRun run = runEcho(home, line + "\n");
    EXPECT_EQ(run.exitCode, 2) << run.describe();
    const json result = run.single();
    EXPECT_EQ(result["ok"], false) << run.describe();
    EXPECT_THAT(result.value("usage", "(none)"), HasSubstr(says)) << run.describe();
  }
}

TEST(HostCommands, ValuesAndQuotedArgumentsReachThePluginIntact) {
  TempHome home;
  const CohostRun run = runEcho(home,
                                "# values of every kind\n"
                                "set \"an id\" \"two words \\\"quoted\\\"\"\n"
                                "\n"
                                "set x 2.5\n"
                                "set x false\n"
                                "set x [\"a b\", \"c\"]\n"
                                "set silent 1\n"
                                "press reload\n");
  ASSERT_EQ(run.exitCode, 0) << run.describe();
  const std::vector<json> results = run.lines();
  ASSERT_EQ(results.size(), 6u) << run.describe();
  EXPECT_EQ(results[0]["identifier"], "an id");
  EXPECT_EQ(results[0]["callbacks"],
            json::parse(R"([{"action":1,"value":"two words \"quoted\""}])"));
  EXPECT_EQ(results[1]["callbacks"][0]["value"], 2.5);
  EXPECT_EQ(results[2]["callbacks"][0]["value"], false);
  EXPECT_EQ(results[3]["callbacks"][0]["value"], json::parse(R"(["a b","c"])"));
  EXPECT_EQ(results[4]["callbacks"], json::array()) << "a callback never called shows as none";
  EXPECT_EQ(results[5], json::parse(R"({"command":"press","ok":true,"identifier":"reload",
                                        "callbacks":[{"action":1}],"error":null})"));
}

TEST(HostCommands, FailuresCarryThePluginsErrorAndStopTheScriptUnlessKeepGoing) {
  TempHome home;
  const std::string script = "set fail 1\npress throw\nactions 0\n";
  // Human output: each error once on the error stream, where it happened, no domain or code.
  const fs::path file = home.path() / "script.txt";
  std::ofstream(file) << script;
  const CohostRun human =
      runCohost({"--bundle", fixtureBundle("echo").string(), "run", "--keep-going", file.string()});
  EXPECT_EQ(human.exitCode, 1) << human.describe();
  EXPECT_EQ(human.err, file.string() + ":1: set: refused fail: asked to\n" + file.string() +
                           ":2: press: the command ended with an exception: thrown on purpose\n");
  EXPECT_THAT(human.out, Not(HasSubstr("echo 7")));

  const CohostRun stopped = runEcho(home, script);
  EXPECT_EQ(stopped.exitCode, 1) << stopped.describe();
  ASSERT_EQ(stopped.lines().size(), 1u) << stopped.describe();
  EXPECT_EQ(stopped.lines()[0]["error"],
            json::parse(R"({"domain":"echo","code":7,"localizedDescription":"refused fail",
                            "failureReason":"asked to"})"));

  const CohostRun all = runEcho(home, script, {"--keep-going"});
  EXPECT_EQ(all.exitCode, 1) << all.describe();
  const std::vector<json> results = all.lines();
  ASSERT_EQ(results.size(), 3u) << all.describe();
  EXPECT_EQ(results[1]["ok"], false) << "an exception out of the plugin is a failed command";
  EXPECT_EQ(results[1]["error"]["domain"], "cohost");
  EXPECT_THAT(results[1]["error"]["localizedDescription"].get<std::string>(),
              HasSubstr("thrown on purpose"));
  EXPECT_EQ(results[2]["actions"], json::array());
}

TEST(HostCommands, ResolvesActionsAndKeepsTheirSettings) {
  TempHome home;
  const CohostRun run = runEcho(home,
                                "action-page echoOne\n"
                                "action-page export {\"album\":\"x\"}\n"
                                "action-set export rebuild true\n"
                                "action-set export reject \"no\"\n"
                                "action-page export\n"
                                "validate export\n"
                                "validate export {\"valid\":true}\n"
                                "processing echoOne\n"
                                "visibility echoOne\n"
                                "tasks echoOne /a.jpg \"/b c.jpg\"\n"
                                "processing none\n",
                                {"--keep-going"});
  EXPECT_EQ(run.exitCode, 1) << run.describe();
  const std::vector<json> r = run.lines();
  ASSERT_EQ(r.size(), 11u) << run.describe();
  EXPECT_EQ(r[0]["groups"][0]["title"], "Echo one|echoOne") << "the offered action is passed";
  EXPECT_EQ(r[1]["groups"][0]["elements"][0]["value"], "album=x;");
  EXPECT_EQ(r[2]["callbackAction"], 1);
  EXPECT_EQ(r[2]["rebuild"], true);
  EXPECT_EQ(r[3]["ok"], false);
  EXPECT_EQ(r[3]["rebuild"], false);
  EXPECT_EQ(r[4]["groups"][0]["elements"][0]["value"], "album=x;rebuild=true;")
      << "accepted values are kept, rejected ones are not";
  EXPECT_EQ(r[5]["valid"], false);
  EXPECT_EQ(r[6]["valid"], true);
  EXPECT_EQ(r[6]["settings"], json::parse(R"({"valid":true})"));
  // Processing settings keep their kinds, visibility all 64 bits.
  EXPECT_EQ(r[7]["settings"], json::parse(R"({
      "nested":{"kind":"dictionary","value":{"flags":{"kind":"array","value":[
          {"kind":"boolean","value":true}]}}},
      "signed":{"kind":"signed","value":-3},
      "unsigned":{"kind":"unsigned","value":5}})"));
  EXPECT_EQ(r[8]["hex"], "0x800000000000000b");
  EXPECT_EQ(r[8]["bits"], 4);
  EXPECT_EQ(r[8]["value"].get<std::uint64_t>(), 0x800000000000000bULL);
  EXPECT_EQ(r[9]["tasks"], json::parse(R"([{"action":"echoOne","files":["/a.jpg","/b c.jpg"],
                                            "settings":{}}])"));
  EXPECT_EQ(r[10]["settings"], nullptr);
  EXPECT_EQ(r[10]["error"]["localizedDescription"], "no processing");
}

TEST(HostCommands, ShellReadsStandardInputAndReportsTheWorstStatus) {
  TempHome home;
  const CohostRun run = runCohost(
      CohostOptions{"--json", "--bundle", fixtureBundle("echo").string(), "shell"}.withInput(
          "press reload\nset fail 1\nnonsense\npage\n"));
  EXPECT_EQ(run.exitCode, 2) << run.describe();
  const std::vector<json> r = run.lines();
  ASSERT_EQ(r.size(), 4u) << "no prompt without a terminal\n" << run.describe();
  // A page shows every element kind.
  EXPECT_EQ(r[3]["groups"][0], json::parse(R"({"title":"Echo","elements":[
      {"kind":"label","value":"a label"},
      {"kind":"text","identifier":"secret","title":"Secret","value":null,"secure":true},
      {"kind":"button","identifier":"reload","title":"Reload"},
      {"kind":"bool","identifier":"flag","title":"Flag","value":true},
      {"kind":"list","identifier":"list","title":"List","value":"a","options":[
          {"value":"a","title":"A","separator":false},{"value":"","title":"","separator":true}]},
      {"kind":"multilist","identifier":"multi","title":"Multi",
       "options":[{"value":"m","title":"M","separator":false}],"allowsFiltering":true}]})"));
}

TEST(HostCommands, ShellOnATerminalEditsRecallsDropsALineOnCtrlCAndRedrawsProgress) {
  TempHome home;
  const std::vector<std::string> photos = drawSampleSession(home.path() / "photos");
  const auto shows = [](const char* text, const char* after = "") {
    return [=](const CohostRun& run) {
      const std::size_t from = run.err.find(after);
      return from != std::string::npos && run.err.find(text, from) != std::string::npos;
    };
  };
  const CohostRun run = runCohost(
      CohostOptions{"--bundle", fixtureBundle("echo").string(), "shell"}
          .onTerminal()
          .withVariable("TERM", "xterm")
          .withInput("bundle\n")
          .then(
              [](const CohostRun& r) {  // the second prompt: the first line ran
                return r.err.find("cohost> ", r.err.find("cohost> ") + 1) != std::string::npos;
              },
              "nosuch")
          .then(shows("nosuch"), "", SIGINT)
          .then(shows("cohost> ", "nosuch"),
                "\x1b[A\npublish export {\"copyTo\":" + json(home.path().string()).dump() + "} " +
                    json(photos[0]).dump() + "\nquit\n"));
  EXPECT_EQ(run.exitCode, 0) << run.describe();
  std::size_t bundles = 0;
  for (auto at = run.out.find("bundle: ok"); at != std::string::npos;
       at = run.out.find("bundle: ok", at + 1))
    ++bundles;
  EXPECT_EQ(bundles, 2u) << "Up recalls the line before\n" << run.describe();
  EXPECT_EQ(run.err.find("unknown command"), std::string::npos) << "Ctrl-C kept the line";
  EXPECT_THAT(run.err, HasSubstr("exporting 1 file\r\n\r[########################]  1/1"));
}

TEST(HostCommands, HelperProgramsAnswerHelpAndTakeNoFlagForAFolder) {
  TempHome home;
  const fs::path osascript = fs::path(COHOST_PATH).parent_path() / "cohost-osascript";
  const struct {
    fs::path program;
    std::vector<std::string> args;
    int exitCode;
  } cases[] = {{SAMPLE_PHOTOS_PATH, {"--help"}, 0},
               {SAMPLE_PHOTOS_PATH, {"-x"}, 2},
               {osascript, {"--help"}, 0},
               {osascript, {"--document", "-x", "a.scpt"}, 2},
               {COHOST_PATH, {"--document", "-x", "page"}, 2}};
  for (const auto& c : cases) {
    const CohostRun run =
        runCohost(CohostOptions(c.args).withProgram(c.program).inFolder(home.path()));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.describe();
    EXPECT_EQ(run.out.starts_with("usage: "), c.exitCode == 0) << run.describe();
  }
  EXPECT_FALSE(fs::exists(home.path() / "-x"));
}

TEST(HostCommands, PointsTheScriptInterpreterAtTheCompanionBesideCohost) {
  TempHome home;
  const fs::path folder = home.path() / "bin";
  fs::create_directories(folder);
  fs::copy_file(COHOST_PATH, folder / "cohost");
  const fs::path companion = folder / "cohost-osascript";
  struct Case {
    bool companionExists;
    std::optional<std::string> variable;
    json expected;  // the callback the echo plugin makes with what it sees
  };
  const Case cases[] = {
      {true, std::nullopt, {{"action", 0}, {"value", companion.string()}}},
      {true, "/opt/own-osascript", {{"action", 0}, {"value", "/opt/own-osascript"}}},
      {false, std::nullopt, {{"action", 0}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected.dump());
    fs::remove(companion);
    if (c.companionExists) {
      std::ofstream(companion) << "#!/bin/sh\n";
      fs::permissions(companion, fs::perms::owner_all);
    }
    const CohostRun run = runCohost(
        CohostOptions{"--json", "--bundle", fixtureBundle("echo").string(), "press", "osascript"}
            .withProgram(folder / "cohost")
            .withVariable("VORELIA_OSASCRIPT", c.variable));
    EXPECT_EQ(run.single()["callbacks"], json::array({c.expected})) << run.describe();
  }
}

}  // namespace
}  // namespace vorelia::testing
