// cohost against the echo test bundle, whose answers mirror what it was given: bundles are found
// or refused with a reason, arguments reach the plugin intact, callbacks and errors come back in
// the result, the host keeps action settings, exports what a publishing action asks for, hands
// the plugin's scripts to the chosen document, and scripts, the shell and exit codes behave as
// documented.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "cohost_process.h"
#include "host/plugin_scripts.h"
#include "platform/image_properties.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;

class EchoHost : public ::testing::Test {
 protected:
  // A --json run of the lines as a script against the echo bundle, with options before the file.
  CohostOptions script(const std::string& lines, const std::vector<std::string>& options = {}) {
    const fs::path file = home.path() / "script.txt";
    std::ofstream(file) << lines;
    std::vector<std::string> args = {"--json", "--bundle", echo};
    args.insert(args.end(), options.begin(), options.end());
    args.insert(args.end(), {"run", file.string()});
    return CohostOptions(args);
  }

  // Runs cohost's publish command with TMPDIR set to temporary, where the host exports.
  CohostRun publish(const std::string& action, const json& settings,
                    const std::vector<std::string>& files, const fs::path& temporary) {
    std::vector<std::string> args = {"--json",  "--bundle", echo,
                                     "publish", action,     settings.dump()};
    args.insert(args.end(), files.begin(), files.end());
    fs::create_directories(temporary);
    return runCohost(CohostOptions(args).withVariable("TMPDIR", temporary.string()));
  }

  // Installs the echo bundle into the plug-ins folder under home, under name.
  fs::path install(const std::string& name) {
    const fs::path folder = home.path() / "Library/Application Support/Capture One/Plug-ins";
    fs::create_directories(folder);
    fs::copy(echo, folder / name, fs::copy_options::recursive);
    return folder / name;
  }

  TempHome home;
  const std::string echo = fixtureBundle("echo").string();
};

TEST_F(EchoHost, RefusesUnusableBundlesWithAClearMessage) {
  const std::pair<const char*, const char*> cases[] = {
      {"wrong-sdk-info", "built for SDK version 2, this host supports 1"},
      {"wrong-sdk-library", "built for SDK version 2, this host supports 1"},
      {"no-create", "the library does not export COPluginCreate"},
      {"no-info", "the folder has no Info.json"},
      {"unknown-class", "the library does not provide the principal class \"NoSuchClass\""},
      {"broken-library", "the library does not load: "},
      {"missing", "it is not a folder"},
  };
  for (const auto& [name, message] : cases) {
    const std::string bundle = fixtureBundle(name).string();
    SCOPED_TRACE(bundle);
    const CohostRun run = runCohost({"--json", "--bundle", bundle, "page"});
    EXPECT_EQ(run.exitCode, 1) << run.describe();
    const json result = run.single();
    ASSERT_TRUE(result.is_object()) << run.describe();
    EXPECT_EQ(result["command"], "load");
    EXPECT_EQ(result["ok"], false);
    EXPECT_EQ(result["bundle"], bundle);
    EXPECT_EQ(result["error"]["domain"], "cohost");
    EXPECT_THAT(result["error"]["localizedDescription"].get<std::string>(),
                HasSubstr("cannot load the bundle " + bundle + ": " + message));
  }
  // Without --json the reason goes to the error stream alone.
  const CohostRun human = runCohost({"--bundle", fixtureBundle("no-info").string(), "page"});
  EXPECT_EQ(human.exitCode, 1) << human.describe();
  EXPECT_EQ(human.out, "");
  EXPECT_THAT(human.err, HasSubstr("the folder has no Info.json"));
}

TEST_F(EchoHost, FindsTheBundleFromOptionEnvironmentOrPlugInsFolder) {
  const CohostRun none = runCohost({"--json", "page"});
  EXPECT_EQ(none.exitCode, 1) << none.describe();
  EXPECT_THAT(none.single()["error"]["localizedDescription"].get<std::string>(),
              HasSubstr("no plugin bundle in " + home.path().string()));

  const fs::path unusable = install("A.coplugin");
  fs::remove(unusable / "echo.so");
  const std::string refused = fixtureBundle("no-info").string();
  struct Case {
    const char* installed;  // added to the plug-ins folder before the run
    std::vector<std::string> args;
    std::optional<std::string> environment;
    int exitCode;
    std::string said;  // in the output
  };
  const std::string page = "\"Echo\"";  // the title of the echo bundle's page
  const Case cases[] = {
      {nullptr, {"--json", "page"}, std::nullopt, 1, unusable.string()},  // the only *.coplugin
      {"VoreliaC1Plugin.coplugin", {"--json", "page"}, std::nullopt, 0, page},  // preferred
      {nullptr, {"--json", "page"}, refused, 1, refused},                       // the variable wins
      {nullptr, {"--json", "--bundle", echo, "page"}, refused, 0, page},  // the option wins over it
      {nullptr, {"--json", "--bundle=" + refused, "page"}, std::nullopt, 1, refused},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args) +
                 " COHOST_BUNDLE=" + c.environment.value_or("-"));
    if (c.installed != nullptr) install(c.installed);
    const CohostRun run =
        runCohost(CohostOptions(c.args).withVariable("COHOST_BUNDLE", c.environment));
    EXPECT_EQ(run.exitCode, c.exitCode) << run.describe();
    EXPECT_THAT(run.out, HasSubstr(c.said));
  }
}

TEST_F(EchoHost, UsageErrorsExitWithTwoAndNeverReachThePlugin) {
  // One command a line, each wrong in its own way, and what its usage error must say.
  std::vector<std::pair<std::string, std::string>> cases = {
      {"frobnicate", "unknown command"},
      {"publsh", "(did you mean \"publish\"?)"},
      {"set falg true",
       "no element \"falg\" on the page (did you mean \"flag\"?); it holds: "
       "secret, reload, flag, list, multi, an id,"},
      {"press nosuch", "it holds: secret, reload"},
      {"set secret -", "standard input ended"},
      {"action-page echoOen", "(did you mean \"echoOne\"?); offered: echoOne, export, tiff"},
      {"action-set export nosuch 1", "no element \"nosuch\" on the action's panel"}};
  // Malformed values, numbers, quotes, settings and missing arguments, whatever they say.
  for (const char* line : {"set flag bare-word", "set flag null", "set flag {\"a\":1}",
                           "set flag [1,2]", "set flag", "actions -1", "actions many",
                           "press \"unclosed", "press \"a\"b", "action-page echoOne {\"a\":null}",
                           "validate echoOne [\"not\",\"object\"]", "tasks echoOne"}) {
    cases.emplace_back(line, "");
  }
  for (const auto& [line, says] : cases) {
    SCOPED_TRACE(line);
    const CohostRun run = runCohost(script(line + "\n"));
    EXPECT_EQ(run.exitCode, 2) << run.describe();
    const json result = run.single();
    EXPECT_EQ(result["ok"], false) << run.describe();
    EXPECT_THAT(result.value("usage", "(none)"), HasSubstr(says)) << run.describe();
  }
}

// The values also show that one plugin instance serves the whole run, made before the first
// command and destroyed through the bundle after the last.
TEST_F(EchoHost, ValuesAndQuotedArgumentsReachOnePluginInstanceIntact) {
  const fs::path log = home.path() / "echo.log";
  const CohostRun run = runCohost(script("# values of every kind\n"
                                         "set \"an id\" \"two words \\\"quoted\\\"\"\n"
                                         "\n"
                                         "set x 2.5\n"
                                         "set x false\n"
                                         "set x [\"a b\", \"c\"]\n"
                                         "set silent 1\n"
                                         "press reload\n"
                                         "quit\n"
                                         "page\n")
                                      .withVariable("ECHO_PLUGIN_LOG", log.string()));
  ASSERT_EQ(run.exitCode, 0) << run.describe();
  const std::vector<json> results = run.lines();
  ASSERT_EQ(results.size(), 7u) << run.describe();
  EXPECT_EQ(results[6]["command"], "quit") << "quit ends the script";
  EXPECT_EQ(results[0]["identifier"], "an id");
  EXPECT_EQ(results[0]["callbacks"],
            json::parse(R"([{"action":1,"value":"two words \"quoted\""}])"));
  EXPECT_EQ(results[1]["callbacks"][0]["value"], 2.5);
  EXPECT_EQ(results[2]["callbacks"][0]["value"], false);
  EXPECT_EQ(results[3]["callbacks"][0]["value"], json::parse(R"(["a b","c"])"));
  EXPECT_EQ(results[4]["callbacks"], json::array()) << "a callback never called shows as none";
  EXPECT_EQ(results[5], json::parse(R"({"command":"press","ok":true,"identifier":"reload",
                                        "callbacks":[{"action":1}],"error":null})"));
  std::stringstream lines;
  lines << std::ifstream(log).rdbuf();
  EXPECT_EQ(lines.str(), "created\ndestroyed\n");
}

TEST_F(EchoHost, FailuresCarryThePluginsErrorAndStopTheScriptUnlessKeepGoing) {
  const std::string lines = "set fail 1\npress throw\nactions 0\n";
  // Human output: each error once on the error stream, where it happened, no domain or code.
  const fs::path file = home.path() / "script.txt";
  std::ofstream(file) << lines;
  const CohostRun human = runCohost({"--bundle", echo, "run", "--keep-going", file.string()});
  EXPECT_EQ(human.exitCode, 1) << human.describe();
  EXPECT_EQ(human.err, file.string() + ":1: set: refused fail: asked to\n" + file.string() +
                           ":2: press: the command ended with an exception: thrown on purpose\n");
  EXPECT_THAT(human.out, Not(HasSubstr("echo 7")));

  const CohostRun stopped = runCohost(script(lines));
  EXPECT_EQ(stopped.exitCode, 1) << stopped.describe();
  ASSERT_EQ(stopped.lines().size(), 1u) << stopped.describe();
  EXPECT_EQ(stopped.lines()[0]["error"],
            json::parse(R"({"domain":"echo","code":7,"localizedDescription":"refused fail",
                            "failureReason":"asked to"})"));

  const CohostRun all = runCohost(script(lines, {"--keep-going"}));
  EXPECT_EQ(all.exitCode, 1) << all.describe();
  const std::vector<json> results = all.lines();
  ASSERT_EQ(results.size(), 3u) << all.describe();
  EXPECT_EQ(results[1]["ok"], false) << "an exception out of the plugin is a failed command";
  EXPECT_EQ(results[1]["error"]["domain"], "cohost");
  EXPECT_THAT(results[1]["error"]["localizedDescription"].get<std::string>(),
              HasSubstr("thrown on purpose"));
  EXPECT_EQ(results[2]["actions"], json::array());
}

TEST_F(EchoHost, ResolvesActionsAndKeepsTheirSettings) {
  const CohostRun run =
      runCohost(script("action-page echoOne\n"
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
                       {"--keep-going"}));
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

TEST_F(EchoHost, ShellReadsStandardInputAndReportsTheWorstStatus) {
  const CohostRun run = runCohost(CohostOptions{"--json", "--bundle", echo, "shell"}.withInput(
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

// Folders opened as documents (--document, `open`) reach the script interpreter the plugin runs,
// which marks the chosen document.
TEST_F(EchoHost, ScriptsOfThePluginReachTheChosenOpenDocument) {
  std::vector<fs::path> sessions = {home.path() / "First", home.path() / "Second: the other"};
  for (const fs::path& session : sessions) {
    fs::create_directories(session);
    std::ofstream(session / "IMG_0001.jpg") << "jpeg";
  }
  const auto rated = [](const fs::path& session) {
    std::ifstream in(session / "IMG_0001.jpg.xmp");
    const std::string text(std::istreambuf_iterator<char>(in), {});
    return text.find("Rating=\"4\"") != std::string::npos ||
           text.find("<xmp:Rating>4</xmp:Rating>") != std::string::npos;
  };
  const std::string lines = "open " + json(sessions[1].string()).dump() + "\nset script " +
                            json(ratingsScript({"IMG_0001."}, "rating", 4)).dump() + "\n";
  const struct {
    std::vector<std::string> options;
    bool firstRated;
  } cases[] = {
      {{"--document", sessions[0].string()}, true},
      {{"--choose", sessions[1].filename().string(), "--document", sessions[0].string()}, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.firstRated);
    for (const fs::path& session : sessions) fs::remove(session / "IMG_0001.jpg.xmp");
    const CohostRun run = runCohost(script(lines, c.options));
    ASSERT_EQ(run.exitCode, 0) << run.describe();
    EXPECT_EQ(run.lines().back()["callbacks"], json::parse(R"([{"action":0,"value":0}])"))
        << run.describe();
    EXPECT_EQ(rated(sessions[0]), c.firstRated);
    EXPECT_EQ(rated(sessions[1]), !c.firstRated);
  }

  // `open` lists the documents and refuses what is no folder.
  CohostRun run = runCohost({"--json", "--bundle", echo, "--document", sessions[0].string(), "open",
                             (home.path() / "." / "First").string()});
  ASSERT_EQ(run.exitCode, 0) << run.describe();
  EXPECT_EQ(run.single()["documents"], json::array({fs::canonical(sessions[0]).string()}));
  EXPECT_EQ(run.single()["name"], "First");
  run = runCohost({"--json", "--bundle", echo, "open", (sessions[0] / "IMG_0001.jpg").string()});
  EXPECT_EQ(run.exitCode, 1) << run.describe();
  EXPECT_THAT(run.single()["error"]["localizedDescription"].get<std::string>(),
              HasSubstr("is not a folder"));
}

// The images are exported as the action's processing settings ask, the task sees only the
// exported copies, progress reaches the output, the copies go away afterwards and the originals
// are never touched.
TEST_F(EchoHost, PublishExportsScaledCopiesRunsTheTaskAndRemovesTheCopies) {
  const std::vector<std::string> large = drawSampleSession(home.path() / "large", 300);
  const std::vector<std::string> small = drawSampleSession(home.path() / "small", 40);
  const std::vector<std::string> files = {large[0], large[3], small[1]};
  std::vector<std::string> before;
  for (const std::string& file : files) before.push_back(fileSha256(file));
  const fs::path copies = home.path() / "copies";
  fs::create_directory(copies);

  const fs::path temporary = home.path() / "tmp";
  const CohostRun run = publish("export", {{"copyTo", copies.string()}}, files, temporary);
  ASSERT_EQ(run.exitCode, 0) << run.describe();

  // The task saw three JPEG copies with the originals' names, scaled to a long edge of 64 pixels
  // but never upscaled: (long edge, portrait) of Anna's portrait, Forest trail, the small Beach.
  std::vector<std::pair<int, bool>> shapes;
  for (const fs::path file : files) {
    const fs::path copy = copies / (file.stem().string() + ".jpg");
    const auto size = platform::imagePixelSize(copy);
    ASSERT_TRUE(size) << copy;
    shapes.emplace_back(std::max(size->width, size->height), size->height > size->width);
  }
  EXPECT_THAT(shapes, ElementsAre(std::pair(64, true), std::pair(64, false), std::pair(40, false)));

  const json result = results(run, "publish").at(0);
  ASSERT_EQ(result["results"].size(), 1u) << run.describe();
  const fs::path exportFolder = result["results"][0]["url"].get<std::string>();
  EXPECT_EQ(exportFolder.parent_path(), temporary);
  EXPECT_TRUE(fs::is_empty(temporary)) << "the exported copies must be removed";
  EXPECT_EQ(result["results"][0]["message"], "copyTo=" + copies.string() + ";");

  // With no document open, the files' folders were opened.
  EXPECT_EQ(result["opened"], json({fs::canonical(home.path() / "large").string(),
                                    fs::canonical(home.path() / "small").string()}));
  // The export is announced; the last step shows the time so far, no estimate of zero.
  std::vector<json> progress;
  for (const json& line : run.lines()) {
    if (line.contains("progress")) progress.push_back(line["progress"]);
  }
  ASSERT_EQ(progress.size(), 4u) << run.describe();
  EXPECT_EQ(progress[0], json({{"exporting", 3}}));
  for (std::uint64_t i = 1; i <= 3; ++i) EXPECT_EQ(progress[i]["completed"], i);
  EXPECT_TRUE(progress[3]["etaSeconds"].is_null() && progress[3]["elapsedSeconds"].is_number());
  for (std::size_t i = 0; i < files.size(); ++i) EXPECT_EQ(fileSha256(files[i]), before[i]);
}

TEST_F(EchoHost, PublishRefusalsLeaveNothingBehind) {
  const std::vector<std::string> photos = drawSampleSession(home.path() / "photos", 100);
  const fs::path notAnImage = home.path() / "notes.jpg";
  std::ofstream(notAnImage) << "not a picture";
  struct Case {
    std::string action;
    std::vector<std::string> files;
    std::string says;
    json settings = json::object();
  } cases[] = {
      {"tiff", {photos[0]}, "JPEG only"},
      {"export",
       {photos[0], notAnImage.string()},
       "cannot read " + notAnImage.string() + ": not an image format cohost can read"},
      {"export", {(home.path() / "missing.jpg").string()}, "missing.jpg: no such file"},
      {"export", {photos[0]}, "no publishing here"},  // no "copyTo": the task itself fails
      {"export", {photos[0]}, "the publication made no link", {{"noLink", true}}},
  };
  const fs::path temporary = home.path() / "tmp";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.says);
    const CohostRun run = publish(c.action, c.settings, c.files, temporary);
    EXPECT_EQ(run.exitCode, 1) << run.describe();
    EXPECT_THAT(results(run, "publish").at(0)["error"]["localizedDescription"].dump(),
                HasSubstr(c.says))
        << run.describe();
    EXPECT_TRUE(fs::is_empty(temporary)) << "an export folder was left behind";
  }
}

}  // namespace
}  // namespace vorelia::testing
