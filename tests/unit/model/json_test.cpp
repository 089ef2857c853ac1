#include "model/json.h"

#include <gtest/gtest.h>

#include <limits>

namespace vorelia {
namespace {

struct ReaderCase {
  const char* document;  // a one-member document {"v": ...}, or "" for a missing member
  std::string string;
  bool boolean;
  double number;
};

TEST(JSON, TypedReadersFollowTheLenientRules) {
  const ReaderCase cases[] = {
      {R"({"v":"text"})", "text", false, 0},
      {R"({"v":"YES"})", "YES", true, 0},
      {R"({"v":"1"})", "1", true, 1},
      {R"({"v":"2"})", "2", false, 2},
      {R"({"v":"12.5"})", "12.5", false, 12.5},
      {R"({"v":"12abc"})", "12abc", false, 0},
      {R"({"v":"1e3"})", "1e3", false, 1000},
      // Text that is no finite decimal number, however a number reader might take it.
      {R"({"v":"nan"})", "nan", false, 0},
      {R"({"v":"inf"})", "inf", false, 0},
      {R"({"v":"1e999"})", "1e999", false, 0},
      {R"({"v":"0x10"})", "0x10", false, 0},
      {R"({"v":""})", "", false, 0},
      {R"({"v":0.5})", "0.5", true, 0.5},
      {R"({"v":12.0})", "12", true, 12},
      {R"({"v":9007199254740993})", "9007199254740993", true, 9007199254740993.0},
      {R"({"v":-42})", "-42", true, -42},
      {R"({"v":true})", "true", true, 1},
      {R"({"v":null})", "", false, 0},
      {R"({"v":[1,2]})", "", false, 0},
      {R"({})", "", false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.document);
    const JSON value = JSON::Parse(c.document)["v"];
    EXPECT_EQ(value.stringValue(), c.string);
    EXPECT_EQ(value.boolValue(), c.boolean);
    EXPECT_DOUBLE_EQ(value.numberValue(), c.number);
  }
  EXPECT_EQ(JSON::Parse(R"({"v":9007199254740993})")["v"].int64Value(), 9007199254740993LL);
  EXPECT_EQ(JSON(std::numeric_limits<double>::quiet_NaN()).int64Value(), 0);  // no undefined cast
  EXPECT_EQ(JSON(std::numeric_limits<double>::infinity()).numberValue(), 0);
}

TEST(JSON, BytesThatAreNotADocumentReadAsNullAndFailedLookupsKeepTheFirstReason) {
  for (const char* bytes : {"", "not json", "{\"a\":", "\"just a string\"", "42", "true", "null",
                            "<html>error</html>"}) {
    SCOPED_TRACE(bytes);
    const JSON value = JSON::Parse(bytes);
    EXPECT_EQ(value.type(), JSON::Type::null);
    EXPECT_EQ(value.stringValue(), "");
    EXPECT_FALSE(value.array().has_value());
  }
  // (The JSON fuzz target's replay checks each kind of failed lookup on its seeds.)
  const JSON document = JSON::Parse(R"({"list":[10,20]})");
  EXPECT_EQ(document["nope"]["deeper"][3].error(), JSONError::notExist);
  EXPECT_EQ(document["list"][2]["x"].error(), JSONError::indexOutOfBounds);
}

// Copying and serialising recurse once per level, so a document may nest at most MaxDepth deep;
// anything deeper never gets past the parser.
TEST(JSON, DocumentsNestedDeeperThanTheBoundReadAsNull) {
  const auto arrays = [](std::size_t depth) {
    return std::string(depth, '[') + std::string(depth, ']');
  };
  const struct {
    const char* what;
    std::string bytes;
    bool parses;
  } cases[] = {
      {"256 arrays", arrays(256), true},
      {"257 arrays", arrays(257), false},
      {"100,000 arrays", arrays(100000), false},
      {"an object around 256 arrays", R"({"a":)" + arrays(256) + "}", false},
      {"brackets inside a string", R"({"s":"\"[[[)" + std::string(300, '{') + R"("})", true},
      {"a string ending in a backslash", R"({"s":"\\","a":)" + arrays(256) + "}", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const JSON value = JSON::Parse(c.bytes);
    EXPECT_EQ(value.type() != JSON::Type::null, c.parses);
    EXPECT_EQ(value.rawData(), JSON(value).rawData());  // copies and serialises
  }
}

TEST(JSON, RequestBodiesSerializeCompactlyAndNeverHalfWritten) {
  const JSON body{{"name", "Summer & 'friends'"},
                  {"count", 3},
                  {"isDownloadEnabled", 1},
                  {"files", std::vector<JSON>{JSON{{"name", "a.jpg"}}}}};
  EXPECT_EQ(body.rawData().value(),
            R"({"count":3,"files":[{"name":"a.jpg"}],"isDownloadEnabled":1,)"
            R"("name":"Summer & 'friends'"})");
  // Pretty by default, as usage records are queued: two spaces a level, one member a line.
  EXPECT_EQ((JSON{{"files", body["files"]}}.rawString()),
            "{\n  \"files\": [\n    {\n      \"name\": \"a.jpg\"\n    }\n  ]\n}");
  EXPECT_EQ(JSON::Parse(*body.rawData()), body);
  // (The JSON fuzz target's replay checks the output of parsed strings, numbers and null.)
  EXPECT_EQ(JSON(false).rawString(), "false");
  EXPECT_FALSE(JSON("text").rawData().has_value());  // not a document
  // Text that is not UTF-8 cannot be serialized; nothing half-written comes out.
  const JSON broken{{"name", std::string("\xff\xfe")}};
  EXPECT_FALSE(broken.rawData().has_value());
  EXPECT_FALSE(broken.rawString().has_value());
}

}  // namespace
}  // namespace vorelia
