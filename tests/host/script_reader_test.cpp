// Reading the plugin's ratings script, escapes resolved, and the document list that survives any
// path. The keyword script's records are read back in osascript_test.cpp.
#include <gtest/gtest.h>

#include "document_list.h"
#include "host/plugin_scripts.h"
#include "host_script.h"

namespace vorelia::testing {
namespace {

using host::Mark;
using host::RatingsScript;
using host::readHostScript;

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
