// cohost-osascript as the plugin runs it: the keyword and ratings scripts carried out on a session
// folder, anything else refused with nothing touched.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "publish/catalogue_scripts.h"
#include "sidecar.h"
#include "support/child_process.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"

namespace vorelia::testing {
namespace {

namespace fs = std::filesystem;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

struct Outcome {
  int exitCode = -1;
  std::string err;
};

host::Sidecar sidecar(const fs::path& path) {
  auto read = host::Sidecar::read(path);
  if (!read) throw std::runtime_error(read.error());
  return std::move(*read);
}

class CohostOsascript : public ::testing::Test {
 protected:
  // A session with two variants of IMG_0001, IMG_0002 and IMG_00020 and two files that are not
  // images of it.
  void SetUp() override {
    fs::create_directories(session_ / "nested.jpg");
    for (const char* file :
         {"IMG_0001.CR2", "IMG_0001.jpg", "IMG_0002.jpg", "IMG_00020.jpg", "notes.txt"}) {
      writeGeneratedFile(session_ / file, 64);
    }
  }
  void TearDown() override { fs::remove_all(base_); }

  // Runs cohost-osascript on the script text with the session as its document and none of the
  // caller's COHOST_ variables; killed after 30 seconds.
  Outcome run(const std::string& text) {
    const fs::path script = base_ / "script.scpt", errors = base_ / "err";
    std::ofstream(script, std::ios::binary) << text;
    const std::vector<std::string> command = {
        "-u",         "COHOST_DOCUMENTS", "-u",           "COHOST_CHOOSE", COHOST_OSASCRIPT_PATH,
        "--document", session_.string(),  script.string()};
    const int errFd = ::open(errors.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Outcome outcome;
    outcome.exitCode =
        reapChild(spawnChild("/usr/bin/env", command, -1, errFd), std::chrono::seconds(30));
    ::close(errFd);
    std::ifstream in(errors);
    outcome.err.assign(std::istreambuf_iterator<char>(in), {});
    return outcome;
  }

  fs::path base_ = makeTempDirectory("osascript");
  fs::path root_ = base_ / "catalogue";
  fs::path session_ = root_ / "Session 1";
};

TEST_F(CohostOsascript, KeywordScriptTagsEveryVariantWhoseNameStartsWithTheKey) {
  const std::string quotedText = "A \"quoted\" dog \\ on a beach\nÜnïcode ✓";
  const std::string keywords = keywordScript(keywordRecord("IMG_0001.", "dog;beach;", quotedText) +
                                             keywordRecord("IMG_0002.", "", "no tags"));
  for (int round = 1; round <= 2; ++round) {  // a second run changes nothing
    SCOPED_TRACE(round);
    const Outcome result = run(keywords);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    for (const char* image : {"IMG_0001.CR2.xmp", "IMG_0001.jpg.xmp"}) {
      ASSERT_TRUE(fs::exists(session_ / image)) << image;
      EXPECT_THAT(sidecar(session_ / image).keywords(), ElementsAre("dog;beach;")) << image;
      EXPECT_EQ(sidecar(session_ / image).description(), quotedText) << image;
    }
    EXPECT_THAT(sidecar(session_ / "IMG_0002.jpg.xmp").keywords(), IsEmpty());
    EXPECT_EQ(sidecar(session_ / "IMG_0002.jpg.xmp").description(), "no tags");
    EXPECT_FALSE(fs::exists(session_ / "IMG_00020.jpg.xmp")) << "the key's dot must match";
    EXPECT_FALSE(fs::exists(session_ / "notes.txt.xmp"));
  }
}

// Stars; the colour tags are driven through the host by ClientRatingsComeBackAsColourTags.
TEST_F(CohostOsascript, RatingsScriptResetsItsOwnMarkThenMarksTheListedImages) {
  // An image marked otherwise before keeps its mark and its other metadata.
  std::ofstream(session_ / "IMG_00020.jpg.xmp")
      << R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmlns:dc="http://purl.org/dc/elements/1.1/" xmp:Rating="5" xmp:Label="Blue"><dc:subject><rdf:Bag><rdf:li>kept</rdf:li></rdf:Bag></dc:subject></rdf:Description></rdf:RDF></x:xmpmeta>)";
  // Then the client withdraws IMG_0001, then every mark.
  const std::pair<std::vector<std::string>, std::vector<int>> rounds[] = {
      {{"IMG_0001.", "IMG_0002."}, {3, 3, 3}}, {{"IMG_0002."}, {0, 0, 3}}, {{}, {0, 0, 0}}};
  for (const auto& [names, expected] : rounds) {
    const Outcome result = run(ratingsScript(names, "3"));
    ASSERT_EQ(result.exitCode, 0) << result.err;
    std::vector<int> marks;
    for (const char* image : {"IMG_0001.CR2", "IMG_0001.jpg", "IMG_0002.jpg"}) {
      marks.push_back(sidecar(session_ / (std::string(image) + ".xmp")).rating());
    }
    EXPECT_EQ(marks, expected) << names.size();
    const host::Sidecar other = sidecar(session_ / "IMG_00020.jpg.xmp");
    EXPECT_EQ(other.rating(), 5);
    EXPECT_EQ(other.colorTag(), 5);
    EXPECT_THAT(other.keywords(), ElementsAre("kept"));
  }
}

// A script that is not one of the plugin's, whole and alone, stops the run before any write.
TEST_F(CohostOsascript, RefusesAnythingElseAndTouchesNothing) {
  const std::string shell = "do shell script \"touch /tmp/pwned\"";
  const std::string keywords = keywordScript(keywordRecord("IMG_000", "a;", "b"));
  std::string foreignApp = keywords;
  foreignApp.replace(foreignApp.find("Capture One 12"), 14, "Finder");
  std::string unescaped = keywords;
  unescaped.replace(unescaped.find("\"b\""), 3, "\"x\" & (" + shell + ") & \"\"");
  std::string unknownEscape = ratingsScript({"IMGq"}, "1");
  std::string nine = ratingsScript({"IMG_0001."}, "5");  // a mark no choice gives
  nine.replace(nine.rfind("to 5"), 4, "to 9");
  unknownEscape.replace(unknownEscape.find("IMGq"), 4, "IMG\\q");
  const struct {
    const char* name;
    std::string text;
    const char* error;
  } cases[] = {
      {"a foreign script", shell, "not a script this host runs: line 1"},
      {"a statement added", keywords + "\n" + shell, "after the end of the script"},
      {"a statement inside", shell + "\n" + keywords, "not a script this host runs"},
      {"an unescaped description", unescaped, "not a script this host runs"},
      {"another application", foreignApp, "tell application \"Finder\""},
      {"a rating the catalogue has not", nine, "0 to 5"},
      {"a string not closed", "set imagesToBeRated to {\"IMG", "not closed"},
      {"an unknown escape", unknownEscape, "unknown escape"},
      {"an empty file", "", "not a script this host runs"},
  };
  const auto before = treeSnapshot(root_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome result = run(c.text);
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_THAT(result.err, HasSubstr(c.error));
    EXPECT_EQ(treeSnapshot(root_), before);
  }
}

}  // namespace
}  // namespace vorelia::testing
