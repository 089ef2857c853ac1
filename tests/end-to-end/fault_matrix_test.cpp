// The fault matrix: every route the plugin calls, each under every way the service or storage can
// fail it, injected by the sandbox on every attempt. For each cell, cohost runs the user steps that
// reach the route and must end by itself, answer every command, and never report a publication as
// plainly done when images are missing; then, with the faults cleared, a run in the same home must
// find the login, the preferences and the plug-ins folder intact and publish a gallery.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <sstream>

#include "platform/secret_store.h"
#include "support/wait.h"
#include "through_the_host.h"

namespace vorelia::testing {
namespace {

using ::testing::HasSubstr;

// The user steps that reach a route, after a login (which is itself the steps of its routes).
enum class Steps { logIn, gallery, tagging, ratings, start };

struct Route {
  const char* name;
  const char* method;
  const char* path;   // the sandbox's glob over the raw path
  const char* query;  // matched exactly; nullptr: any
  Steps steps;
};

struct Fault {
  const char* name;
  json rule;
};

const Route kRoutes[] = {
    {"TokenGrant", "POST", "/Token", nullptr, Steps::logIn},
    {"RelatedAccounts", "GET", "/api/Account/RelatedAccounts", nullptr, Steps::logIn},
    {"AccountState", "GET", "/api/Account/*/State", nullptr, Steps::gallery},
    {"Credits", "GET", "/api/*/credits", nullptr, Steps::tagging},
    {"AlbumList", "GET", "/api/*/containers/", "", Steps::gallery},
    {"ExpandedAlbumList", "GET", "/api/*/containers/", "$expand", Steps::ratings},
    {"AlbumCreation", "PUT", "/api/*/containers/Faulted", nullptr, Steps::gallery},
    {"Reservation", "PUT", "/api/*/inituploadresources", nullptr, Steps::gallery},
    {"PutBlob", "PUT", "/blob/*-o/*", nullptr, Steps::gallery},
    {"EncodingRequest", "PUT", "/api/*/encode", nullptr, Steps::gallery},
    {"Share", "POST", "/api/*/shares", nullptr, Steps::gallery},
    {"LongPoll", "POST", "/api/anonymous/longpollingstates", nullptr, Steps::gallery},
    {"Reorder", "POST", "/api/*/$synchronize", nullptr, Steps::gallery},
    {"VisionCreation", "PUT", "/api/*/visions", nullptr, Steps::tagging},
    {"VisionUpload", "PUT", "/blob/visions/*", nullptr, Steps::tagging},
    {"Analysis", "POST", "/api/*/analyse/", nullptr, Steps::tagging},
    {"UpdateDocument", "GET", "/libraries/captureone/details.json", nullptr, Steps::start},
    {"UpdateArchive", "GET", "/libraries/captureone/*.zip", nullptr, Steps::start},
    {"UsageQueue", "POST", "/statsc1/messages", nullptr, Steps::gallery},
};

std::string deepJson() { return std::string(100000, '[') + std::string(100000, ']'); }

const Fault kFaults[] = {
    {"Status500Json",
     {{"status", 500}, {"body", {{"hasError", true}, {"message", "An error has occurred."}}}}},
    {"Status500Html",
     {{"status", 500},
      {"body", "<html><body><h1>500 Internal Server Error</h1></body></html>"},
      {"contentType", "text/html"}}},
    {"Status403AzureXml",
     {{"status", 403},
      {"body",
       "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>AuthenticationFailed"
       "</Code><Message>Server failed to authenticate the request.</Message></Error>"},
      {"contentType", "application/xml"}}},
    {"Status200Garbage", {{"garbage", true}}},
    {"Status200TruncatedJson",
     {{"status", 200}, {"body", R"({"hasError":false,"storageUrl":"http://127.0.0.1/blob/u)"}}},
    {"Status200WrongTypes",
     {{"status", 200},
      {"body", json::parse(R"({"access_token":5, "hasError":"no", "message":7, "value":{"id":1},
          "storageUrl":12, "url":["x"], "id":{"v":1}, "uploadSas":false, "name":3,
          "credits":"many", "keywords":"dog", "description":[], "version":2, "isValide":"true"})")}}},
    {"DroppedConnection", {{"drop", true}}},
    {"Status200DeepJson", {{"status", 200}, {"body", deepJson()}}},
    {"StallPastTheTimeout", {{"stall", true}}},
    {"TrickleByteASecond", {{"trickle", true}}},
};

struct Cell {
  const Route* route;
  const Fault* fault;
  std::string name() const { return std::string(route->name) + "_" + fault->name; }
  bool stalls() const { return fault->rule.contains("stall") || fault->rule.contains("trickle"); }
};
void PrintTo(const Cell& cell, std::ostream* out) { *out << cell.name(); }

// Every route times every fault, but for the encoding request's 2xx answers: a service that took
// the request and never encodes is waited for, by design, four hours.
std::vector<Cell> cells() {
  std::vector<Cell> all;
  for (const Route& route : kRoutes) {
    for (const Fault& fault : kFaults) {
      const bool answered2xx =
          fault.rule.value("garbage", false) || fault.rule.value("status", 0) == 200;
      if (std::string_view(route.name) == "EncodingRequest" && answered2xx) continue;
      all.push_back({&route, &fault});
    }
  }
  return all;
}

const std::string kShareMessage =
    "Click show to see your web album. It may takes few minutes before the pictures appears.";
const std::string kTagsMessage = "Go to metadata and keywords of your images";
constexpr auto kRequestTimeout = "1500";  // milliseconds, for the stalled route only
constexpr auto kRunBound = std::chrono::seconds(120);

// In the shell, whose standard input is the script, the password is on its line.
const std::string kShellLogIn = logIn("\"demo-password\"");

class FaultMatrix : public ThroughTheHost, public ::testing::WithParamInterface<Cell> {
 protected:
  FaultMatrix() {
    if (GetParam().route->name == std::string("UpdateArchive")) offerUpdate();
  }

  std::string publish(const char* action, const std::string& album) const {
    const json settings = {{"albumsList-input", "create"}, {"albumName-input", album}};
    return std::string("publish ") + action + " " + (album.empty() ? "{}" : settings.dump()) +
           files(2) + "\n";
  }

  std::string stepsOf(Steps steps) const {
    switch (steps) {
      case Steps::logIn:
      case Steps::start:
        return kShellLogIn + "page\n";
      case Steps::gallery:
        return kShellLogIn + publish("voreliaPublishShare", "Faulted");
      case Steps::tagging:
        return kShellLogIn + "press checkCredits-action\n" + publish("voreliaPublishAI", "");
      case Steps::ratings:
        return kShellLogIn + "press checkAlbumsRatings-action\npage\n";
    }
    return "";
  }

  // Runs the lines in cohost's shell on the session, against the sandbox; standard input stays
  // open until held() says so.
  CohostRun shell(const std::string& lines, bool shortTimeout,
                  std::function<bool(const CohostRun&)> held = {}) {
    CohostOptions options = pluginRun(sandbox, {"--document", session.string(), "shell"});
    options.withInput(lines)
        .then(std::move(held), "")
        .withVariable("VORELIA_REQUEST_TIMEOUT_MS",
                      shortTimeout ? std::optional<std::string>(kRequestTimeout) : std::nullopt);
    options.timeout = kRunBound;
    return runCohost(options);
  }

  // The number of items in the album of that name once encoding had its chance, or -1 when the
  // account has no such album.
  int albumSize(const std::string& name, int expected) const {
    int size = -1;
    waitUntil(
        [&] {
          const auto albums = albumItems(sandbox);
          size = albums.contains(name) ? static_cast<int>(albums.at(name).size()) : -1;
          return size == expected;
        },
        std::chrono::seconds(60));  // ends at once when it holds: generous for a loaded machine
    return size;
  }

  // Whatever the plug-ins folder holds is a whole bundle: an update never leaves half of one.
  void expectPluginsFolderWhole() const {
    const fs::path plugins = home.path() / "Library/Application Support/Capture One/Plug-ins";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(plugins, ec)) {
      const json info = bundleInfo(entry.path());
      EXPECT_TRUE(info.contains("library") && fs::exists(entry.path() / info.value("library", "")))
          << "a partial bundle in the plug-ins folder: " << entry.path();
    }
  }

  // What both runs must do: end by themselves, not by a signal, and answer every command.
  static void expectEndedAndAnswered(const CohostRun& run, const std::string& lines) {
    EXPECT_FALSE(run.timedOut) << run.describe();
    // 2 when a fault kept the login from happening: the next steps' elements are not there.
    EXPECT_TRUE(run.exitCode >= 0 && run.exitCode <= 2) << run.describe();
    std::vector<std::string> sent, answered;
    std::istringstream script(lines);
    for (std::string line; std::getline(script, line);)
      sent.push_back(line.substr(0, line.find(' ')));
    for (const json& result : run.lines()) {
      if (result.is_object() && result.contains("command")) answered.push_back(result["command"]);
    }
    EXPECT_EQ(answered, sent) << run.describe();
  }

  // The one result of the publish command of a run.
  static json publishResult(const CohostRun& run) {
    const auto published = results(run, "publish");
    if (published.size() != 1 || published[0]["results"].size() != 1) return nullptr;
    return published[0]["results"][0];
  }
};

TEST_P(FaultMatrix, EndsAnswersReportsLossesAndLeavesTheNextRunWorking) {
  const Cell& cell = GetParam();
  // The short time-out of a stall is for the faulted route alone: a login it does not fault
  // happens before, in a run of its own with the usual time-out.
  const bool loggedIn =
      cell.stalls() && cell.route->steps != Steps::logIn && cell.route->steps != Steps::start;
  if (loggedIn) {
    const CohostRun login = shell(kShellLogIn, false);
    ASSERT_EQ(login.exitCode, 0) << login.describe();
  }
  json rule = cell.fault->rule;
  rule["method"] = cell.route->method;
  rule["path"] = cell.route->path;
  if (cell.route->query != nullptr) rule["query"] = cell.route->query;
  const int id = sandbox.setFault(rule);

  // The faulted run; it stays up at least until the fault struck (a start's background requests).
  const std::string steps = stepsOf(cell.route->steps).substr(loggedIn ? kShellLogIn.size() : 0);
  const CohostRun faulted =
      shell(steps, cell.stalls(), [&](const CohostRun&) { return hits(id) > 0; });
  expectEndedAndAnswered(faulted, steps);
  EXPECT_GT(hits(id), 0) << "the steps never reached the route";
  if (cell.route->steps == Steps::gallery) {
    const json result = publishResult(faulted);
    ASSERT_TRUE(result.is_object()) << faulted.describe();
    if (result.value("message", "") == kShareMessage) {
      EXPECT_EQ(albumSize("Faulted", 2), 2) << "success reported with images missing\n"
                                            << faulted.describe();
    }
  } else if (cell.route->steps == Steps::tagging) {
    const json result = publishResult(faulted);
    ASSERT_TRUE(result.is_object()) << faulted.describe();
    if (result.value("message", "") == kTagsMessage) {
      for (std::size_t i = 0; i < 2; ++i) {
        const auto sidecar = host::Sidecar::read(photos[i] + ".xmp");
        EXPECT_TRUE(sidecar && !sidecar->keywords().empty())
            << "success reported with " << photos[i] << " untagged "
            << (sidecar ? "" : sidecar.error());
      }
    }
  }
  expectPluginsFolderWhole();

  // Faults cleared, the next run in the same home finds everything in place and publishes; when
  // the faulted run left no account connected, it logs in again first (out, then in) as a user
  // would.
  sandbox.admin("DELETE", "/admin/faults");
  const std::string before = shell("page\n", false).out;
  const std::string logIn =
      std::string(before.find("\"logout-action\"") != std::string::npos ? "press logout-action\n"
                                                                        : "") +
      kShellLogIn;
  const std::string clean =
      (before.find("Connected to demo-studio") != std::string::npos ? "" : logIn) + "page\n" +
      publish("voreliaPublishShare", "Clean");
  const CohostRun next = shell(clean, false);
  expectEndedAndAnswered(next, clean);
  EXPECT_EQ(next.exitCode, 0) << next.describe();
  const auto pages = results(next, "page");
  ASSERT_EQ(pages.size(), 1u) << next.describe();
  EXPECT_NE(pages[0]["groups"].dump().find("\"Connected to demo-studio\""), std::string::npos)
      << pages[0].dump();
  const json result = publishResult(next);
  EXPECT_EQ(result.value("message", ""), kShareMessage) << next.describe();
  EXPECT_NE(result.value("url", json()).dump().find("/a/"), std::string::npos) << next.describe();
  EXPECT_EQ(albumSize("Clean", 2), 2);
  EXPECT_EQ(platform::SecretStore::file(home.path() / "Library/Keychains")->load("password"),
            "demo-password");
  expectPluginsFolderWhole();
}

INSTANTIATE_TEST_SUITE_P(EveryRouteEveryFault, FaultMatrix, ::testing::ValuesIn(cells()),
                         [](const ::testing::TestParamInfo<Cell>& info) {
                           return info.param.name();
                         });

}  // namespace
}  // namespace vorelia::testing
