// The proofing loop through cohost against the sandbox: the photographer publishes a proofing
// album, a client rates photos on its page, and the photographer brings the ratings back onto the
// images as a colour tag from the preference page.
#include <gtest/gtest.h>

#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include "cohost_process.h"
#include "sidecar.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

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

class Proofing : public ::testing::Test {
 protected:
  // Runs the lines as a cohost script on the session with the plugin, against the sandbox.
  CohostRun cohost(const std::string& lines) {
    const fs::path script = home.path() / "job.cohost";
    std::ofstream(script) << lines;
    const std::string service = sandbox.baseUrl();
    return runCohost(CohostOptions({"--json", "--bundle", pluginBundle().string(), "--document",
                                    session.string(), "run", script.string()})
                         .withVariable("VORELIA_API_URL", service)
                         .withVariable("VORELIA_WEB_URL", service.substr(0, service.size() - 1)));
  }

  // What a client sees on the proofing page: each photo's caption and the item its form rates.
  std::map<std::string, std::string> itemsOnPage(httplib::Client& client) {
    const auto page = client.Get(link);
    EXPECT_TRUE(page && page->status == 200);
    std::map<std::string, std::string> items;
    if (!page) return items;
    const std::regex figure(R"re(data-item="([^"]+)"[\s\S]*?<figcaption>([^<]*)</figcaption>)re");
    for (std::sregex_iterator it(page->body.begin(), page->body.end(), figure), end; it != end;
         ++it) {
      items[htmlText((*it)[2])] = (*it)[1];
    }
    return items;
  }

  // Submits the rating form of the photo with that caption, as a browser does.
  void rate(httplib::Client& client, const std::string& caption, const std::string& rating) {
    const auto items = itemsOnPage(client);
    ASSERT_TRUE(items.contains(caption)) << caption;
    const auto answer = client.Post(
        link + "/rate",
        "item=" + httplib::detail::encode_query_param(items.at(caption)) + "&rating=" + rating,
        "application/x-www-form-urlencoded");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 303) << answer->body;
  }

  // The colour tag of each photo of the session, by file name.
  std::map<std::string, int> colourTags() {
    std::map<std::string, int> tags;
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

TEST_F(Proofing, ClientRatingsComeBackAsColourTags) {
  ASSERT_EQ(photos.size(), 6u);
  std::string files;
  for (std::size_t i = 0; i < 5; ++i) files += " " + json(photos[i]).dump();
  const CohostRun published = cohost(
      "set userName-input \"demo@vorelia.test\"\n"
      "set password-input \"demo-password\"\n"
      "press login-action\n"
      "set accounts-action [\"demo-studio\"]\n"
      "publish voreliaPublishProofing {\"albumsList-input\":\"create\",\"albumName-input\":"
      "\"Client picks\"}" +
      files + "\n");
  ASSERT_EQ(published.exitCode, 0) << published.describe();
  const std::string url = results(published, "publish").at(0)["results"][0]["url"];
  link = url.substr(url.find("/p/"));

  httplib::Client client(sandbox.baseUrl().substr(0, sandbox.baseUrl().size() - 1));
  rate(client, "Anna's portrait.jpg", "5");
  rate(client, "Café terrace at night.jpg", "pick");
  rate(client, "Harbour at dusk.jpg", "1");

  // Look for ratings, choose red, choose the album; the job runs when the host's main queue does.
  const std::string bringBack =
      "press checkAlbumsRatings-action\n"
      "set taggingOptions-action \"Red\"\n"
      "set albumRating-action [\"Client picks\"]\n";
  const CohostRun first = cohost(bringBack + "wait\n");
  ASSERT_EQ(first.exitCode, 0) << first.describe();
  EXPECT_EQ(results(first, "wait").at(0)["ran"], 1) << first.describe();
  EXPECT_EQ(colourTags(), (std::map<std::string, int>{{"Anna's portrait.jpg", 1},
                                                      {"Beach morning.jpg", 0},
                                                      {"Café terrace at night.jpg", 1},
                                                      {"Forest trail.jpg", 0},
                                                      {"Harbour at dusk.jpg", 1},
                                                      {"Snow field.jpg", 0}}));

  // The client withdraws one rating; the next run clears the red it set and marks the others. It
  // leaves the job queued at the end, which cohost runs before it quits.
  rate(client, "Café terrace at night.jpg", "clear");
  const CohostRun second = cohost(bringBack);
  ASSERT_EQ(second.exitCode, 0) << second.describe();
  EXPECT_EQ(colourTags(), (std::map<std::string, int>{{"Anna's portrait.jpg", 1},
                                                      {"Beach morning.jpg", 0},
                                                      {"Café terrace at night.jpg", 0},
                                                      {"Forest trail.jpg", 0},
                                                      {"Harbour at dusk.jpg", 1},
                                                      {"Snow field.jpg", 0}}));
  // The scripts folder is left empty.
  EXPECT_TRUE(fs::is_empty(home.path() / "Library/Scripts/Capture One Scripts"));
}

}  // namespace
}  // namespace vorelia::testing
