// The fixture of the end-to-end tests: the real plugin through cohost against the sandbox, in a
// home of its own, with a session of sample photos and an update library.
#pragma once

#include <gtest/gtest.h>
#include <httplib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <regex>
#include <string>
#include <vector>

#include "cohost_process.h"
#include "sidecar.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"

namespace vorelia::testing {

namespace fs = std::filesystem;
using nlohmann::json;
using Tags = std::map<std::string, int>;

// The login lines; "-" reads the password from standard input (cohost() gives it there).
inline std::string logIn(const std::string& password = "-") {
  return "set userName-input \"demo@vorelia.test\"\nset password-input " + password +
         "\npress login-action\nset accounts-action [\"demo-studio\"]\n";
}
inline const std::string kLogIn = logIn();

// The text of HTML character data with the page's entities.
inline std::string htmlText(std::string text) {
  for (const auto& [entity, character] :
       {std::pair{"&#39;", "'"}, {"&quot;", "\""}, {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}}) {
    for (auto at = text.find(entity); at != std::string::npos; at = text.find(entity, at + 1)) {
      text.replace(at, std::string_view(entity).size(), character);
    }
  }
  return text;
}

inline json bundleInfo(const fs::path& bundle) {
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

}  // namespace vorelia::testing
