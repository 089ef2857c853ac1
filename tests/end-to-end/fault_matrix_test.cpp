// The fault matrix through the host: every route the plugin calls, each under every way the
// service or storage can fail it, injected by the sandbox on every attempt. For each cell, cohost
// runs the user steps that reach the route and must end by itself, answer every command, and never
// report a publication as plainly done when images are missing; then, with the faults cleared, a
// run in the same home must find the login, the preferences and the plug-ins folder intact and
// publish a gallery.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cohost_process.h"
#include "platform/secret_store.h"
#include "sidecar.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

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
      {"body",
       "<html><head><title>500 Internal Server Error</title></head><body><h1>Internal Server "
       "Error</h1></body></html>"},
      {"contentType", "text/html"}}},
    {"Status403AzureXml",
     {{"status", 403},
      {"body",
       "\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>AuthenticationFailed"
       "</Code><Message>Server failed to authenticate the request. Make sure the value of "
       "Authorization header is formed correctly including the signature.\nRequestId:"
       "5f1c2a9e-0001-0042-3b4c-1a2b3c000000\nTime:2024-05-02T10:11:12.0000000Z</Message>"
       "<AuthenticationErrorDetail>Signature did not match.</AuthenticationErrorDetail></Error>"},
      {"contentType", "application/xml"}}},
    {"Status200Garbage", {{"garbage", true}}},
    {"Status200TruncatedJson",
     {{"status", 200}, {"body", R"({"hasError":false,"storageUrl":"http://127.0.0.1/blob/u)"}}},
    {"Status200WrongTypes",
     {{"status", 200},
      {"body",
       {{"access_token", 5},
        {"hasError", "no"},
        {"message", 7},
        {"value", {{"id", 1}}},
        {"storageUrl", 12},
        {"url", json::array({"x"})},
        {"id", {{"v", 1}}},
        {"uploadSas", false},
        {"name", 3},
        {"credits", "many"},
        {"keywords", "dog"},
        {"description", json::array()},
        {"version", 2},
        {"isValide", "true"}}}}},
    {"DroppedConnection", {{"drop", true}}},
    {"Status200DeepJson", {{"status", 200}, {"body", deepJson()}}},
    {"StallPastTheTimeout", {{"stall", true}}},
};

struct Cell {
  const Route* route;
  const Fault* fault;
  std::string name() const { return std::string(route->name) + "_" + fault->name; }
  bool stalls() const { return fault->rule.contains("stall"); }
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
constexpr auto kRequestTimeout = "1500";  // milliseconds, for the stalls
constexpr auto kRunBound = std::chrono::seconds(120);

const std::string kLogIn =
    "set userName-input \"demo@vorelia.test\"\n"
    "set password-input \"demo-password\"\n"
    "press login-action\n"
    "set accounts-action [\"demo-studio\"]\n";

class FaultMatrix : public ::testing::TestWithParam<Cell> {
 protected:
  FaultMatrix() {
    if (GetParam().route->name == std::string("UpdateArchive")) {
      // The library offers a newer build of the plugin.
      const fs::path archive = UPDATE_ARCHIVE_PATH;
      fs::copy_file(archive, library / archive.filename());
      std::ofstream(library / "details.json") << json{{"version", UPDATE_TEST_VERSION}}.dump();
    }
  }
  ~FaultMatrix() override { fs::remove_all(library); }

  std::string publish(const char* action, const std::string& album) const {
    std::string line =
        std::string("publish ") + action + " " +
        (album.empty() ? "{}"
                       : json{{"albumsList-input", "create"}, {"albumName-input", album}}.dump());
    for (std::size_t i = 0; i < 2; ++i) line += " " + json(photos.at(i)).dump();
    return line + "\n";
  }

  std::string stepsOf(Steps steps) const {
    switch (steps) {
      case Steps::logIn:
      case Steps::start:
        return kLogIn + "page\n";
      case Steps::gallery:
        return kLogIn + publish("voreliaPublishShare", "Faulted");
      case Steps::tagging:
        return kLogIn + "press checkCredits-action\n" + publish("voreliaPublishAI", "");
      case Steps::ratings:
        return kLogIn + "press checkAlbumsRatings-action\npage\n";
    }
    return "";
  }

  // Runs the lines in cohost's shell on the session, against the sandbox; standard input stays
  // open until held() says so.
  CohostRun cohost(
      const std::string& lines, bool shortTimeout,
      std::function<bool()> held = [] { return true; }) {
    const std::string service = sandbox.baseUrl();
    const std::string queuePath = sandbox.admin("GET", "/admin/queue").body["queuePath"];
    CohostOptions options(
        {"--json", "--bundle", pluginBundle().string(), "--document", session.string(), "shell"});
    options.withInput(lines)
        .holdInputUntil(std::move(held))
        .withVariable("VORELIA_API_URL", service)
        .withVariable("VORELIA_WEB_URL", service.substr(0, service.size() - 1))
        .withVariable("VORELIA_QUEUE_URL", service + queuePath.substr(1))
        .withVariable("VORELIA_UPDATE_URL", service + "libraries/captureone/")
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
          size = -1;
          const json state = sandbox.admin("GET", "/admin/state").body;
          for (const json& account : state["accounts"]) {
            for (const json& album : account["albums"]) {
              if (album["name"] == name) size = static_cast<int>(album["value"].size());
            }
          }
          return size == expected;
        },
        std::chrono::seconds(10));
    return size;
  }

  // Whatever the plug-ins folder holds is a whole bundle: an update never leaves half of one.
  void expectPluginsFolderWhole() const {
    const fs::path plugins = home.path() / "Library/Application Support/Capture One/Plug-ins";
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(plugins, ec)) {
      const fs::path bundle = entry.path();
      std::ifstream info(bundle / "Info.json");
      const json parsed = json::parse(info, nullptr, false);
      EXPECT_TRUE(parsed.is_object() && fs::exists(bundle / parsed.value("library", "")))
          << "a partial bundle in the plug-ins folder: " << bundle;
    }
  }

  // What both runs must do: end by themselves, not by a signal, and answer every command.
  static void expectEndedAndAnswered(const CohostRun& run, const std::string& lines) {
    EXPECT_FALSE(run.timedOut) << run.describe();
    EXPECT_EQ(run.signal, 0) << run.describe();
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

  TempHome home;
  fs::path library = makeTempDirectory("library");
  SandboxProcess sandbox{
      withArguments({"--seed-demo", "--library", library.string(), "--long-poll-hold-ms", "500"})};
  fs::path session = home.path() / "Session";
  std::vector<std::string> photos = drawSampleSession(session);
};

TEST_P(FaultMatrix, EndsAnswersReportsLossesAndLeavesTheNextRunWorking) {
  const Cell& cell = GetParam();
  json rule = cell.fault->rule;
  rule["method"] = cell.route->method;
  rule["path"] = cell.route->path;
  if (cell.route->query != nullptr) rule["query"] = cell.route->query;
  const int id = sandbox.setFault(rule);
  const auto hits = [&] {
    const json faults = sandbox.admin("GET", "/admin/faults").body["faults"];
    for (const json& fault : faults) {
      if (fault["id"] == id) return fault["hits"].get<int>();
    }
    return 0;
  };

  // The faulted run; it stays up at least until the fault struck (a start's background requests).
  const std::string steps = stepsOf(cell.route->steps);
  const CohostRun faulted = cohost(steps, cell.stalls(), [&] { return hits() > 0; });
  expectEndedAndAnswered(faulted, steps);
  EXPECT_GT(hits(), 0) << "the steps never reached the route";
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
        std::string error;
        const auto sidecar = host::Sidecar::read(photos[i] + ".xmp", &error);
        EXPECT_TRUE(sidecar && !sidecar->keywords().empty())
            << "success reported with " << photos[i] << " untagged " << error;
      }
    }
  }
  expectPluginsFolderWhole();

  // Faults cleared, the next run in the same home finds everything in place and publishes; when
  // the faulted run left no account connected, it logs in again first (out, then in) as a user
  // would.
  sandbox.admin("DELETE", "/admin/faults");
  const std::string before = cohost("page\n", false).out;
  const std::string logIn =
      std::string(before.find("\"logout-action\"") != std::string::npos ? "press logout-action\n"
                                                                        : "") +
      kLogIn;
  const std::string clean =
      (before.find("Connected to demo-studio") != std::string::npos ? "" : logIn) + "page\n" +
      publish("voreliaPublishShare", "Clean");
  const CohostRun next = cohost(clean, false);
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
