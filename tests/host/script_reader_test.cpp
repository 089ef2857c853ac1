// Reading the plugin's scripts: the texts of the records come back exactly, escapes resolved, and
// the document list survives any path.
#include <gtest/gtest.h>

#include "document_list.h"
#include "host/plugin_scripts.h"
#include "host_script.h"

namespace vorelia::testing {
namespace {

using host::KeywordScript;
using host::Mark;
using host::RatingsScript;
using host::readHostScript;

TEST(ScriptReader, KeywordRecordsComeBackExactly) {
  const std::vector<Record> records = {
      {"IMG_0001.", "dog;beach;", "A \"quoted\" dog \\ on a beach\nsecond line"},
      {"Ünïcode ✓.", "", "x\" & (do shell script \"touch /tmp/pwned\") & \""},
  };
  const std::string script = keywordScript(records);
  std::size_t recordBytes = 0;
  for (const Record& r : records) {
    recordBytes += 37 + 16 + 20 + 3 + quoted(r.key).size() + quoted(r.tags).size() +
                   quoted(r.description).size() - 6;
  }
  ASSERT_EQ(script.size(), 52 + recordBytes + 2178) << "the test's script is not the plugin's";

  const auto read = readHostScript(script);
  ASSERT_EQ(read.error, "");
  const auto& parsed = std::get<KeywordScript>(read.script).records;
  ASSERT_EQ(parsed.size(), records.size());
  for (std::size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(parsed[i].key, records[i].key);
    EXPECT_EQ(parsed[i].tags, records[i].tags);
    EXPECT_EQ(parsed[i].description, records[i].description);
  }
  EXPECT_EQ(std::get<KeywordScript>(readHostScript(keywordScript({})).script).records.size(), 0u);
}

TEST(ScriptReader, RatingsScriptGivesNamesMarkAndValue) {
  struct Case {
    std::vector<std::string> names;
    std::string property;
    int value;
    Mark mark;
  };
  const Case cases[] = {
      {{"Beach_01.", "Say \"cheese\".", "a\\b."}, "rating", 5, Mark::rating},
      {{"Only."}, "color tag", 7, Mark::colorTag},
      {{}, "color tag", 4, Mark::colorTag},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.property + " " + std::to_string(c.value));
    const auto read = readHostScript(ratingsScript(c.names, c.property, c.value));
    ASSERT_EQ(read.error, "");
    const auto& ratings = std::get<RatingsScript>(read.script);
    EXPECT_EQ(ratings.names, c.names);
    EXPECT_EQ(ratings.mark, c.mark);
    EXPECT_EQ(ratings.resetValue, c.value);
    EXPECT_EQ(ratings.markValue, c.value);
  }
}

TEST(DocumentList, AnyPathSurvivesTheEnvironment) {
  const std::vector<std::string> folders = {"/plain", "/with:colon/and%percent", "/new\nline",
                                            "/spaces and ünïcode", "/%3A"};
  const std::string encoded = host::encodeDocumentList(folders);
  EXPECT_EQ(encoded.find('\n'), std::string::npos);
  EXPECT_EQ(host::decodeDocumentList(encoded), folders);
  EXPECT_EQ(host::decodeDocumentList(""), std::vector<std::string>{});
  for (const char* bad : {"/a::/b", "/a%", "/a%4", "/a%zz", "/a%00", ":"}) {
    EXPECT_EQ(host::decodeDocumentList(bad), std::nullopt) << bad;
  }
}

}  // namespace
}  // namespace vorelia::testing
