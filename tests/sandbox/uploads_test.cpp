// Blob writes the plugin never makes: under a wrong, foreign or expired signature (of an upload or
// a vision), and cut off half way; the plugin's publishing tests drive the writes that succeed.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <future>

#include "sandbox_fixture.h"
#include "support/test_bytes.h"
#include "support/wait.h"

namespace vorelia::sandbox::testing {
namespace {

using vorelia::testing::waitUntil;

class SandboxUploads : public SandboxTest {
 protected:
  void SetUp() override {
    ServerOptions options;
    options.payloadLimit = 64 * 1024;  // blobs must not go through the JSON body path
    start(std::move(options));
    seedUser("ann@example.test", "pw", {"ann-studio"});
    token_ = tokenFor("ann@example.test");
    albumId_ =
        adminOk("POST", "/admin/albums", {{"account", "ann-studio"}, {"name", "Trip"}})["id"];
  }

  nlohmann::json reserve(const nlohmann::json& files) const {
    return json(send("PUT", "/api/ann-studio/containers/" + albumId_ + "/inituploadresources",
                     nlohmann::json{{"value", files}}.dump(), bearer(token_)));
  }
  // The blob path of a resource and its signature query, relative to the server.
  static std::string blobTarget(const nlohmann::json& reservation, const nlohmann::json& resource) {
    const std::string storage = reservation["storageUrl"];
    const std::string path = storage.substr(storage.find("/blob/"));
    return path + resource["id"].get<std::string>() + "-o/" + resource["name"].get<std::string>();
  }
  // The blob path of resource number index with its own signature.
  static std::string signedTarget(const nlohmann::json& reservation, std::size_t index = 0) {
    const auto& resource = reservation["value"][index];
    return blobTarget(reservation, resource) + resource["sas"].get<std::string>();
  }
  httplib::Result putBlob(const std::string& target, const std::string& body,
                          bool blockBlob = true) const {
    httplib::Headers headers;
    if (blockBlob) headers.emplace("x-ms-blob-type", "BlockBlob");
    return client().Put(target, headers, body, "application/octet-stream");
  }
  httplib::Result encode(const nlohmann::json& resource) const {
    return send("PUT", "/api/ann-studio/encode", resource.dump(), bearer(token_));
  }
  nlohmann::json poll(const std::vector<std::string>& ids) const {
    return json(send("POST", "/api/anonymous/longpollingstates",
                     nlohmann::json{{"value", ids}}.dump(), bearer(token_)));
  }
  nlohmann::json blobs() const { return adminOk("GET", "/admin/blobs?sha256")["blobs"]; }
  std::size_t partFiles() const {
    std::size_t count = 0;
    for (const auto& entry : std::filesystem::directory_iterator(server_->dataFolder() / "blobs")) {
      count += entry.path().extension() == ".part";
    }
    return count;
  }

  std::string token_;
  std::string albumId_;
};

TEST_F(SandboxUploads, BlobWritesNeedTheSignatureOfThatBlobAndNothingElseIsStored) {
  const auto reservation =
      reserve({{{"name", "a.jpg"}, {"size", 5}}, {{"name", "b.jpg"}, {"size", 5}}});
  ASSERT_EQ(reservation["value"].size(), 2u) << reservation;
  const auto& a = reservation["value"][0];
  const std::string aPath = blobTarget(reservation, a);
  const std::string aSas = a["sas"];
  std::string tampered = aSas;
  tampered.back() = tampered.back() == '0' ? '1' : '0';
  // A vision's blob: storage URL + vision id + "/" + name, under the vision's own signature.
  const auto vision = [&] {
    return json(send("PUT", "/api/ann-studio/visions", "", bearer(token_)));
  };
  const auto first = vision();
  const std::string visionPath =
      first["storageUrl"].get<std::string>().substr(server_->url().size()) +
      first["id"].get<std::string>() + "/a.jpg";

  struct Case {
    const char* name;
    std::string target;
    bool blockBlob;
    int status;
  };
  const Case refused[] = {
      {"tampered signature", aPath + tampered, true, 403},
      {"signature of another blob", blobTarget(reservation, reservation["value"][1]) + aSas, true,
       403},
      {"no signature", aPath, true, 403},
      {"permissions widened", aPath + aSas + "&sp=rcw", true, 403},
      {"not a block blob", aPath + aSas, false, 400},
      {"climbing out", "/blob/uploads/..%2F..%2Fetc" + aSas, true, 400},
      {"another vision's signature", visionPath + vision()["uploadSas"].get<std::string>(), true,
       403},
      {"vision without signature", visionPath, true, 403},
  };
  for (const Case& c : refused) {
    const auto result = putBlob(c.target, "bytes", c.blockBlob);
    ASSERT_TRUE(result) << c.name;
    EXPECT_EQ(result->status, c.status) << c.name << ": " << result->body;
  }
  // Past its expiry the right signature is refused too.
  advanceClock(std::chrono::hours(5));
  EXPECT_EQ(putBlob(aPath + aSas, "bytes")->status, 403);
  EXPECT_EQ(putBlob(visionPath + first["uploadSas"].get<std::string>(), "bytes")->status, 403);
  EXPECT_TRUE(blobs().empty());
}

TEST_F(SandboxUploads, LargeBodiesStreamToDiskAndHalfBodiesLeaveNoBlob) {
  constexpr std::size_t kSize = 3 * 1024 * 1024;  // far over the JSON body limit
  const auto reservation = reserve({{{"name", "big.jpg"}, {"size", kSize}}});
  const std::string target = signedTarget(reservation);

  // A client that announces 1000 bytes, sends 400 and goes away.
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(server_->port()));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  const std::string head = "PUT " + target +
                           " HTTP/1.1\r\nHost: x\r\nx-ms-blob-type: BlockBlob\r\n"
                           "Content-Length: 1000\r\n\r\n" +
                           std::string(400, 'x');
  ASSERT_EQ(::write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
  ASSERT_TRUE(waitUntil([&] { return partFiles() == 1; }));
  ::close(fd);
  ASSERT_TRUE(waitUntil([&] { return partFiles() == 0; }));
  EXPECT_TRUE(blobs().empty());
  EXPECT_EQ(encode(reservation["value"][0])->status, 409);  // nothing arrived

  const auto second = reserve({{{"name", "big.jpg"}, {"size", kSize}}});
  const auto stored = putBlob(signedTarget(second), vorelia::testing::generatedBytes(kSize));
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->status, 201) << stored->body;
  const auto listed = blobs();
  ASSERT_EQ(listed.size(), 1u);
  EXPECT_EQ(listed[0]["size"], kSize);
  EXPECT_EQ(listed[0]["sha256"], vorelia::testing::generatedSha256(kSize));
  EXPECT_EQ(partFiles(), 0u);
}

TEST_F(SandboxUploads, QuotaRefusesReservationsAndALongPollIsHeldUntilAChange) {
  adminOk("POST", "/admin/uploads/settings", {{"quotaBytes", 1000}, {"longPollHoldMs", 100}});
  const auto refused = [&](const nlohmann::json& files) {
    const auto answer = reserve(files);
    EXPECT_EQ(answer.value("hasError", false), !answer.value("message", "").empty()) << answer;
    return answer.value("hasError", false);
  };
  EXPECT_TRUE(refused({{{"name", "a.jpg"}, {"size", 600}}, {{"name", "b.jpg"}, {"size", 600}}}));
  EXPECT_TRUE(refused({{{"name", "../x.jpg"}, {"size", 0}}}));
  EXPECT_FALSE(refused({{{"name", "a.jpg"}, {"size", 600}}}));
  EXPECT_TRUE(refused({{{"name", "b.jpg"}, {"size", 600}}}));      // 600 are reserved already
  EXPECT_EQ(poll({"unknown"})["value"], nlohmann::json::array());  // the hold ends

  adminOk("POST", "/admin/uploads/settings",
          {{"quotaBytes", nullptr}, {"longPollHoldMs", 120000}, {"encodingDelayMs", 50}});
  const auto reservation = reserve({{{"name", "b.jpg"}, {"size", 600}}});
  const std::string id = reservation["value"][0]["id"];
  auto held = std::async(std::launch::async, [&] { return poll({id}); });
  ASSERT_TRUE(
      waitUntil([&] { return recorded().back()["path"] == "/api/anonymous/longpollingstates"; }));
  EXPECT_EQ(held.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  ASSERT_EQ(putBlob(signedTarget(reservation), "x")->status, 201);
  ASSERT_EQ(encode(reservation["value"][0])->status, 200);
  // The stage change ends the hold long before its two minutes.
  ASSERT_EQ(held.wait_for(std::chrono::seconds(30)), std::future_status::ready);
  nlohmann::json answer = held.get();
  ASSERT_TRUE(waitUntil([&] {
    if (answer["value"].empty()) answer = poll({id});
    return !answer["value"].empty();
  }));
  EXPECT_EQ(answer["value"], nlohmann::json::array({id}));
}

}  // namespace
}  // namespace vorelia::sandbox::testing
