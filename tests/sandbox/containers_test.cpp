// Containers: list and expand, create-if-not-exists, item order and share links.
#include <gtest/gtest.h>

#include "sandbox_fixture.h"

namespace vorelia::sandbox::testing {
namespace {

class SandboxContainers : public SandboxTest {
 protected:
  void SetUp() override {
    SandboxTest::SetUp();
    seedUser("ann@example.test", "pw", {"ann-studio"});
    token_ = tokenFor("ann@example.test");
  }

  nlohmann::json expanded() const {
    return json(get("/api/ann-studio/containers/?$expand", bearer(token_)))["value"];
  }
  httplib::Result create(const std::string& segment, const std::string& body = "") const {
    return send("PUT", "/api/ann-studio/containers/" + segment, body, bearer(token_));
  }

  std::string token_;
};

std::vector<std::string> names(const nlohmann::json& items) {
  std::vector<std::string> out;
  for (const auto& item : items) out.push_back(item["name"]);
  return out;
}

TEST_F(SandboxContainers, ListCarriesItemsAndRatingsOnlyWhenExpanded) {
  const auto album = adminOk("POST", "/admin/albums",
                             {{"account", "ann-studio"},
                              {"name", "Wedding"},
                              {"items",
                               {{{"name", "a.jpg"}, {"rating", 5}},
                                {{"name", "b.jpg"}},
                                {{"name", "c.jpg"}, {"rating", 0}},
                                {{"name", "d.jpg"}, {"rating", true}}}}});
  adminOk("POST", "/admin/ratings",
          {{"account", "ann-studio"}, {"album", "wedding"}, {"item", "b.jpg"}, {"rating", false}});

  const auto plain = json(get("/api/ann-studio/containers/", bearer(token_)));
  ASSERT_EQ(plain["value"].size(), 1u);
  EXPECT_EQ(plain["value"][0]["id"], album["id"]);
  EXPECT_EQ(plain["value"][0]["name"], "Wedding");
  EXPECT_FALSE(plain["value"][0].contains("value"));

  const auto items = expanded()[0]["value"];
  ASSERT_EQ(items.size(), 4u);
  const nlohmann::json ratings[] = {5, false, 0, true};
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(items[i]["rating"], ratings[i]);
    EXPECT_EQ(items[i]["order"], i);
    EXPECT_TRUE(items[i]["id"].is_string());
  }
  adminOk(
      "POST", "/admin/ratings",
      {{"account", "ann-studio"}, {"album", "Wedding"}, {"item", "a.jpg"}, {"rating", nullptr}});
  EXPECT_FALSE(expanded()[0]["value"][0].contains("rating"));
}

TEST_F(SandboxContainers, CreateIfNotExistsIgnoresLetterCase) {
  const auto first = create("Summer", R"({"name":"Summer"})");
  EXPECT_EQ(first->status, 201);
  const auto again = create("SUMMER", R"({"name":"sUMMER"})");
  EXPECT_EQ(again->status, 200);
  EXPECT_EQ(json(again)["id"], json(first)["id"]);
  EXPECT_EQ(json(again)["name"], "Summer");
  EXPECT_EQ(expanded().size(), 1u);
}

TEST_F(SandboxContainers, PathSegmentIsDecodedAndTheBodyNameWins) {
  struct Case {
    std::string segment;
    std::string body;
    std::string name;
  };
  const Case cases[] = {
      {"Anna%20%20%20Bob%20s", "", "Anna   Bob s"},
      {"Anna%20%20%20Bob%20s", R"({"name":"Anna & Bob's"})", "Anna & Bob's"},
      {"a%2Fb", "", "a/b"},
      {"Caf%C3%A9+1", "{}", "Café+1"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.segment + " " + c.body);
    const auto result = create(c.segment, c.body);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 201);
    EXPECT_EQ(json(result)["name"], c.name);
  }
  EXPECT_EQ(names(expanded()),
            (std::vector<std::string>{"Anna   Bob s", "Anna & Bob's", "a/b", "Café+1"}));
}

TEST_F(SandboxContainers, SynchronizeSetsTheOrderThatExpandShows) {
  const auto album = adminOk("POST", "/admin/albums",
                             {{"account", "ann-studio"},
                              {"name", "Trip"},
                              {"items",
                               {{{"id", "x"}, {"name", "x.jpg"}},
                                {{"id", "y"}, {"name", "y.jpg"}},
                                {{"id", "z"}, {"name", "z.jpg"}}}}});
  const std::string path =
      "/api/ann-studio/containers/" + album["id"].get<std::string>() + "/$synchronize";
  const auto done = send(
      "POST", path, R"({"value":[{"id":"z","order":0},{"id":"x","order":1},{"id":"y","order":2}]})",
      bearer(token_));
  EXPECT_EQ(done->status, 200);
  EXPECT_EQ(json(done), nlohmann::json({{"hasError", false}}));
  EXPECT_EQ(names(expanded()[0]["value"]), (std::vector<std::string>{"z.jpg", "x.jpg", "y.jpg"}));

  const std::string refused[] = {R"({"value":[{"id":"x","order":5},{"id":"nope","order":0}]})",
                                 R"({"value":[{"id":"x"}]})", R"({"items":[]})", "[]"};
  for (const std::string& body : refused) {
    SCOPED_TRACE(body);
    const auto result = send("POST", path, body, bearer(token_));
    EXPECT_EQ(result->status, 400);
    EXPECT_EQ(json(result)["hasError"], true);
  }
  EXPECT_EQ(names(expanded()[0]["value"]), (std::vector<std::string>{"z.jpg", "x.jpg", "y.jpg"}));
  EXPECT_EQ(send("POST", "/api/ann-studio/containers/nope/$synchronize", R"({"value":[]})",
                 bearer(token_))
                ->status,
            404);
}

TEST_F(SandboxContainers, ShareAnswersAStableUrlUnderTheWebAddress) {
  ServerOptions options;
  options.webUrl = "https://web.example.test/";
  start(options);
  seedUser("ann@example.test", "pw", {"ann-studio"});
  token_ = tokenFor("ann@example.test");
  const std::string id = json(create("Gallery"))["id"];
  const std::string body = R"({"containers":[{"id":")" + id + R"("}],"isDownloadEnabled":1})";

  const auto shared = json(send("POST", "/api/ann-studio/shares", body, bearer(token_)));
  const std::string url = shared["url"];
  EXPECT_TRUE(url.starts_with("https://web.example.test/a/") && url.size() > 27) << url;
  EXPECT_EQ(json(send("POST", "/api/ann-studio/shares", body, bearer(token_)))["url"], url);

  const auto unknown =
      send("POST", "/api/ann-studio/shares",
           R"({"containers":[{"id":"nope"}],"isDownloadEnabled":0})", bearer(token_));
  EXPECT_EQ(unknown->status, 404);
  EXPECT_EQ(send("POST", "/api/ann-studio/shares", R"({"containers":[]})", bearer(token_))->status,
            400);
}

}  // namespace
}  // namespace vorelia::sandbox::testing
