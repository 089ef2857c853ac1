#include "api/url_encoding.h"

#include <gtest/gtest.h>

namespace vorelia {
namespace {

TEST(UrlEncoding, FormValuesKeepEveryCharacterOfAPassword) {
  const std::pair<std::string, std::string> cases[] = {
      {"plain", "plain"},   {"a&b=c+d e", "a%26b%3Dc%2Bd+e"}, {"100%", "100%25"},
      {"*-._~", "*-._%7E"}, {"Grüße", "Gr%C3%BC%C3%9Fe"},     {"", ""},
  };
  for (const auto& [text, encoded] : cases) EXPECT_EQ(FormEncode(text), encoded) << text;
}

TEST(UrlEncoding, AlbumPathSegments) {
  const std::pair<std::string, std::string> cases[] = {
      {"Summer2026", "Summer2026"},
      {"Anna & Bob's", "Anna%20%20%20Bob%20s"},
      {"a/b?c#d", "a%2Fb%3Fc%23d"},
      {"Été", "%C3%89t%C3%A9"},
      {"(x)!$*+,-.:;=[]_~", "(x)!$*+,-.:;=[]_~"},
      {"100%", "100%25"},
  };
  for (const auto& [name, segment] : cases) EXPECT_EQ(AlbumPathSegment(name), segment) << name;
}

}  // namespace
}  // namespace vorelia
