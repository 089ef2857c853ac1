// The proofing page's rating form refuses what a client's browser would never send there; ratings
// that go through are driven by the plugin's end-to-end tests.
#include <gtest/gtest.h>

#include "sandbox_fixture.h"

namespace vorelia::sandbox::testing {
namespace {

class SandboxProofing : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    seedUser("bob@example.test", "pw", {"ann-studio", "bob-studio"});
    token_ = tokenFor("bob@example.test");
    // Only the first album is shared; the others hold items the link must not reach.
    const struct {
      std::string account;
      std::vector<std::string> ids;
    } albums[] = {
        {"ann-studio", {"p1", "p 2/+"}}, {"ann-studio", {"hidden"}}, {"bob-studio", {"bob-1"}}};
    std::string shared;
    for (const auto& [account, ids] : albums) {
      nlohmann::json items = nlohmann::json::array();
      for (const auto& id : ids) items.push_back({{"id", id}, {"name", id + ".jpg"}});
      const auto album = adminOk("POST", "/admin/albums",
                                 {{"account", account}, {"name", ids[0]}, {"items", items}});
      if (shared.empty()) shared = album["id"];
    }
    const std::string url =
        json(send("POST", "/api/ann-studio/shares",
                  R"({"containers":[{"id":")" + shared + R"("}]})", bearer(token_)))["url"];
    code_ = url.substr(url.rfind('/') + 1);
  }

  httplib::Result rate(const std::string& body, const std::string& path = "",
                       const std::string& type = "application/x-www-form-urlencoded") const {
    return send("POST", path.empty() ? "/p/" + code_ + "/rate" : path, body, {}, type);
  }
  // Both accounts' albums, expanded as the plugin lists them.
  nlohmann::json albums() const {
    return {json(get("/api/ann-studio/containers/?$expand", bearer(token_)))["value"],
            json(get("/api/bob-studio/containers/?$expand", bearer(token_)))["value"]};
  }

  std::string token_;
  std::string code_;
};

TEST_F(SandboxProofing, RefusedRatingsChangeNothing) {
  ASSERT_EQ(rate("item=p1&rating=pick")->status, 303);
  const auto before = albums();
  const struct {
    std::string body, path, type;
    int status;
  } cases[] = {{"item=p1&rating=1", "/p/NoSuchCode/rate", "", 404},
               {"item=p1&rating=1", "/a/" + code_ + "/rate", "", 404},
               {"item=hidden&rating=1", "", "", 404},
               {"item=bob-1&rating=1", "", "", 404},
               {"item=p1.jpg&rating=1", "", "", 404},
               {"item=p1", "", "", 400},
               {"item=p1&rating=6", "", "", 400},
               {"rating=clear", "", "", 400},
               {R"({"item":"p1","rating":"clear"})", "", "application/json", 415}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path + " " + c.body);
    const auto answer = c.type.empty() ? rate(c.body, c.path) : rate(c.body, c.path, c.type);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status);
    EXPECT_TRUE(json(answer).contains("message")) << answer->body;
  }
  EXPECT_EQ(albums(), before);
}

}  // namespace
}  // namespace vorelia::sandbox::testing
