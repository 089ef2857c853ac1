// The main job through cohost against the sandbox, as a photographer runs it: log in on the
// preference page, publish a session as a web gallery and as a proofing album, auto-tag it; then
// the albums, links and usage records are checked on the sandbox and the tags in the sidecars.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "cohost_process.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

TEST(MainJob, GalleryProofingAndTagsThroughTheHost) {
  TempHome home;
  SandboxProcess sandbox(withArguments({"--seed-demo", "--encoding-delay-ms", "20"}));
  const fs::path session = home.path() / "Session";
  const std::vector<std::string> names = drawSampleSession(session);
  std::string files;
  for (const std::string& name : names) files += " " + json(name).dump();

  const fs::path script = home.path() / "job.cohost";
  std::ofstream(script)
      << "set userName-input \"demo@vorelia.test\"\n"
         "set password-input \"demo-password\"\n"
         "press login-action\n"
         "set accounts-action [\"demo-studio\"]\n"
         "publish voreliaPublishShare {\"albumsList-input\":\"create\",\"albumName-input\":"
         "\"Wedding day\",\"albumDownload-input\":true}"
      << files
      << "\npublish voreliaPublishProofing {\"albumsList-input\":\"create\",\"albumName-input\":"
         "\"Client picks\"}"
      << files << "\npublish voreliaPublishAI {}" << files << "\n";
  const std::string queuePath = sandbox.admin("GET", "/admin/queue").body["queuePath"];
  const std::string service = sandbox.baseUrl();
  const CohostRun run =
      runCohost(CohostOptions({"--json", "--bundle", pluginBundle().string(), "--document",
                               session.string(), "run", script.string()})
                    .withVariable("VORELIA_API_URL", service)
                    .withVariable("VORELIA_WEB_URL", service.substr(0, service.size() - 1))
                    .withVariable("VORELIA_QUEUE_URL", service + queuePath.substr(1)));
  ASSERT_EQ(run.exitCode, 0) << run.describe();
  const auto published = results(run, "publish");
  ASSERT_EQ(published.size(), 3u) << run.describe();

  // The gallery and the proofing album hold the session in file order behind their links.
  const json state = sandbox.admin("GET", "/admin/state").body;
  std::map<std::string, std::vector<std::string>> albums;
  for (const json& album : state["accounts"][0]["albums"]) {
    for (const json& item : album["value"]) albums[album["name"]].push_back(item["name"]);
  }
  const std::vector<std::string> expected = {
      "Anna_a_s___portrait.jpg", "Beach___morning.jpg",     "Café___terrace___at___night.jpg",
      "Forest___trail.jpg",      "Harbour___at___dusk.jpg", "Snow___field.jpg"};
  EXPECT_EQ(albums["Wedding day"], expected);
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
  for (const std::string& name : names) {
    const std::string sidecar = contents(name + ".xmp");
    const auto keyword = sidecar.find("<rdf:li>");
    ASSERT_NE(keyword, std::string::npos) << name;
    EXPECT_EQ(sidecar[sidecar.find("</rdf:li>") - 1], ';') << sidecar;
  }
}

}  // namespace
}  // namespace vorelia::testing
