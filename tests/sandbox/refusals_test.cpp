// What vorelia-sandbox refuses though the plugin never sends it; its other users drive the rest.
#include <gtest/gtest.h>
#include <httplib.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <nlohmann/json.hpp>

#include "sandbox/server.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia::sandbox::testing {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kForm = "application/x-www-form-urlencoded", kBytes = "application/octet-stream";
const httplib::Headers kBlockBlob = {{"x-ms-blob-type", "BlockBlob"}};

struct Refusal {  // a request and the status it must get
  std::string what, method, path, body;
  int status;
  httplib::Headers headers = {};
  std::string type = "application/json";
};

// A server inside the test program with a clock the test moves and an update library; two users,
// ann (whose token the tests hold) and bob, each with an album holding one item, "ann-1", "bob-1".
class SandboxRefuses : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directory(library_);
    std::ofstream(library_ / "details.json") << R"({"version": "0.2.0"})";
    std::ofstream(library_ / ".hidden") << "no";
    std::ofstream(home_.path() / "secret.txt") << "no";
    ServerOptions options;
    options.libraryFolder = library_;
    options.now = [this] { return SystemClock::time_point(std::chrono::seconds(seconds_.load())); };
    server_ = std::make_unique<Server>(std::move(options));
    ASSERT_EQ(server_->start(), std::nullopt);
    for (const std::string who : {"bob", "ann"}) {
      const std::string email = who + "@example.test", account = who + "-studio";
      admin("POST", "/admin/users",
            {{"email", email}, {"password", "pw"}, {"accounts", {account}}});
      const json items = {{{"id", who + "-1"}, {"name", who + ".jpg"}}};
      albumId_ = admin("POST", "/admin/albums",
                       {{"account", account}, {"name", "Trip"}, {"items", items}})["id"];
    }
    token_ = admin("POST", "/admin/tokens", {{"email", "ann@example.test"}})["access_token"];
    auth_ = {{"Authorization", "BEARER " + token_}};
  }

  // One connection per call; the path goes out as written (no escaping by the client).
  httplib::Result send(const std::string& method, const std::string& path,
                       const std::string& body = "", const httplib::Headers& headers = {},
                       const std::string& type = "application/json") const {
    httplib::Client client("127.0.0.1", server_->port());
    client.set_url_encode(false);
    if (method == "GET") return client.Get(path, headers);
    if (method == "PUT") return client.Put(path, headers, body, type);
    if (method == "DELETE") return client.Delete(path, headers);
    return client.Post(path, headers, body, type);
  }
  // The JSON body of a call that must succeed.
  json admin(const std::string& method, const std::string& path, const json& body = {},
             const httplib::Headers& headers = {}) const {
    const auto result = send(method, path, body.is_null() ? "" : body.dump(), headers);
    EXPECT_TRUE(result && result->status / 100 == 2) << method << " " << path;
    return result ? json::parse(result->body, nullptr, false) : json();
  }
  // Sends each request and checks its status, and that nothing the sandbox keeps has changed.
  void expectRefused(const std::vector<Refusal>& cases) const {
    const auto kept = [this] {
      return json{admin("GET", "/admin/state"), admin("GET", "/admin/queue")["messages"],
                  admin("GET", "/admin/faults"), admin("GET", "/admin/blobs")};
    };
    const json before = kept();
    for (const Refusal& c : cases) {
      SCOPED_TRACE(c.what + ": " + c.method + " " + c.path.substr(0, 200));
      const auto result = send(c.method, c.path, c.body, c.headers, c.type);
      EXPECT_EQ(result ? result->status : 0, c.status) << (result ? result->body : "");
    }
    EXPECT_EQ(kept(), before);
  }

  vorelia::testing::TempHome home_;
  fs::path library_ = home_.path() / "library";
  std::atomic<long long> seconds_{1'700'000'000};
  std::unique_ptr<Server> server_;
  std::string albumId_, token_;  // ann's
  httplib::Headers auth_;
};

TEST_F(SandboxRefuses, GrantsAccountsAndTokensThatAreNotTheUsers) {
  const std::string user = "grant_type=password&username=ann%40example.test";
  const std::string other = "grant_type=client_credentials&username=a&password=b";
  const std::string newUser = R"({"username":"x@example.test","password":"pw"})";
  const std::string credits = "/api/ann-studio/credits", free = "/api/accounts/free-name";
  expectRefused({
      {"password cut at &", "POST", "/Token", user + "&password=p&w", 400, {}, kForm},
      {"no password", "POST", "/Token", user, 400, {}, kForm},
      {"bad escapes", "POST", "/Token", user + "&password=%zz%4%", 400, {}, kForm},
      {"another grant", "POST", "/Token", other, 400, {}, kForm},
      {"taken in other case", "PUT", "/api/accounts/Ann-Studio", newUser, 409},
      {"user exists", "PUT", free, R"({"username":"ann@example.test","password":"x"})", 403},
      {"not JSON", "PUT", free, "not json", 400},
      {"no password", "PUT", free, R"({"username":"x@example.test"})", 400},
      {"name too short", "PUT", "/api/accounts/x", newUser, 400},
      {"another scheme", "GET", credits, "", 401, {{"Authorization", "Basic " + token_}}},
      {"no token", "GET", credits, "", 401, {{"Authorization", "BEARER"}}},
      {"another token", "GET", credits, "", 401, {{"Authorization", "BEARER " + token_ + "x"}}},
      {"no header", "GET", credits, "", 401},
      {"another's credits", "GET", "/api/bob-studio/credits", "", 401, auth_},
      {"another's state", "GET", "/api/Account/bob-studio/State", "", 401, auth_},
      {"another's albums", "GET", "/api/bob-studio/containers/", "", 401, auth_},
      {"no such account", "GET", "/api/no-such/credits", "", 401, auth_},
  });
}

TEST_F(SandboxRefuses, BlobsAreStoredOnlyWholeUnderTheirOwnSignatureAndInTime) {
  const std::string reserve = "/api/ann-studio/containers/" + albumId_ + "/inituploadresources";
  const auto files = [](std::string n) { return json{{"value", {{{"name", n}, {"size", 1000}}}}}; };
  // A blob's path, unsigned: the storage URL's path, a reservation's or a vision's id, a tail.
  const auto path = [&](const json& url, const json& id, const std::string& tail) {
    return url.get<std::string>().substr(server_->url().size()) + id.get<std::string>() + tail;
  };
  const json a = admin("PUT", reserve, files("a.jpg"), auth_), r = a["value"][0];
  const std::string aPath = path(a["storageUrl"], r["id"], "-o/a.jpg"), aSas = r["sas"];
  const std::string bSas = admin("PUT", reserve, files("b.jpg"), auth_)["value"][0]["sas"];

  // A client that announces 1000 bytes, sends 400 and goes away leaves no blob behind.
  const fs::path folder = server_->dataFolder() / "blobs";
  httplib::Client client("127.0.0.1", server_->port());
  client.set_url_encode(false);
  client.Put(
      aPath + aSas, kBlockBlob, 1000,
      [&](std::size_t, std::size_t, httplib::DataSink& sink) {
        sink.write(std::string(400, 'x').data(), 400);
        EXPECT_TRUE(vorelia::testing::waitUntil([&] { return !fs::is_empty(folder); }));
        return false;
      },
      kBytes);
  ASSERT_TRUE(vorelia::testing::waitUntil([&] { return fs::is_empty(folder); }));
  EXPECT_TRUE(admin("GET", "/admin/blobs")["blobs"].empty());

  const std::string tampered = aSas.substr(0, aSas.size() - 1) + (aSas.back() == '0' ? '1' : '0');
  const json v = admin("PUT", "/api/ann-studio/visions", nullptr, auth_);
  const std::string vPath = path(v["storageUrl"], v["id"], "/a.jpg"), vSas = v["uploadSas"];
  const std::string otherSas = admin("PUT", "/api/ann-studio/visions", nullptr, auth_)["uploadSas"];
  expectRefused({
      {"encoding what never arrived", "PUT", "/api/ann-studio/encode", r.dump(), 409, auth_},
      {"a name climbing out", "PUT", reserve, files("../x.jpg").dump(), 400, auth_},
      {"a backslash", "PUT", reserve, files("a\\b.jpg").dump(), 400, auth_},
      {"the parent", "PUT", reserve, files("..").dump(), 400, auth_},
      {"tampered signature", "PUT", aPath + tampered, "x", 403, kBlockBlob, kBytes},
      {"another blob's signature", "PUT", aPath + bSas, "x", 403, kBlockBlob, kBytes},
      {"no signature", "PUT", aPath, "x", 403, kBlockBlob, kBytes},
      {"permissions widened", "PUT", aPath + aSas + "&sp=rcw", "x", 403, kBlockBlob, kBytes},
      {"not a block blob", "PUT", aPath + aSas, "x", 400, {}, kBytes},
      {"climbing out", "PUT", "/blob/uploads/..%2F..%2Fetc" + aSas, "x", 400, kBlockBlob, kBytes},
      {"another vision's signature", "PUT", vPath + otherSas, "x", 403, kBlockBlob, kBytes},
      {"vision without signature", "PUT", vPath, "x", 403, kBlockBlob, kBytes},
  });
  // Past their lifetimes the signatures and the token are refused.
  seconds_ += std::chrono::seconds(std::chrono::days(15)).count();
  expectRefused({{"expired blob", "PUT", aPath + aSas, "x", 403, kBlockBlob, kBytes},
                 {"expired vision", "PUT", vPath + vSas, "x", 403, kBlockBlob, kBytes},
                 {"expired token", "GET", "/api/ann-studio/credits", "", 401, auth_}});
}

// The library serves only its files, the queue only signed messages; a fault rule is refused unless
// it can be applied as written, and then it strikes: the fault matrix cannot tell.
TEST_F(SandboxRefuses, LibraryQueueAndFaultRulesTakeNothingElse) {
  const std::string queue = admin("GET", "/admin/queue")["queuePath"];
  const std::string widened = queue.substr(0, queue.find("&sp=")) + "&sp=raup";
  const std::string forged = queue.substr(0, queue.find("&sig=")) + "&sig=AAAA&st=x&se=y&sp=r";
  const std::string open = "<QueueMessage><MessageText>", close = "</MessageText></QueueMessage>";
  const std::string xml = "application/xml; charset=utf-8", in = "/libraries/captureone/";
  const std::string faults = "/admin/faults", at = R"({"path":"/api/*/credits",)";
  expectRefused({
      {"another version", "GET", in + "VoreliaCaptureOnePlugin.0.3.0.coplugin.zip", "", 404},
      {"a hidden file", "GET", in + ".hidden", "", 404},
      {"climbing out", "GET", in + "..%2Fsecret.txt", "", 404},
      {"the parent", "GET", in + "%2E%2E", "", 404},
      {"another library", "GET", "/libraries/other/details.json", "", 404},
      {"no signature", "POST", "/statsc1/messages", open + "eA==" + close, 403, {}, xml},
      {"changed permissions", "POST", widened, open + "eA==" + close, 403, {}, xml},
      {"bad signature", "POST", forged, open + close, 403, {}, xml},
      {"not a queue message", "POST", queue, "{\"imageCount\": 3}", 400},
      {"text too long", "POST", queue, open + std::string(65540, 'A') + close, 413, {}, xml},
      {"fault without a path", "POST", faults, R"({"status":500})", 400},
      {"status 99", "POST", faults, at + R"("status":99})", 400},
      {"negative delay", "POST", faults, at + R"("delayMs":-1})", 400},
      {"no count", "POST", faults, at + R"("count":0})", 400},
      {"drop not a flag", "POST", faults, at + R"("drop":"yes"})", 400},
      {"type not text", "POST", faults, at + R"("body":"x","contentType":5})", 400},
      {"drop and garbage", "POST", faults, at + R"("drop":true,"garbage":true})", 400},
  });
  for (const std::string rule : {R"("body":"held")", R"("garbage":true)", R"("drop":true)"}) {
    admin("POST", faults, json::parse(at + rule + R"(,"count":1})"));
    const auto hit = send("GET", "/api/ann-studio/credits", "", auth_);
    EXPECT_TRUE(!hit || json::parse(hit->body, nullptr, false).is_discarded()) << rule;
    const auto again = send("GET", "/api/ann-studio/credits", "", auth_);  // the rule struck once
    EXPECT_TRUE(again && again->status == 200) << rule;
  }
  // A stall holds the request until its rule goes, then lets it through.
  admin("POST", faults, json::parse(at + R"("stall":true})"));
  auto held =
      std::async(std::launch::async, [&] { return send("GET", "/api/ann-studio/credits"); });
  EXPECT_EQ(held.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
  admin("DELETE", faults);
  EXPECT_EQ(held.get()->status, 401);  // no token: the route answered
  // The admin interface asks for no credentials: nothing off this machine may reach it.
  for (const char* host : {"0.0.0.0", "::", "128.0.0.1", "::ffff:127.0.0.1", "example.com", ""}) {
    EXPECT_EQ(loopbackBindAddress(host), std::nullopt) << host;
  }
}

}  // namespace
}  // namespace vorelia::sandbox::testing
