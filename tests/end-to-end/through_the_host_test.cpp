// The real plugin through cohost against the sandbox, as a photographer meets it: the connection
// page with a refusal it shows, a chosen account that outlives the host process until the user
// logs out; publishing a session as a web gallery and as a
// proofing album, auto-tagging it, and bringing a client's ratings from the proofing page back
// onto the images as a colour tag (albums and links checked on the sandbox, tags in the
// sidecars); and a self-update, which the next start of cohost loads.
//
// The fault matrix: every route the plugin calls, each under every way the service or storage can
// fail it, injected by the sandbox on every attempt. For each cell, cohost runs the user steps that
// reach the route and must end by itself, answer every command, and never report a publication as
// plainly done when images are missing; then, with the faults cleared, a run in the same home must
// find the login, the preferences and the plug-ins folder intact and publish a gallery.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <httplib.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

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
using Tags = std::map<std::string, int>;
using ::testing::HasSubstr;

// The login lines; "-" reads the password from standard input (cohost() gives it there).
std::string logIn(const std::string& password = "-") {
  return "set userName-input \"demo@vorelia.test\"\nset password-input " + password +
         "\npress login-action\nset accounts-action [\"demo-studio\"]\n";
}
const std::string kLogIn = logIn();

// The text of HTML character data with the page's entities.
std::string htmlText(std::string text) {
  for (const auto& [entity, character] :
       {std::pair{"&#39;", "'"}, {"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}}) {
    for (auto at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1)) {
      text.replace(at, std::string_view(entity).size(), character);
    }
  }
  return text;
}

json bundleInfo(const fs::path& bundle) {
  std::ifstream info(bundle / "Info.json");
  const json parsed = json::parse(info, nullptr, false);
  return parsed.is_object() ? parsed : json::object();
}

class ThroughTheHost : public ::testing::Test {
 protected:
  ThroughTheHost() { sandbox.seedUser("two@example.test", "pw two", {"first", "second"}); }
  ~ThroughTheHost() override { fs::remove_all(library); }

  // Runs the lines as a cohost script with the plugin, against the sandbox, going on after a
  // failed line, the session open unless asked not to.
  CohostRun cohost(const std::string& lines, bool openSession = true,
                   const std::function<void(CohostOptions&)>& adjust = {}) {
    const fs::path script = home.path() / "job.cohost";
    std::ofstream(script) << lines;
    std::vector<std::string> args = {"run", "--keep-going", script.string()};
    if (openSession) args.insert(args.begin(), {"--document", session.string()});
    CohostOptions options = pluginRun(sandbox, args);
    options.withInput("demo-password\n");
    if (adjust) adjust(options);
    return runCohost(options);
  }
  // The result lines of a script run without the session.
  std::vector<json> lines(const std::string& script) { return cohost(script, false).lines(); }
  // The photos as arguments of a publish line.
  std::string files(std::size_t count) const {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += " " + json(photos.at(i)).dump();
    return text;
  }

  // Submits the rating form of the photo with that caption on the proofing page, as a browser does.
  void rate(httplib::Client& client, const std::string& caption, const std::string& rating) {
    const auto page = client.Get(link);
    ASSERT_TRUE(page && page->status == 200);
    std::map<std::string, std::string> items;  // caption -> the item its form rates
    const std::regex figure(R"re(data-item="([^"]+)"[\s\S]*?<figcaption>([^<]*)</figcaption>)re");
    for (std::sregex_iterator it(page->body.begin(), page->body.end(), figure), end; it != end;
         ++it) {
      items[htmlText((*it)[2])] = (*it)[1];
    }
    ASSERT_TRUE(items.contains(caption)) << caption;
    const auto answer = client.Post(
        link + "/rate",
        "item=" + httplib::detail::encode_query_param(items.at(caption)) + "&rating=" + rating,
        "application/x-www-form-urlencoded");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 303) << answer->body;
  }

  // How often the sandbox's fault with that id has struck.
  int hits(int id) const {
    const json faults = sandbox.admin("GET", "/admin/faults").body["faults"];
    for (const json& fault : faults) {
      if (fault["id"] == id) return fault["hits"].get<int>();
    }
    return 0;
  }

  // Puts a newer build of the plugin into the update library.
  void offerUpdate() const {
    const fs::path archive = UPDATE_ARCHIVE_PATH;
    fs::copy_file(archive, library / archive.filename());
    std::ofstream(library / "details.json") << json{{"version", UPDATE_TEST_VERSION}}.dump();
  }

  // The colour tag of each photo of the session, by file name.
  Tags colourTags() {
    Tags tags;
    for (const std::string& photo : photos) {
      const auto sidecar = host::Sidecar::read(photo + ".xmp");
      EXPECT_TRUE(sidecar.ok()) << sidecar.error();
      tags[fs::path(photo).filename()] = sidecar ? sidecar->colorTag() : -1;
    }
    return tags;
  }

  TempHome home;
  fs::path library = makeTempDirectory("library");  // the update library, empty unless filled
  SandboxProcess sandbox{
      withArguments({"--seed-demo", "--library", library.string(), "--encoding-delay-ms", "20",
                     "--long-poll-hold-ms", "500"})};
  fs::path session = home.path() / "Session";
  std::vector<std::string> photos = drawSampleSession(session);
  std::string link;  // the proofing page's path, "/p/CODE"
};

// The service's refusal reaches the host as the plugin's error, with no callback.
TEST_F(ThroughTheHost, ARefusalOfTheServiceIsShownWithItsMessage) {
  const auto r = lines(
      "set userName-input \"two@example.test\"\nset password-input \"wrong\"\n"
      "press login-action\n");
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[2]["error"]["localizedDescription"], "Wrong e-mail or password") << r[2].dump();
  EXPECT_TRUE(r[2]["callbacks"].empty()) << r[2].dump();
}

// What the real host cannot be made to do is a usage error, with nothing sent: a value that is not
// among a list's options, a file that is not an image of the open document (here one named like
// an image of it, which its keywords would have gone to). A refused `set password-input -` takes
// its line all the same: the password never runs as a command. A catalogue script that fails
// fails its publication with the script's error.
TEST_F(ThroughTheHost, WhatTheRealHostCannotDoIsRefused) {
  const fs::path elsewhere = home.path() / "Prefix" / "Snow field.jpg";
  fs::create_directories(elsewhere.parent_path());
  fs::copy_file(photos[0], elsewhere);
  fs::create_directory(photos[5] + ".xmp");  // a sidecar the catalogue cannot read
  enum Want { input, ok, usage, failed };
  const struct {
    std::string line;
    Want want;
    std::string says;
  } steps[] = {
      {"set userName-input \"demo@vorelia.test\"", ok, ""},
      {"set pasword-input -", usage, "did you mean \"password-input\""},
      {"demo-password", input, ""},
      {"set password-input -", ok, ""},
      {"demo-password", input, ""},
      {"press login-action", ok, ""},
      {"set accounts-action [\"demo-studo\"]", usage,
       "\"demo-studo\" is not an option of accounts-action (did you mean \"demo-studio\"?)"},
      {"set accounts-action \"demo-studio\"", usage, "is a multiple-choice list"},
      {"set accounts-action [\"demo-studio\"]", ok, ""},
      {"action-set voreliaPublishShare albumsList-input \"creat\"", usage,
       "(did you mean \"create\"?)"},
      {"action-set voreliaPublishShare albumsList-input \"create\"", ok, ""},
      {R"(publish voreliaPublishShare {"albumName-input":"R"} )" + json(elsewhere.string()).dump(),
       usage, "is not in the document Session"},
      {"publish voreliaPublishAI {} " + json(photos[5]).dump(), failed,
       "Snow field.jpg.xmp is not a regular file"},
  };
  std::string lines;
  for (const auto& step : steps) lines += step.line + "\n";
  const CohostRun run =
      runCohost(pluginRun(sandbox, {"--document", session.string(), "shell"}).withInput(lines));
  EXPECT_EQ(run.exitCode, 2) << run.describe();
  EXPECT_EQ((run.out + run.err).find("demo-password"), std::string::npos) << run.describe();
  std::vector<json> answers;
  for (const json& line : run.lines()) {
    if (line.contains("command")) answers.push_back(line);
  }
  std::size_t i = 0;
  for (const auto& step : steps) {
    if (step.want == input) continue;
    SCOPED_TRACE(step.line);
    ASSERT_LT(i, answers.size()) << run.describe();
    const json& answer = answers[i++];
    EXPECT_EQ(answer["ok"], step.want == ok) << answer.dump();
    EXPECT_THAT(step.want == usage ? answer.value("usage", "") : answer["error"].dump(),
                HasSubstr(step.says));
  }
  EXPECT_EQ(i, answers.size()) << run.describe();
  EXPECT_FALSE(albumItems(sandbox).contains("R"));
}

TEST_F(ThroughTheHost, TheChosenAccountOutlivesTheHost) {
  const std::string connected = "\"Connected to second\"";
  auto r = lines(
      "set userName-input \"TWO@example.test \"\n"
      "set password-input \"pw two\"\n"
      "press login-action\n"
      "set accounts-action [\"second\"]\n"
      "page\n");
  ASSERT_EQ(r.size(), 5u);
  EXPECT_THAT(r[4].dump(), HasSubstr(connected));

  // A restart keeps the login; a login with a stored account keeps it whatever the list says.
  r = lines("page\nset password-input \"pw two\"\npress login-action\npage\n");
  ASSERT_EQ(r.size(), 4u);
  EXPECT_THAT(r[0].dump(), HasSubstr(connected));
  EXPECT_THAT(r[3].dump(), HasSubstr(connected));

  // Logging out shows the login form again, in this run and the next.
  r = lines("press logout-action\n");
  r = lines("page\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_THAT(r[0].dump(), HasSubstr("\"userName-input\""));
}

TEST_F(ThroughTheHost, GalleryProofingAndTagsThroughTheHost) {
  const CohostRun run = cohost(
      kLogIn +
          "publish voreliaPublishShare {\"albumsList-input\":\"create\",\"albumName-input\":"
          "\"Été wedding\",\"albumDownload-input\":true}" +
          files(photos.size()) +
          "\npublish voreliaPublishProofing {\"albumsList-input\":\"create\",\"albumName-input\":"
          "\"Client picks\"}" +
          files(photos.size()) + "\npublish voreliaPublishAI {}" + files(photos.size()) + "\n",
      false);
  ASSERT_EQ(run.exitCode, 0) << run.describe();
  const auto published = results(run, "publish");
  ASSERT_EQ(published.size(), 3u) << run.describe();
  // No document was open: the first publication opened the session, where the tags then went.
  EXPECT_EQ(run.out.find("demo-password"), std::string::npos);
  // The plugin's workflows report their steps to the host as they go.
  std::size_t steps = 0;
  for (const json& line : run.lines()) {
    if (!line.contains("progress") || !line["progress"].contains("total")) continue;  // not export
    ++steps;
    EXPECT_LE(line["progress"]["completed"], line["progress"]["total"]) << line;
  }
  EXPECT_GE(steps, 3 * photos.size());

  // The gallery and the proofing album hold the session in file order behind their links.
  auto albums = albumItems(sandbox);
  const std::vector<std::string> expected = {
      "Anna_a_s___portrait.jpg", "Beach___morning.jpg",     "Café___terrace___at___night.jpg",
      "Forest___trail.jpg",      "Harbour___at___dusk.jpg", "Snow___field.jpg"};
  EXPECT_EQ(albums["Été wedding"], expected);
  EXPECT_EQ(albums["Client picks"], expected);
  const json shares = sandbox.admin("GET", "/admin/state").body["shares"];
  ASSERT_EQ(shares.size(), 2u);
  EXPECT_EQ(published[0]["results"][0]["url"], shares[0]["url"]);

  // Every photo of the session carries its tags as one keyword, ending in ';'.
  for (const std::string& name : photos) {
    std::ostringstream sidecar;
    sidecar << std::ifstream(name + ".xmp", std::ios::binary).rdbuf();
    const std::string text = sidecar.str();
    ASSERT_NE(text.find("<rdf:li>"), std::string::npos) << name;
    EXPECT_EQ(text[text.find("</rdf:li>") - 1], ';') << text;
  }
}

TEST_F(ThroughTheHost, ClientRatingsComeBackAsColourTags) {
  ASSERT_EQ(photos.size(), 6u);
  const CohostRun published =
      cohost(kLogIn +
             "publish voreliaPublishProofing {\"albumsList-input\":\"create\",\"albumName-input\":"
             "\"Client picks\"}" +
             files(5) + "\n");
  ASSERT_EQ(published.exitCode, 0) << published.describe();
  const std::string url = results(published, "publish").at(0)["results"][0]["url"];
  link = url.substr(url.find("/p/"));

  httplib::Client client(sandbox.baseUrl().substr(0, sandbox.baseUrl().size() - 1));
  rate(client, "Anna's portrait.jpg", "5");
  rate(client, "Café terrace at night.jpg", "pick");
  rate(client, "Harbour at dusk.jpg", "1");
  // What a browser gets: the images as JPEG.
  std::smatch image;
  const std::string page = client.Get(link)->body;
  ASSERT_TRUE(std::regex_search(page, image, std::regex("<img src=\"http://[^/]+([^\"]+)\"")));
  EXPECT_EQ(client.Get(htmlText(image[1]))->get_header_value("Content-Type"), "image/jpeg");

  // Without a document open, the job's script fails, and so does the run when cohost runs the
  // job as it ends; a rating that is not offered is refused.
  const CohostRun lost = cohost(
      "press checkAlbumsRatings-action\nset taggingOptions-action \"Purpel\"\n"
      "set albumRating-action [\"Client picks\"]\n",
      false);
  EXPECT_EQ(lost.exitCode, 2) << lost.describe();
  EXPECT_THAT(results(lost, "set").at(0).value("usage", ""), HasSubstr("did you mean \"Purple\""));
  ASSERT_EQ(results(lost, "wait").size(), 1u) << lost.describe();
  EXPECT_EQ(results(lost, "wait")[0]["error"].value("failureReason", ""), "no document is open");

  // Look for ratings, choose red, choose the album; the job runs when the host's main queue does.
  const std::string bringBack =
      "press checkAlbumsRatings-action\n"
      "set taggingOptions-action \"Red\"\n"
      "set albumRating-action [\"Client picks\"]\n";
  const CohostRun first = cohost(bringBack + "wait\n");
  ASSERT_EQ(first.exitCode, 0) << first.describe();
  EXPECT_EQ(results(first, "wait").at(0)["ran"], 1) << first.describe();
  Tags expected = {{"Anna's portrait.jpg", 1},       {"Beach morning.jpg", 0},
                   {"Café terrace at night.jpg", 1}, {"Forest trail.jpg", 0},
                   {"Harbour at dusk.jpg", 1},       {"Snow field.jpg", 0}};
  EXPECT_EQ(colourTags(), expected);

  // The client withdraws one rating; the next run clears the red it set and marks the others. It
  // leaves the job queued at the end, which cohost runs before it quits.
  rate(client, "Café terrace at night.jpg", "clear");
  const CohostRun second = cohost(bringBack);
  ASSERT_EQ(second.exitCode, 0) << second.describe();
  expected["Café terrace at night.jpg"] = 0;
  EXPECT_EQ(colourTags(), expected);
}

TEST_F(ThroughTheHost, InterruptedPublicationRemovesTheExportedCopies) {
  const fs::path temporary = home.path() / "tmp";
  fs::create_directories(temporary);
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    sandbox.admin("DELETE", "/admin/faults");  // a request held by the last run goes on
    const int stall =
        sandbox.setFault({{"method", "PUT"}, {"path", "/api/*/encode"}, {"stall", true}});
    const auto stalled = [&](const CohostRun&) { return hits(stall) > 0; };
    // The login of the first run holds for the second.
    const CohostRun run = cohost(
        (signal == SIGINT ? kLogIn : "") + "publish voreliaPublishShare {}" + files(2) + "\n", true,
        [&](CohostOptions& options) {
          options.withVariable("TMPDIR", temporary.string()).then(stalled, "", signal);
        });
    EXPECT_EQ(run.exitCode, 130) << run.describe();
    EXPECT_EQ(run.err, "cohost: interrupted\n") << run.describe();
    EXPECT_TRUE(fs::is_empty(temporary)) << "the exported copies were left behind";
  }
}

// The plugin publishes the host's JPEG copies, named after the originals, never the originals
// themselves; no copy outlives its publication, whether it went through or the host refused it.
TEST_F(ThroughTheHost, PublishingHandsOverCopiesThatGoAwayAfterwards) {
  const fs::path temporary = home.path() / "tmp", pier = session / "Pier.JPEG",
                 notes = session / "notes.jpg";
  fs::create_directories(temporary);
  fs::copy_file(photos[1], pier);
  std::ofstream(notes) << "not a picture";
  const std::string share =
      R"(publish voreliaPublishShare {"albumsList-input":"create","albumName-input":"C"})";
  const CohostRun run =
      cohost(kLogIn + share + files(1) + " " + json(pier.string()).dump() + "\n" + share +
                 files(1) + " " + json(notes.string()).dump() + "\n",
             true, [&](CohostOptions& o) { o.withVariable("TMPDIR", temporary.string()); });
  EXPECT_EQ(run.exitCode, 1) << run.describe();
  const auto published = results(run, "publish");
  ASSERT_EQ(published.size(), 2u) << run.describe();
  EXPECT_EQ(albumItems(sandbox)["C"],
            (std::vector<std::string>{"Anna_a_s___portrait.jpg", "Pier.jpg"}));
  EXPECT_THAT(published[1]["error"].dump(), HasSubstr("not an image format")) << run.describe();
  EXPECT_TRUE(fs::is_empty(temporary)) << "exported copies were left behind";
}

// A store that drops every connection costs the first uploads' attempts and one more file's, not
// every file's; a store that lost one file goes on with the others. Either way the result names
// the lost files and the address it could not reach, and the command fails.
TEST_F(ThroughTheHost, LostFilesAreNamedAndAStoreThatIsGoneEndsTheRest) {
  std::string shots;  // forty copies of a photo of the session
  for (int i = 1; i <= 40; ++i) {
    const fs::path shot = session / ("Shot " + std::to_string(i) + ".jpg");
    fs::copy_file(photos[0], shot);
    shots += " " + json(shot.string()).dump();
  }
  const std::string base = sandbox.baseUrl();
  const std::string gone = " The storage at " + base.substr(0, base.size() - 1) +
                           " could not be "
                           "reached.";
  const struct {
    const char* dropped;  // the blob paths whose connections the store drops; the login holds
    const char* album;
    std::string files;
    std::string message;  // how the result's message begins
    std::size_t published;
  } cases[] = {
      {"/blob/*", "Gone", shots,
       "No image could be uploaded: Shot 1.jpg, Shot 2.jpg, Shot 3.jpg, Shot 4.jpg, Shot 5.jpg "
       "and 35 more." +
           gone,
       0},
      {"/blob/*-o/Beach___morning.jpg", "Blip", files(6),
       "1 of 6 images could not be uploaded: Beach morning.jpg." + gone + " Click show", 5},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.album);
    sandbox.admin("DELETE", "/admin/faults");
    const int drop = sandbox.setFault({{"method", "PUT"}, {"path", c.dropped}, {"drop", true}});
    const json settings = {{"albumsList-input", "create"}, {"albumName-input", c.album}};
    const CohostRun run = cohost((&c == cases ? kLogIn : "") + "publish voreliaPublishShare " +
                                 settings.dump() + c.files + "\n");
    EXPECT_EQ(run.exitCode, 1) << run.describe();
    const auto published = results(run, "publish");
    ASSERT_EQ(published.size(), 1u) << run.describe();
    const json result = published[0]["results"][0];
    const std::string message = result.value("message", "");
    EXPECT_EQ(message.substr(0, c.message.size()), c.message) << run.describe();
    EXPECT_EQ(result["error"]["localizedDescription"], message) << run.describe();
    EXPECT_LT(hits(drop), 40) << "every file spent attempts of its own";
    EXPECT_EQ(albumItems(sandbox)[c.album].size(), c.published);
  }
}

TEST_F(ThroughTheHost, SelfUpdateInstallsTheNewerBundleThatTheNextStartLoads) {
  const std::string version = UPDATE_TEST_VERSION;
  offerUpdate();
  const std::string updates = sandbox.baseUrl() + "libraries/captureone/";

  const fs::path plugins =
      home.path() / "Library" / "Application Support" / "Capture One" / "Plug-ins";
  const fs::path installed = plugins / "VoreliaC1Plugin.coplugin";
  const auto updated = [&](const CohostRun&) {
    return bundleInfo(installed).value("pluginVersion", "") == version &&
           fs::exists(installed / "VoreliaC1Plugin.so") &&
           fs::exists(installed / "Resources" / "VoreliaC1PluginIcon.icns");
  };
  // The first start runs the build's bundle and stays up until the update is in place.
  const CohostRun first =
      runCohost(pluginRun(sandbox, {"shell"}).withInput("bundle\n").then(updated, ""));
  ASSERT_FALSE(first.timedOut) << "the update was not installed\n" << first.describe();
  ASSERT_EQ(first.exitCode, 0) << first.describe();
  EXPECT_EQ(first.single()["pluginVersion"], "0.1.5-beta") << first.describe();

  // The next start finds the bundle in the plug-ins folder.
  const fs::path elsewhere = home.path() / "elsewhere";
  fs::create_directories(elsewhere);
  const CohostRun next = runCohost(CohostOptions({"--json", "shell"})
                                       .withInput("bundle\nactions 1\n")
                                       .inFolder(elsewhere)
                                       .withVariable("VORELIA_UPDATE_URL", updates));
  ASSERT_EQ(next.exitCode, 0) << next.describe();
  const std::vector<json> shown = next.lines();
  ASSERT_EQ(shown.size(), 2u) << next.describe();
  EXPECT_EQ(shown[0]["pluginVersion"], version) << next.describe();
  std::error_code ec;
  EXPECT_TRUE(fs::equivalent(shown[0].value("path", ""), installed, ec)) << next.describe();
  const fs::path icon = installed / "Resources" / "VoreliaC1PluginIcon.icns";
  ASSERT_FALSE(shown[1]["actions"].empty()) << next.describe();
  for (const json& action : shown[1]["actions"]) {
    EXPECT_EQ(action["image"].value("path", ""), icon.string()) << action.dump();
    EXPECT_EQ(action["image"].value("bytes", 0u), fs::file_size(icon)) << action.dump();
  }
}

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
        std::chrono::seconds(10));
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
  json rule = cell.fault->rule;
  rule["method"] = cell.route->method;
  rule["path"] = cell.route->path;
  if (cell.route->query != nullptr) rule["query"] = cell.route->query;
  const int id = sandbox.setFault(rule);

  // The faulted run; it stays up at least until the fault struck (a start's background requests).
  const std::string steps = stepsOf(cell.route->steps);
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
