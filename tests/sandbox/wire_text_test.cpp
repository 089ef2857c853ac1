// The text-level helpers under the routes: decoding, fault patterns, loopback hosts.
#include <gtest/gtest.h>

#include "sandbox/faults.h"
#include "sandbox/http_util.h"
#include "sandbox/server.h"

namespace vorelia::sandbox {
namespace {

// Well-formed forms and paths are decoded on every request of the plugin's tests; these are not.
TEST(SandboxWireText, MalformedEscapesAndEmptyPairsAreKept) {
  EXPECT_EQ(parseForm("p=%zz%4%&&flag"),
            (std::vector<std::pair<std::string, std::string>>{{"p", "%zz%4%"}, {"flag", ""}}));
  EXPECT_EQ(percentDecode("a+b%20c", false), "a+b c");
}

TEST(SandboxWireText, FaultPatternsMatchWholePathsIgnoringCase) {
  struct Case {
    std::string pattern, path;
    bool matches;
  };
  const Case cases[] = {
      {"/API/X/Credits", "/api/x/credits", true},
      {"/api/x/credits", "/api/x/credits/", false},
      {"/api/*/credits", "/api/x/credits", true},
      {"/api/*/credits", "/api/x/y/credits", true},
      {"/api/*", "/api/", true},
      {"/api/*", "/apix", false},
      {"/a*b*c", "/aXbYbZc", true},
      {"/a*b*c", "/aXbYbZ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern + " " + c.path);
    EXPECT_EQ(globMatches(c.pattern, c.path), c.matches);
  }
}

TEST(SandboxWireText, OnlyLoopbackHostsAreBound) {
  struct Case {
    std::string host;
    std::optional<std::string> address;
  };
  const Case cases[] = {
      {"127.9.8.7", "127.9.8.7"},
      {"localhost", "127.0.0.1"},
      {"LocalHost", "127.0.0.1"},
      {"::1", "::1"},
      {"[::1]", "::1"},
      {"0.0.0.0", std::nullopt},
      {"::", std::nullopt},
      {"128.0.0.1", std::nullopt},
      {"::ffff:127.0.0.1", std::nullopt},
      {"example.com", std::nullopt},
      {"", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(loopbackBindAddress(c.host), c.address);
  }
}

}  // namespace
}  // namespace vorelia::sandbox
