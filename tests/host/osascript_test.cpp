// cohost-osascript as the plugin runs it: the keyword and ratings scripts carried out on a session
// folder, the sidecars read back with Exiv2, foreign or damaged input refused with nothing touched.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <exiv2/exiv2.hpp>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>

#include "document_list.h"
#include "host/plugin_scripts.h"
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

std::string shellQuoted(const std::string& text) {
  std::string out = "'";
  for (const char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// Runs cohost-osascript with arguments and extra variables, none of the caller's COHOST_
// variables; killed after 30 seconds.
Outcome runInterpreter(const std::vector<std::string>& arguments,
                       const std::map<std::string, std::string>& variables = {}) {
  const fs::path errFile = makeTempDirectory("osascript-err") / "err";
  std::string command = "env -u COHOST_DOCUMENTS -u COHOST_CHOOSE";
  for (const auto& [name, value] : variables) command += " " + shellQuoted(name + "=" + value);
  command += " timeout -s KILL 30 " + shellQuoted(COHOST_OSASCRIPT_PATH);
  for (const std::string& argument : arguments) command += " " + shellQuoted(argument);
  const int status = std::system((command + " 2>" + shellQuoted(errFile.string())).c_str());
  Outcome run;
  if (WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
  std::ifstream in(errFile);
  run.err.assign(std::istreambuf_iterator<char>(in), {});
  fs::remove_all(errFile.parent_path());
  return run;
}

// What a sidecar holds, read with Exiv2 alone.
struct Metadata {
  std::vector<std::string> keywords;
  std::string description;
  std::string rating;
  std::string label;
};

std::optional<Metadata> readSidecar(const fs::path& path) {
  if (!fs::exists(path)) return std::nullopt;
  auto image = Exiv2::ImageFactory::open(path.string());
  image->readMetadata();
  const Exiv2::XmpData& xmp = image->xmpData();
  Metadata metadata;
  if (auto it = xmp.findKey(Exiv2::XmpKey("Xmp.dc.subject")); it != xmp.end()) {
    for (long i = 0; i < it->count(); ++i) metadata.keywords.push_back(it->toString(i));
  }
  if (auto it = xmp.findKey(Exiv2::XmpKey("Xmp.dc.description")); it != xmp.end()) {
    const auto& alt = dynamic_cast<const Exiv2::LangAltValue&>(it->value());
    metadata.description = alt.value_.at("x-default");
  }
  if (auto it = xmp.findKey(Exiv2::XmpKey("Xmp.xmp.Rating")); it != xmp.end()) {
    metadata.rating = it->toString();
  }
  if (auto it = xmp.findKey(Exiv2::XmpKey("Xmp.xmp.Label")); it != xmp.end()) {
    metadata.label = it->toString();
  }
  return metadata;
}

// Every file under folder with its digest, to show that nothing changed.
std::map<std::string, std::string> snapshot(const fs::path& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    files[entry.path().string()] = entry.is_regular_file() ? fileSha256(entry.path()) : "folder";
  }
  return files;
}

class CohostOsascript : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = makeTempDirectory("catalogue");
    session_ = makeSession("Session 1");
  }
  void TearDown() override { fs::remove_all(root_); }

  // A session with two variants of IMG_0001, IMG_0002 and IMG_00020 and two files that are not
  // images of it.
  fs::path makeSession(const std::string& name) {
    const fs::path folder = root_ / name;
    fs::create_directories(folder / "nested.jpg");
    for (const char* file :
         {"IMG_0001.CR2", "IMG_0001.jpg", "IMG_0002.jpg", "IMG_00020.jpg", "notes.txt"}) {
      writeGeneratedFile(folder / file, 64);
    }
    return folder;
  }

  fs::path script(const std::string& text) {
    const fs::path file = root_ / ("script" + std::to_string(++scripts_) + ".scpt");
    std::ofstream(file, std::ios::binary) << text;
    return file;
  }

  // Runs text on the session.
  Outcome runOn(const std::string& text) {
    return runInterpreter({"--document", session_.string(), script(text).string()});
  }

  fs::path root_;
  fs::path session_;
  int scripts_ = 0;
};

TEST_F(CohostOsascript, KeywordScriptTagsEveryVariantWhoseNameStartsWithTheKey) {
  const fs::path marker = root_ / "pwned";
  const std::string hostile = "x\" & (do shell script \"touch " + marker.string() + "\") & \"";
  const std::string quotedText = "A \"quoted\" dog \\ on a beach\nÜnïcode ✓";
  const std::string keywords =
      keywordScript({{"IMG_0001.", "dog;beach;", quotedText}, {"IMG_0002.", "", hostile}});
  for (int run = 1; run <= 2; ++run) {  // a second run changes nothing
    SCOPED_TRACE(run);
    const Outcome result = runOn(keywords);
    ASSERT_EQ(result.exitCode, 0) << result.err;
    for (const char* image : {"IMG_0001.CR2", "IMG_0001.jpg"}) {
      const auto metadata = readSidecar(session_ / (std::string(image) + ".xmp"));
      ASSERT_TRUE(metadata) << image;
      EXPECT_THAT(metadata->keywords, ElementsAre("dog;beach;")) << image;
      EXPECT_EQ(metadata->description, quotedText) << image;
    }
    const auto second = readSidecar(session_ / "IMG_0002.jpg.xmp");
    ASSERT_TRUE(second);
    EXPECT_THAT(second->keywords, IsEmpty());
    EXPECT_EQ(second->description, hostile);
    EXPECT_FALSE(fs::exists(session_ / "IMG_00020.jpg.xmp")) << "the key's dot must match";
    EXPECT_FALSE(fs::exists(session_ / "notes.txt.xmp"));
    EXPECT_FALSE(fs::exists(marker));
  }
}

TEST_F(CohostOsascript, RatingsScriptResetsItsOwnMarkThenMarksTheListedImages) {
  struct Case {
    std::string property;
    int value;
    std::string Metadata::*field;
    std::string shown;
  };
  const Case cases[] = {{"rating", 3, &Metadata::rating, "3"},
                        {"color tag", 2, &Metadata::label, "Orange"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.property);
    fs::remove_all(session_);
    session_ = makeSession("Session 1");
    // An image marked otherwise before keeps its mark and its other metadata.
    std::ofstream(session_ / "IMG_00020.jpg.xmp")
        << R"(<x:xmpmeta xmlns:x="adobe:ns:meta/"><rdf:RDF xmlns:rdf="http://www.w3.org/1999/02/22-rdf-syntax-ns#"><rdf:Description rdf:about="" xmlns:xmp="http://ns.adobe.com/xap/1.0/" xmlns:dc="http://purl.org/dc/elements/1.1/" xmp:Rating="5" xmp:Label="Blue"><dc:subject><rdf:Bag><rdf:li>kept</rdf:li></rdf:Bag></dc:subject></rdf:Description></rdf:RDF></x:xmpmeta>)";
    const auto mark = [&](const char* image) {
      const auto metadata = readSidecar(session_ / (std::string(image) + ".xmp"));
      return metadata ? (*metadata).*c.field : std::string("(no sidecar)");
    };

    Outcome run = runOn(ratingsScript({"IMG_0001.", "IMG_0002."}, c.property, c.value));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    for (const char* image : {"IMG_0001.CR2", "IMG_0001.jpg", "IMG_0002.jpg"}) {
      EXPECT_EQ(mark(image), c.shown) << image;
    }
    EXPECT_NE(mark("IMG_00020.jpg"), c.shown);
    EXPECT_THAT(readSidecar(session_ / "IMG_00020.jpg.xmp")->keywords, ElementsAre("kept"));

    // The client withdrew IMG_0001: its mark is cleared, IMG_0002 keeps it.
    run = runOn(ratingsScript({"IMG_0002."}, c.property, c.value));
    ASSERT_EQ(run.exitCode, 0) << run.err;
    const std::string cleared = c.property == "rating" ? "0" : "";
    EXPECT_EQ(mark("IMG_0001.CR2"), cleared);
    EXPECT_EQ(mark("IMG_0001.jpg"), cleared);
    EXPECT_EQ(mark("IMG_0002.jpg"), c.shown);
    EXPECT_EQ(readSidecar(session_ / "IMG_00020.jpg.xmp")->rating, "5");
    EXPECT_EQ(readSidecar(session_ / "IMG_00020.jpg.xmp")->label, "Blue");
  }
}

TEST_F(CohostOsascript, RefusesAnythingElseAndTouchesNothing) {
  const fs::path marker = root_ / "pwned";
  const std::string shell = "do shell script \"touch " + marker.string() + "\"";
  const std::string keywords = keywordScript({{"IMG_0001.", "a;", "b"}});
  std::string foreignApp = keywords;
  foreignApp.replace(foreignApp.find("Capture One 12"), 14, "Finder");
  std::string unescaped = keywords;
  unescaped.replace(unescaped.find("\"b\""), 3, "\"x\" & (" + shell + ") & \"\"");
  std::string unknownEscape = ratingsScript({"IMGq"}, "rating", 1);
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
      {"a rating the catalogue has not", ratingsScript({"IMG_0001."}, "rating", 9), "0 to 5"},
      {"a string not closed", "set imagesToBeRated to {\"IMG", "not closed"},
      {"an unknown escape", unknownEscape, "unknown escape"},
      {"an empty file", "", "not a script this host runs"},
  };
  const auto before = snapshot(root_);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Outcome run = runOn(c.text);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_THAT(run.err, HasSubstr(c.error));
    EXPECT_FALSE(fs::exists(marker));
    fs::remove(root_ / ("script" + std::to_string(scripts_) + ".scpt"));
    EXPECT_EQ(snapshot(root_), before);
  }
}

TEST_F(CohostOsascript, DamagedSidecarStopsTheRunBeforeAnyWrite) {
  const fs::path outside = root_ / "outside.xmp";
  std::ofstream(outside) << "<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"/>";
  const struct {
    const char* name;
    std::function<void(const fs::path&)> damage;
  } cases[] = {
      {"not XMP", [](const fs::path& p) { std::ofstream(p) << "<unclosed"; }},
      {"a link out of the document", [&](const fs::path& p) { fs::create_symlink(outside, p); }},
      {"a folder", [](const fs::path& p) { fs::create_directory(p); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(session_);
    session_ = makeSession("Session 1");
    c.damage(session_ / "IMG_0002.jpg.xmp");
    const auto before = snapshot(root_);
    const Outcome run = runOn(keywordScript({{"IMG_000", "t;", "d"}}));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_THAT(run.err, HasSubstr("IMG_0002.jpg.xmp"));
    fs::remove(root_ / ("script" + std::to_string(scripts_) + ".scpt"));
    EXPECT_EQ(snapshot(root_), before);
  }
}

TEST_F(CohostOsascript, ChoosesTheDocumentByNameWhenSeveralAreOpen) {
  const fs::path other = makeSession("Other: 100% \"odd\"");
  const std::string documents = host::encodeDocumentList({session_.string(), other.string()});
  const struct {
    const char* name;
    std::vector<std::string> args;
    std::map<std::string, std::string> env;
    int exitCode;
    std::optional<fs::path> tagged;
  } cases[] = {
      {"the first by default", {}, {}, 0, session_},
      {"--choose", {"--choose", other.filename().string()}, {}, 0, other},
      {"COHOST_CHOOSE, any case", {}, {{"COHOST_CHOOSE", "session 1"}}, 0, session_},
      {"COHOST_CHOOSE", {}, {{"COHOST_CHOOSE", other.filename().string()}}, 0, other},
      {"a name not open", {"--choose", "Nope"}, {}, 1, std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    for (const fs::path& folder : {session_, other}) fs::remove(folder / "IMG_0002.jpg.xmp");
    std::vector<std::string> args = c.args;
    args.push_back(script(keywordScript({{"IMG_0002.", "chosen;", ""}})).string());
    std::map<std::string, std::string> env = c.env;
    env["COHOST_DOCUMENTS"] = documents;
    const Outcome run = runInterpreter(args, env);
    EXPECT_EQ(run.exitCode, c.exitCode) << run.err;
    for (const fs::path& folder : {session_, other}) {
      EXPECT_EQ(fs::exists(folder / "IMG_0002.jpg.xmp"), c.tagged == folder) << folder;
    }
  }
}

}  // namespace
}  // namespace vorelia::testing
