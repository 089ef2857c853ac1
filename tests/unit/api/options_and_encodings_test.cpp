// The time-out override and the encodings of the Api's requests: pure functions.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "api/api.h"
#include "api/queue_message.h"
#include "api/reservation.h"
#include "api/url_encoding.h"
#include "support/temp_home.h"

namespace vorelia {
namespace {

using std::chrono::seconds;

// The override only ever shortens, and anything but a whole number from 1 keeps the defaults.
TEST(ApiOptionsTest, TimeoutOverrideShortensBothTimeouts) {
  using std::chrono::milliseconds;
  const struct {
    const char* text;
    milliseconds request, upload;
  } cases[] = {
      {nullptr, seconds(60), seconds(180)},  {"1500", milliseconds(1500), milliseconds(1500)},
      {"120000", seconds(60), seconds(120)}, {"0", seconds(60), seconds(180)},
      {"15s", seconds(60), seconds(180)},    {"99999999999999999999", seconds(60), seconds(180)},
  };
  for (const auto& c : cases) {
    const ApiOptions options = ApiOptions::WithTimeoutOverride(c.text);
    EXPECT_EQ(options.requestTimeout, c.request) << (c.text ? c.text : "(unset)");
    EXPECT_EQ(options.uploadIdleTimeout, c.upload) << (c.text ? c.text : "(unset)");
  }
}

TEST(Encodings, AlbumPathSegmentsAndBase64OfEveryRemainder) {
  const std::pair<std::string, std::string> cases[] = {
      {"Anna & Bob's", "Anna%20%20%20Bob%20s"},
      {"a/b?c#d", "a%2Fb%3Fc%23d"},
      {"Été", "%C3%89t%C3%A9"},
      {"(x)!$*+,-.:;=[]_~", "(x)!$*+,-.:;=[]_~"},
      {"100%", "100%25"},
  };
  for (const auto& [name, segment] : cases) EXPECT_EQ(AlbumPathSegment(name), segment) << name;
  const std::pair<std::string, std::string> base64[] = {
      {"", ""},        {"f", "Zg=="},        {"fo", "Zm8="},
      {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {std::string("\xff\xfe\x00", 3), "//4A"},
  };
  for (const auto& [bytes, text] : base64) EXPECT_EQ(Base64Encode(bytes), text) << text;
}

// Each resource is read as the service sent it, wherever it stands in the answer's file (also
// across the reader's pieces, and once the file is gone from its folder); an answer that is not
// whole, too deep or no dictionary reads as no answer at all, not as the part read before the
// fault.
TEST(Reservation, ReadsEachResourceAsSentAndNothingOfAnAnswerNotWhole) {
  const std::string deep = R"({"value":[)" + std::string(300, '[') + std::string(300, ']') + "]}";
  std::string many = R"({"value":[)";
  std::vector<std::string> manyIds;
  for (int n = 0; n < 9000; ++n) {
    manyIds.push_back(R"({"id":")" + std::to_string(n) + R"("})");
    many += (n ? "," : "") + manyIds.back();
  }
  const auto folder = testing::makeTempDirectory("reservation");
  const struct {
    std::string answer;
    bool hasError;
    std::string message, storageUrl;
    std::vector<std::string> resources;  // compact
  } cases[] = {
      {R"({"hasError":false,"storageUrl":"s/","value":[ {"sas":"?x", "id":"a"} ,7,"r",[{}]],)"
       R"("other":[{"value":1}]})",
       false,
       "",
       "s/",
       {R"({"id":"a","sas":"?x"})", "7", "r", "[{}]"}},
      {R"({"hasError":"true","message":5,"value":{"id":"a"}})", true, "5", "", {}},
      {R"({"value":[{"id":"a"}],"value":[{"id":"b"},{"id":"c"}]})",
       false,
       "",
       "",
       {R"({"id":"b"})", R"({"id":"c"})"}},
      {R"({"value":[{"id":"a"}],"value":null})", false, "", "", {}},
      {R"({"hasError":true,"message":"x","value":[{"id":"a"}])", false, "", "", {}},
      {deep, false, "", "", {}},
      {R"([{"id":"a"}])", false, "", "", {}},
      {many + R"(],"storageUrl":"s/"})", false, "", "s/", manyIds},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.answer.substr(0, 80));
    const auto file = folder / "answer";
    std::ofstream(file, std::ios::binary) << c.answer;
    const Reservation reservation = Reservation::Read(file);
    std::filesystem::remove(file);
    EXPECT_EQ(reservation.hasError, c.hasError);
    EXPECT_EQ(reservation.message, c.message);
    EXPECT_EQ(reservation.storageUrl, c.storageUrl);
    std::vector<std::string> resources;
    for (std::size_t n = 0; n < reservation.size(); ++n) {
      resources.push_back(reservation.resource(n).rawString(false).value_or("?"));
    }
    EXPECT_EQ(resources, c.resources);
  }
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace vorelia
