// The service routes refuse what the plugin never sends: malformed grants and account requests,
// other users' accounts, tokens past their lifetime, blob writes under a wrong or expired
// signature or cut off half way, requests into the update library and the statistics queue that
// must not be served or kept. The plugin's own tests drive the requests that succeed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <future>

#include "sandbox_fixture.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"
#include "support/wait.h"

namespace vorelia::sandbox::testing {
namespace {

namespace fs = std::filesystem;
using vorelia::testing::waitUntil;

class SandboxRoutes : public SandboxTest {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.tokenLifetime = std::chrono::hours(4);
    options.payloadLimit = 64 * 1024;  // blobs must not go through the JSON body path
    options.libraryFolder = library_;
    fs::create_directory(library_);
    std::ofstream(library_ / "details.json") << R"({"version": "0.2.0"})";
    std::ofstream(library_ / ".hidden") << "no";
    std::ofstream(base_ / "secret.txt") << "no";
    start(std::move(options));
    seedUser("ann@example.test", {"ann-studio"});
    token_ = tokenFor("ann@example.test");
    auth_ = bearer(token_);
    albumId_ =
        adminOk("POST", "/admin/albums", {{"account", "ann-studio"}, {"name", "Trip"}})["id"];
  }

  nlohmann::json reserve(const nlohmann::json& files) const {
    return json(send("PUT", "/api/ann-studio/containers/" + albumId_ + "/inituploadresources",
                     nlohmann::json{{"value", files}}.dump(), auth_));
  }
  // The blob path of resource number index, without its signature.
  static std::string blobPath(const nlohmann::json& reservation, std::size_t index = 0) {
    const std::string storage = reservation["storageUrl"];
    const auto& resource = reservation["value"][index];
    return storage.substr(storage.find("/blob/")) + resource["id"].get<std::string>() + "-o/" +
           resource["name"].get<std::string>();
  }
  static std::string signedPath(const nlohmann::json& reservation, std::size_t index = 0) {
    return blobPath(reservation, index) + reservation["value"][index]["sas"].get<std::string>();
  }
  httplib::Result putBlob(const std::string& target, const std::string& body) const {
    return send("PUT", target, body, {{"x-ms-blob-type", "BlockBlob"}}, "application/octet-stream");
  }
  // A new vision and the path of its blob name, unsigned.
  std::pair<nlohmann::json, std::string> vision(const std::string& name = "a.jpg") const {
    const auto created = json(send("PUT", "/api/ann-studio/visions", "", auth_));
    const std::string storage = created["storageUrl"];
    return {created,
            storage.substr(server_->url().size()) + created["id"].get<std::string>() + "/" + name};
  }
  nlohmann::json poll(const std::vector<std::string>& ids) const {
    return json(send("POST", "/api/anonymous/longpollingstates",
                     nlohmann::json{{"value", ids}}.dump(), auth_));
  }
  nlohmann::json blobs() const { return adminOk("GET", "/admin/blobs?sha256")["blobs"]; }
  std::size_t partFiles() const {
    const fs::directory_iterator files(server_->dataFolder() / "blobs");
    return std::count_if(begin(files), end(files),
                         [](const auto& file) { return file.path().extension() == ".part"; });
  }

  void TearDown() override {
    SandboxTest::TearDown();
    fs::remove_all(base_);
  }

  fs::path base_ = vorelia::testing::makeTempDirectory("sandbox-routes");
  fs::path library_ = base_ / "library";
  std::string token_;
  httplib::Headers auth_;
  std::string albumId_;
};

TEST_F(SandboxRoutes, MalformedGrantsAndAccountRequestsAreRefused) {
  const std::string form = "application/x-www-form-urlencoded";
  const std::string user = "grant_type=password&username=ann%40example.test";
  const std::string other = "grant_type=client_credentials&username=a&password=b";
  expectRefused({{"password cut at &", "POST", "/Token", user + "&password=p&w", 400, {}, form},
                 {"no password", "POST", "/Token", user, 400, {}, form},
                 {"another grant", "POST", "/Token", other, 400, {}, form}},
                "error");
  const std::string newUser = R"({"username":"x@example.test","password":"pw"})";
  expectRefused(
      {{"taken in other case", "PUT", "/api/accounts/Ann-Studio", newUser, 409},
       {"user exists", "PUT", "/api/accounts/free-name",
        R"({"username":"ann@example.test","password":"x"})", 403},
       {"not JSON", "PUT", "/api/accounts/free-name", "not json", 400},
       {"no password", "PUT", "/api/accounts/free-name", R"({"username":"x@example.test"})", 400},
       {"name too short", "PUT", "/api/accounts/x", newUser, 400}},
      "hasError");
  for (const char* name : {"ANN-STUDIO", "a", "bad.name"}) {
    EXPECT_EQ(json(get("/api/accounts/" + std::string(name) + "/isvalid"))["isValide"], false);
  }
}

TEST_F(SandboxRoutes, OnlyALiveBearerTokenOfTheAccountsUserPasses) {
  seedUser("bob@example.test", {"bob-studio"});
  const auto with = [](const std::string& authorization) {
    return httplib::Headers{{"Authorization", authorization}};
  };
  const char* credits = "/api/ann-studio/credits";
  expectRefused({{"another scheme", "GET", credits, "", 401, with("Basic " + token_)},
                 {"no token", "GET", credits, "", 401, with("BEARER")},
                 {"no scheme", "GET", credits, "", 401, with(token_)},
                 {"another token", "GET", credits, "", 401, with("BEARER " + token_ + "x")},
                 {"no header", "GET", credits, "", 401},
                 {"another's credits", "GET", "/api/bob-studio/credits", "", 401, auth_},
                 {"another's state", "GET", "/api/Account/bob-studio/State", "", 401, auth_},
                 {"another's albums", "GET", "/api/bob-studio/containers/", "", 401, auth_},
                 {"no such account", "GET", "/api/no-such/credits", "", 401, auth_}},
                "hasError");
  EXPECT_EQ(get("/api/ANN-studio/credits", with("bearer  " + token_))->status, 200);
  // A token ends with its lifetime, when its user's tokens are expired, or when all are revoked.
  advanceClock(std::chrono::hours(4) - std::chrono::seconds(1));
  EXPECT_EQ(get(credits, auth_)->status, 200);
  advanceClock(std::chrono::seconds(1));
  EXPECT_EQ(get(credits, auth_)->status, 401);
  const std::string late = tokenFor("ann@example.test");
  const auto bob = bearer(tokenFor("bob@example.test"));
  adminOk("POST", "/admin/tokens/expire", {{"email", "ann@example.test"}});
  EXPECT_EQ(get(credits, bearer(late))->status, 401);
  EXPECT_EQ(get("/api/bob-studio/credits", bob)->status, 200);
  adminOk("POST", "/admin/tokens/revoke");
  EXPECT_EQ(get("/api/bob-studio/credits", bob)->status, 401);
}

TEST_F(SandboxRoutes, BlobWritesNeedTheSignatureOfThatBlobAndNothingElseIsStored) {
  const auto reservation =
      reserve({{{"name", "a.jpg"}, {"size", 5}}, {{"name", "b.jpg"}, {"size", 5}}});
  ASSERT_EQ(reservation["value"].size(), 2u) << reservation;
  const std::string aPath = blobPath(reservation), aSas = reservation["value"][0]["sas"];
  std::string tampered = aSas;
  tampered.back() = tampered.back() == '0' ? '1' : '0';
  // A vision's blob: storage URL + vision id + "/" + name, under the vision's own signature.
  const auto [first, visionPath] = vision();
  const std::string visionSas = first["uploadSas"];
  const httplib::Headers blockBlob = {{"x-ms-blob-type", "BlockBlob"}};
  const std::string bytes = "application/octet-stream";
  expectRefused({
      {"tampered signature", "PUT", aPath + tampered, "x", 403, blockBlob, bytes},
      {"another blob's signature", "PUT", blobPath(reservation, 1) + aSas, "x", 403, blockBlob,
       bytes},
      {"no signature", "PUT", aPath, "x", 403, blockBlob, bytes},
      {"permissions widened", "PUT", aPath + aSas + "&sp=rcw", "x", 403, blockBlob, bytes},
      {"not a block blob", "PUT", aPath + aSas, "x", 400, {}, bytes},
      {"climbing out", "PUT", "/blob/uploads/..%2F..%2Fetc" + aSas, "x", 400, blockBlob, bytes},
      {"another vision's signature", "PUT",
       visionPath + vision().first["uploadSas"].get<std::string>(), "x", 403, blockBlob, bytes},
      {"vision without signature", "PUT", visionPath, "x", 403, blockBlob, bytes},
  });
  // Past its expiry the right signature is refused too.
  advanceClock(std::chrono::hours(5));
  EXPECT_EQ(putBlob(aPath + aSas, "bytes")->status, 403);
  EXPECT_EQ(putBlob(visionPath + visionSas, "bytes")->status, 403);
  EXPECT_TRUE(blobs().empty());
}

TEST_F(SandboxRoutes, LargeBodiesStreamToDiskAndHalfBodiesLeaveNoBlob) {
  constexpr std::size_t kSize = 3 * 1024 * 1024;  // far over the JSON body limit
  const auto reservation = reserve({{{"name", "big.jpg"}, {"size", kSize}}});
  // A client that announces 1000 bytes, sends 400 and goes away.
  client().Put(
      signedPath(reservation), {{"x-ms-blob-type", "BlockBlob"}}, 1000,
      [&](std::size_t, std::size_t, httplib::DataSink& sink) {
        sink.write(std::string(400, 'x').data(), 400);
        EXPECT_TRUE(waitUntil([&] { return partFiles() == 1; }));
        return false;
      },
      "application/octet-stream");
  ASSERT_TRUE(waitUntil([&] { return partFiles() == 0; }));
  EXPECT_TRUE(blobs().empty());
  EXPECT_EQ(send("PUT", "/api/ann-studio/encode", reservation["value"][0].dump(), auth_)->status,
            409);  // nothing arrived

  const auto second = reserve({{{"name", "big.jpg"}, {"size", kSize}}});
  ASSERT_EQ(putBlob(signedPath(second), vorelia::testing::generatedBytes(kSize))->status, 201);
  const auto listed = blobs();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["size"], kSize);
  EXPECT_EQ(listed[0]["sha256"], vorelia::testing::generatedSha256(kSize));
  EXPECT_EQ(partFiles(), 0u);
}

TEST_F(SandboxRoutes, QuotaAndUnsafeNamesRefuseReservationsAndALongPollIsHeldUntilAChange) {
  adminOk("POST", "/admin/uploads/settings", {{"quotaBytes", 1000}});
  EXPECT_TRUE(reserve({{{"name", "a.jpg"}, {"size", 600}}, {{"name", "b.jpg"}, {"size", 600}}})
                  .value("hasError", false));
  EXPECT_TRUE(reserve({{{"name", "../x.jpg"}, {"size", 0}}}).value("hasError", false));
  EXPECT_FALSE(reserve({{{"name", "a.jpg"}, {"size", 600}}}).value("hasError", false));
  EXPECT_TRUE(reserve({{{"name", "b.jpg"}, {"size", 600}}}).value("hasError", false));  // 600 held
  adminOk("POST", "/admin/uploads/settings",
          {{"quotaBytes", nullptr}, {"longPollHoldMs", 120000}, {"encodingDelayMs", 50}});
  const auto reservation = reserve({{{"name", "b.jpg"}, {"size", 600}}});
  const std::string id = reservation["value"][0]["id"];
  auto held = std::async(std::launch::async, [&] { return poll({id}); });
  ASSERT_TRUE(
      waitUntil([&] { return recorded().back()["path"] == "/api/anonymous/longpollingstates"; }));
  EXPECT_EQ(held.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  ASSERT_EQ(putBlob(signedPath(reservation), "x")->status, 201);
  ASSERT_EQ(send("PUT", "/api/ann-studio/encode", reservation["value"][0].dump(), auth_)->status,
            200);
  // The stage change ends the hold long before its two minutes.
  ASSERT_EQ(held.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  nlohmann::json answer = held.get();
  ASSERT_TRUE(waitUntil([&] {
    if (answer["value"].empty()) answer = poll({id});
    return !answer["value"].empty();
  }));
  EXPECT_EQ(answer["value"], nlohmann::json::array({id}));
}

// The proofing page rates only the items of the shared album, and only as a browser's form would.
TEST_F(SandboxRoutes, RefusedRatingsChangeNothing) {
  seedUser("bob@example.test", {"ann-studio", "bob-studio"});
  const auto bob = bearer(tokenFor("bob@example.test"));
  std::string shared;  // the first album; the others hold items the link must not reach
  for (const auto& [account, id] : std::vector<std::pair<std::string, std::string>>{
           {"ann-studio", "p1"}, {"ann-studio", "hidden"}, {"bob-studio", "bob-1"}}) {
    const nlohmann::json items = {{{"id", id}, {"name", id + ".jpg"}}};
    const auto album =
        adminOk("POST", "/admin/albums", {{"account", account}, {"name", id}, {"items", items}});
    if (shared.empty()) shared = album["id"];
  }
  const std::string url = json(send("POST", "/api/ann-studio/shares",
                                    R"({"containers":[{"id":")" + shared + R"("}]})", bob))["url"];
  const std::string code = url.substr(url.rfind('/') + 1), rate = "/p/" + code + "/rate";
  const std::string form = "application/x-www-form-urlencoded";
  ASSERT_EQ(send("POST", rate, "item=p1&rating=pick", {}, form)->status, 303);
  const auto albums = [&] {
    return nlohmann::json{json(get("/api/ann-studio/containers/?$expand", bob))["value"],
                          json(get("/api/bob-studio/containers/?$expand", bob))["value"]};
  };
  const auto before = albums();
  expectRefused(
      {{"unknown link", "POST", "/p/NoSuchCode/rate", "item=p1&rating=1", 404, {}, form},
       {"a gallery link", "POST", "/a/" + code + "/rate", "item=p1&rating=1", 404, {}, form},
       {"not shared", "POST", rate, "item=hidden&rating=1", 404, {}, form},
       {"another's item", "POST", rate, "item=bob-1&rating=1", 404, {}, form},
       {"a name for an id", "POST", rate, "item=p1.jpg&rating=1", 404, {}, form},
       {"no rating", "POST", rate, "item=p1", 400, {}, form},
       {"rating 6", "POST", rate, "item=p1&rating=6", 400, {}, form},
       {"no item", "POST", rate, "rating=clear", 400, {}, form},
       {"JSON", "POST", rate, R"({"item":"p1","rating":"clear"})", 415}},
      "message");
  EXPECT_EQ(albums(), before);
}

// The update end-to-end test downloads the document and the archive and the main job reads the
// queue back; these are the requests the plugin never makes.
TEST_F(SandboxRoutes, LibraryAndQueueRefuseWhatTheyMustNotServeOrKeep) {
  const std::string queue = adminOk("GET", "/admin/queue")["queuePath"];
  const std::string widened = queue.substr(0, queue.find("&sp=")) + "&sp=raup";
  const std::string forged = queue.substr(0, queue.find("&sig=")) + "&sig=AAAA&st=x&se=y&sp=r";
  const auto message = [](const std::string& text) {
    return "<QueueMessage><MessageText>" + text + "</MessageText></QueueMessage>";
  };
  const std::string xml = "application/xml; charset=utf-8";
  const std::string in = "/libraries/captureone/";
  expectRefused({
      {"another version", "GET", in + "VoreliaCaptureOnePlugin.0.3.0.coplugin.zip", "", 404},
      {"a hidden file", "GET", in + ".hidden", "", 404},
      {"climbing out", "GET", in + "..%2Fsecret.txt", "", 404},
      {"the parent", "GET", in + "%2E%2E", "", 404},
      {"another library", "GET", "/libraries/other/details.json", "", 404},
      {"no signature", "POST", "/statsc1/messages", message("eA=="), 403, {}, xml},
      {"changed permissions", "POST", widened, message("eA=="), 403, {}, xml},
      {"bad signature", "POST", forged, message(""), 403, {}, xml},
      {"not a queue message", "POST", queue, "{\"imageCount\": 3}", 400},
      {"text too long", "POST", queue, message(std::string(65540, 'A')), 413, {}, xml},
  });
  EXPECT_TRUE(adminOk("GET", "/admin/queue")["messages"].empty());
}

}  // namespace
}  // namespace vorelia::sandbox::testing
