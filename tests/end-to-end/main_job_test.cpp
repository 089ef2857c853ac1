// The main job through cohost against the sandbox, as a photographer runs it: log in on the
// preference page, publish a session as a web gallery and as a proofing album, auto-tag it, and
// bring a client's ratings from the proofing page back onto the images as a colour tag. The
// albums, links and usage records are checked on the sandbox, the tags in the sidecars.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <httplib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include "cohost_process.h"
#include "sidecar.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using Tags = std::map<std::string, int>;
using ::testing::HasSubstr;

// The password comes from standard input (cohost() gives it there).
const std::string kLogIn =
    "set userName-input \"demo@vorelia.test\"\n"
    "set password-input -\n"
    "press login-action\n"
    "set accounts-action [\"demo-studio\"]\n";

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

class MainJob : public ::testing::Test {
 protected:
  // Runs the lines as a cohost script with the plugin, against the sandbox, the session open
  // unless asked not to. Only the API and the queue (with its signature) are pointed at the
  // sandbox: cohost keeps the rest there by itself.
  CohostRun cohost(const std::string& lines, bool openSession = true,
                   const std::function<void(CohostOptions&)>& adjust = {}) {
    const fs::path script = home.path() / "job.cohost";
    std::ofstream(script) << lines;
    const std::string service = sandbox.baseUrl();
    const std::string queuePath = sandbox.admin("GET", "/admin/queue").body["queuePath"];
    CohostOptions options({"--json", "--bundle", pluginBundle().string(), "run", script.string()});
    if (openSession)
      options.args.insert(options.args.begin() + 3, {"--document", session.string()});
    options.withInput("demo-password\n")
        .withVariable("VORELIA_API_URL", service)
        .withVariable("VORELIA_WEB_URL", std::nullopt)
        .withVariable("VORELIA_UPDATE_URL", std::nullopt)
        .withVariable("VORELIA_QUEUE_URL", service + queuePath.substr(1));
    if (adjust) adjust(options);
    return runCohost(options);
  }
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

  // The colour tag of each photo of the session, by file name.
  Tags colourTags() {
    Tags tags;
    for (const std::string& photo : photos) {
      std::string error;
      const auto sidecar = host::Sidecar::read(photo + ".xmp", &error);
      EXPECT_TRUE(sidecar.has_value()) << error;
      tags[fs::path(photo).filename()] = sidecar ? sidecar->colorTag() : -1;
    }
    return tags;
  }

  TempHome home;
  SandboxProcess sandbox{withArguments({"--seed-demo", "--encoding-delay-ms", "20"})};
  fs::path session = home.path() / "Session";
  std::vector<std::string> photos = drawSampleSession(session);
  std::string link;  // the proofing page's path, "/p/CODE"
};

TEST_F(MainJob, GalleryProofingAndTagsThroughTheHost) {
  // The gallery goes into the album whose name differs only in letter case.
  sandbox.seedAlbum({{"account", "demo-studio"}, {"name", "Été wedding"}});
  const CohostRun run = cohost(
      kLogIn +
          "publish voreliaPublishShare {\"albumsList-input\":\"create\",\"albumName-input\":"
          "\"éTÉ WEDDING\",\"albumDownload-input\":true}" +
          files(photos.size()) +
          "\npublish voreliaPublishProofing {\"albumsList-input\":\"create\",\"albumName-input\":"
          "\"Client picks\"}" +
          files(photos.size()) + "\npublish voreliaPublishAI {}" + files(photos.size()) + "\n",
      false);
  ASSERT_EQ(run.exitCode, 0) << run.describe();
  const auto published = results(run, "publish");
  ASSERT_EQ(published.size(), 3u) << run.describe();
  // No document was open: the first publication opened the session, where the tags then went.
  EXPECT_EQ(published[0]["opened"], json::array({fs::canonical(session).string()}));
  EXPECT_FALSE(published[2].contains("opened"));
  EXPECT_EQ(run.out.find("demo-password"), std::string::npos);
  // The update library was asked beside the service, not at the real one.
  bool askedForUpdates = false;
  for (const json& request : sandbox.requests()) {
    askedForUpdates |= request["path"] == "/libraries/captureone/details.json";
  }
  EXPECT_TRUE(askedForUpdates);
  // The plugin's workflows report their steps to the host as they go.
  std::size_t steps = 0;
  for (const json& line : run.lines()) {
    if (!line.contains("progress") || !line["progress"].contains("total")) continue;  // not export
    ++steps;
    EXPECT_LE(line["progress"]["completed"], line["progress"]["total"]) << line;
  }
  EXPECT_GE(steps, 3 * photos.size());

  // The gallery and the proofing album hold the session in file order behind their links.
  const json state = sandbox.admin("GET", "/admin/state").body;
  std::map<std::string, std::vector<std::string>> albums;
  for (const json& album : state["accounts"][0]["albums"]) {
    for (const json& item : album["value"]) albums[album["name"]].push_back(item["name"]);
  }
  const std::vector<std::string> expected = {
      "Anna_a_s___portrait.jpg", "Beach___morning.jpg",     "Café___terrace___at___night.jpg",
      "Forest___trail.jpg",      "Harbour___at___dusk.jpg", "Snow___field.jpg"};
  EXPECT_EQ(albums["Été wedding"], expected);
  EXPECT_EQ(albums["Client picks"], expected);
  const std::string gallery = published[0]["results"][0]["url"];
  const std::string proofing = published[1]["results"][0]["url"];
  EXPECT_NE(gallery.find("/a/"), std::string::npos) << gallery;
  EXPECT_EQ(proofing.find("/p/"), gallery.find("/a/")) << proofing;
  ASSERT_EQ(state["shares"].size(), 2u);
  EXPECT_EQ(state["shares"][0]["url"], gallery);
  EXPECT_EQ(state["shares"][0]["isDownloadEnabled"], true);

  // One usage record per task.
  std::vector<json> records;
  const json queue = sandbox.admin("GET", "/admin/queue").body;
  for (const json& message : queue["messages"]) {
    records.push_back(message["record"]);
  }
  const auto record = [](const char* action) {
    return json{{"action", action}, {"account", "demo-studio"}, {"imageCount", 6}};
  };
  std::sort(records.begin(), records.end());
  EXPECT_EQ(records,
            (std::vector<json>{record("voreliaPublishAI"), record("voreliaPublishProofing"),
                               record("voreliaPublishShare")}));

  // Every photo of the session carries its tags as one keyword, ending in ';'.
  EXPECT_EQ(published[2]["results"][0]["message"], "Go to metadata and keywords of your images");
  for (const std::string& name : photos) {
    std::ostringstream sidecar;
    sidecar << std::ifstream(name + ".xmp", std::ios::binary).rdbuf();
    const std::string text = sidecar.str();
    ASSERT_NE(text.find("<rdf:li>"), std::string::npos) << name;
    EXPECT_EQ(text[text.find("</rdf:li>") - 1], ';') << text;
  }
}

TEST_F(MainJob, ClientRatingsComeBackAsColourTags) {
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
  // What a browser gets: the images as JPEG, an unknown link as a page.
  std::smatch image;
  const std::string page = client.Get(link)->body;
  ASSERT_TRUE(std::regex_search(page, image, std::regex("<img src=\"http://[^/]+([^\"]+)\"")));
  EXPECT_EQ(client.Get(htmlText(image[1]))->get_header_value("Content-Type"), "image/jpeg");
  const auto unknown = client.Get("/a/NoSuchCode");
  EXPECT_EQ(unknown->status, 404);
  EXPECT_THAT(unknown->get_header_value("Content-Type"), HasSubstr("text/html"));

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
  // The scripts folder is left empty.
  EXPECT_TRUE(fs::is_empty(home.path() / "Library/Scripts/Capture One Scripts"));
}

TEST_F(MainJob, InterruptedPublicationRemovesTheExportedCopies) {
  const fs::path temporary = home.path() / "tmp";
  fs::create_directories(temporary);
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    sandbox.admin("DELETE", "/admin/faults");  // a request held by the last run goes on
    const int stall =
        sandbox.setFault({{"method", "PUT"}, {"path", "/api/*/encode"}, {"stall", true}});
    const auto stalled = [&](const CohostRun&) {
      const json faults = sandbox.admin("GET", "/admin/faults").body["faults"];
      return faults.size() == 1 && faults[0]["id"] == stall && faults[0]["hits"] > 0;
    };
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

}  // namespace
}  // namespace vorelia::testing
