// The real plugin through cohost against the sandbox, as a photographer meets it: publishing a
// session as a web gallery and as a proofing album, auto-tagging it, and bringing a client's
// ratings from the proofing page back onto the images as a colour tag (albums and links checked on
// the sandbox, tags in the sidecars); and a self-update, which the next start of cohost loads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>

#include "through_the_host.h"

namespace vorelia::testing {
namespace {

using ::testing::HasSubstr;

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

// A login the service no longer takes is renewed with the stored password; once the password
// has changed on the web site, the user is told to log in again and the page asks for it.
TEST_F(ThroughTheHost, AnExpiredLoginIsRenewedOrAskedForAgain) {
  ASSERT_EQ(cohost(kLogIn, false).exitCode, 0);
  sandbox.admin("POST", "/admin/tokens/revoke", json::object());
  sandbox.clearRequests();
  auto r = lines("press checkCredits-action\n");
  ASSERT_EQ(r.size(), 1u);
  EXPECT_TRUE(r[0]["error"].is_null()) << r[0].dump();
  std::vector<std::string> sent;
  for (const json& request : sandbox.requests()) sent.push_back(request["path"]);
  // The start's album list, refused too, shares the one grant.
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "/Token"), 1);
  EXPECT_EQ(std::count(sent.begin(), sent.end(), "/api/demo-studio/credits"), 2);

  sandbox.seedUser("demo@vorelia.test", "changed on the web site", {"demo-studio"});
  sandbox.admin("POST", "/admin/tokens/revoke", json::object());
  r = lines("press checkCredits-action\npage\n");
  ASSERT_EQ(r.size(), 2u);
  EXPECT_EQ(r[0]["error"]["localizedDescription"],
            "Your login has expired. Log in again in Capture One > Preferences > Plugins > Vorelia")
      << r[0].dump();
  EXPECT_THAT(r[1].dump(), HasSubstr("\"password-input\""));
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
  // The plug-ins folder is reached through a link: the plugin names its bundle and icon by the
  // path the host loaded it from, not by where the files really are.
  fs::create_directories(home.path() / "Plug-ins elsewhere");
  fs::create_directories(plugins.parent_path());
  fs::create_directory_symlink(home.path() / "Plug-ins elsewhere", plugins);
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

}  // namespace
}  // namespace vorelia::testing
