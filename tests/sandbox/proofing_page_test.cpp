// The proofing page: a client rates the shared album's images with a plain form, and the ratings
// reach the photographer's expanded container list; the gallery page takes no ratings.
#include <gtest/gtest.h>

#include <filesystem>

#include "sandbox_fixture.h"
#include "support/temp_home.h"

namespace vorelia::sandbox::testing {
namespace {

std::size_t count(const std::string& text, const std::string& part) {
  std::size_t found = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

class SandboxProofing : public SandboxTest {
 protected:
  void SetUp() override {
    folder_ = vorelia::testing::makeTempDirectory("sandbox-proofing");
    ServerOptions options;
    options.stateFile = folder_ / "state.json";
    start(options);
    seedUser("ann@example.test", "pw", {"ann-studio"});
    seedUser("bob@example.test", "pw", {"bob-studio"});
    token_ = tokenFor("ann@example.test");
    const auto album = [this](const std::string& account, const std::string& name,
                              const std::vector<std::string>& ids) {
      nlohmann::json items = nlohmann::json::array();
      for (const auto& id : ids) items.push_back({{"id", id}, {"name", id + ".jpg"}});
      return adminOk("POST", "/admin/albums",
                     {{"account", account}, {"name", name}, {"items", items}})["id"];
    };
    const std::string proofs = album("ann-studio", "Proofs", {"p1", "p 2/+", "p3"});
    album("ann-studio", "Private", {"hidden"});
    album("bob-studio", "Bob", {"bob-1"});
    const std::string url =
        json(send("POST", "/api/ann-studio/shares",
                  R"({"containers":[{"id":")" + proofs + R"("}]})", bearer(token_)))["url"];
    code_ = url.substr(url.rfind('/') + 1);
  }
  void TearDown() override {
    SandboxTest::TearDown();
    std::filesystem::remove_all(folder_);
  }

  httplib::Result rate(const std::string& body,
                       const std::string& type = "application/x-www-form-urlencoded",
                       const std::string& path = "") const {
    return send("POST", path.empty() ? "/p/" + code_ + "/rate" : path, body, {}, type);
  }
  // Every album of both accounts, expanded, as the plugin lists them.
  nlohmann::json everything() const {
    return {json(get("/api/ann-studio/containers/?$expand", bearer(token_)))["value"],
            json(get("/api/bob-studio/containers/?$expand",
                     bearer(tokenFor("bob@example.test"))))["value"]};
  }
  nlohmann::json item(const std::string& id) const {
    const auto all = everything();
    for (const auto& entry : all[0][0]["value"]) {
      if (entry["id"] == id) return entry;
    }
    return nullptr;
  }

  std::filesystem::path folder_;
  std::string token_;
  std::string code_;
};

TEST_F(SandboxProofing, EachFormValueBecomesTheItemsRating) {
  struct Case {
    std::string body;
    std::string id;
    nlohmann::json rating;  // null: no "rating" in the list
  };
  const Case cases[] = {
      {"item=p1&rating=1", "p1", 1},           {"rating=5&item=p1", "p1", 5},
      {"item=p+2%2F%2B&rating=3", "p 2/+", 3}, {"item=p3&rating=pick", "p3", true},
      {"item=p3&rating=4", "p3", 4},           {"item=p3&rating=clear", "p3", nullptr},
      {"item=p1&rating=%32", "p1", 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.body);
    const auto answer = rate(c.body, "Application/X-WWW-Form-Urlencoded; charset=UTF-8");
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, 303) << answer->body;
    EXPECT_EQ(answer->get_header_value("Location"), "/p/" + code_);
    const auto listed = item(c.id);
    ASSERT_TRUE(listed.is_object());
    if (c.rating.is_null()) {
      EXPECT_FALSE(listed.contains("rating")) << listed;
    } else {
      EXPECT_EQ(listed["rating"], c.rating);
    }
  }
  EXPECT_EQ(count(get("/p/" + code_)->body, "<p class=\"rating\">Rating: 3 stars</p>"), 1u);

  ServerOptions options;
  options.stateFile = folder_ / "state.json";
  start(options);
  EXPECT_EQ(item("p1")["rating"], 2);
  EXPECT_EQ(item("p 2/+")["rating"], 3);
}

TEST_F(SandboxProofing, RefusedRatingsChangeNothing) {
  ASSERT_EQ(rate("item=p1&rating=pick")->status, 303);
  const auto before = everything();
  struct Case {
    std::string body;
    std::string type;
    std::string path;
    int status;
  };
  const std::string form = "application/x-www-form-urlencoded";
  const Case cases[] = {
      {"item=p1&rating=1", form, "/p/NoSuchCode/rate", 404},
      {"item=p1&rating=1", form, "/a/" + code_ + "/rate", 404},
      {"item=hidden&rating=1", form, "", 404},
      {"item=bob-1&rating=1", form, "", 404},
      {"item=p1.jpg&rating=1", form, "", 404},
      {"item=p1", form, "", 400},
      {"item=p1&rating=", form, "", 400},
      {"item=p1&rating=6", form, "", 400},
      {"item=p1&rating=0", form, "", 400},
      {"item=p1&rating=Pick", form, "", 400},
      {"item=p1&rating=true", form, "", 400},
      {"rating=clear", form, "", 400},
      {R"({"item":"p1","rating":"clear"})", "application/json", "", 415},
      {"item=p1&rating=clear", "text/plain", "", 415},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path + " " + c.type + " " + c.body);
    const auto answer = rate(c.body, c.type, c.path);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->status, c.status);
    EXPECT_FALSE(json(answer)["message"].get<std::string>().empty()) << answer->body;
  }
  EXPECT_EQ(everything(), before);
}

TEST_F(SandboxProofing, OnlyTheProofingPageCarriesAFormPerImage) {
  const auto proofing = get("/p/" + code_);
  const auto gallery = get("/a/" + code_);
  ASSERT_TRUE(proofing && gallery);
  EXPECT_EQ(count(proofing->body, "<form method=\"post\" action=\"/p/" + code_ + "/rate\">"), 3u);
  EXPECT_EQ(count(proofing->body, "<form"), 3u);
  for (const std::string id : {"p1", "p 2/+", "p3"}) {
    EXPECT_EQ(count(proofing->body, "name=\"item\" value=\"" + id + "\""), 1u) << id;
  }
  EXPECT_EQ(count(proofing->body, "<script"), 0u);
  EXPECT_EQ(count(gallery->body, "<form"), 0u);
  EXPECT_EQ(count(gallery->body, "name=\"rating\""), 0u);
}

}  // namespace
}  // namespace vorelia::sandbox::testing
