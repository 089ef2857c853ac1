// Upload and download tasks: bodies streamed from and to files.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <memory>

#include "platform/url_session.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"
#include "support/url_completion_recorder.h"

namespace vorelia::platform {
namespace {

using testing::HttpTestServer;
using testing::URLCallRecorder;

class URLSessionBody : public ::testing::Test {
 protected:
  void TearDown() override { std::filesystem::remove_all(folder_); }

  URLSessionConfiguration configuration() const {
    URLSessionConfiguration configuration;
    configuration.requestTimeout = std::chrono::seconds(20);
    return configuration;
  }

  const std::filesystem::path folder_ = testing::makeTempDirectory("vorelia-body-test");
};

TEST_F(URLSessionBody, UploadStreamsTheFileWithItsLengthAndNothingElse) {
  const struct {
    std::string method;
    std::uint64_t size;
  } cases[] = {{"PUT", 64u << 20}, {"POST", 3u << 20}, {"PATCH", 0}};
  HttpTestServer server({.maxKeptBody = 0});
  server.reply("/blob", {.status = 201, .body = "stored"});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + std::to_string(c.size));
    const auto file = folder_ / "upload.bin";
    ASSERT_TRUE(testing::writeGeneratedFile(file, c.size));
    URLCallRecorder recorder;
    {
      URLSession session(configuration());
      URLRequest request;
      request.url = server.url("/blob?comp=block");
      request.method = c.method;
      request.setValue("BlockBlob", "x-ms-blob-type");
      session.uploadTask(request, file, recorder.completion());
      const auto call = recorder.first(std::chrono::seconds(60));
      ASSERT_TRUE(call && call->data) << (call ? call->error->message : "no call");
      EXPECT_EQ(*call->data, "stored");
      EXPECT_EQ(call->response->statusCode, 201);
    }
    EXPECT_EQ(recorder.count(), 1u);
    const auto received = server.requests().back();
    EXPECT_EQ(received.method, c.method);
    EXPECT_EQ(received.query, "comp=block");
    EXPECT_EQ(received.header("Content-Length"), std::to_string(c.size));
    for (const char* absent : {"Transfer-Encoding", "Expect", "Content-Type"}) {
      EXPECT_EQ(received.header(absent), std::nullopt) << absent;
    }
    EXPECT_EQ(received.header("x-ms-blob-type"), "BlockBlob");
    EXPECT_EQ(received.bodySize, c.size);
    EXPECT_EQ(received.bodySha256, testing::generatedSha256(c.size));
  }
}

TEST_F(URLSessionBody, DownloadStreamsIntoAPrivateFileRemovedAfterTheCompletion) {
  constexpr std::uint64_t kSize = 48u << 20;
  HttpTestServer server;
  server.reply("/big", {.generatedBodySize = kSize});
  std::filesystem::path location;
  std::string digest;
  std::filesystem::perms permissions{};
  std::uintmax_t size = 0;
  URLCallRecorder recorder;
  {
    URLSession session(configuration());
    URLRequest request;
    request.url = server.url("/big");
    session.downloadTask(request, recorder.downloadCompletion([&](const auto& file) {
      location = file;
      size = std::filesystem::file_size(file);
      permissions = std::filesystem::status(file).permissions();
      digest = testing::fileSha256(file);
    }));
    const auto call = recorder.first(std::chrono::seconds(60));
    ASSERT_TRUE(call && call->data) << (call ? call->error->message : "no call");
    EXPECT_EQ(call->response->statusCode, 200);
    EXPECT_EQ(call->response->value("content-length"), std::to_string(kSize));
  }
  EXPECT_EQ(location.parent_path(), std::filesystem::temp_directory_path());
  EXPECT_EQ(size, kSize);
  EXPECT_EQ(digest, testing::generatedSha256(kSize));
  EXPECT_EQ(permissions, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_FALSE(std::filesystem::exists(location)) << location;
}

TEST_F(URLSessionBody, ARetriedUploadOrDownloadStartsAfresh) {
  constexpr std::uint64_t kSize = 3u << 20;
  const auto file = folder_ / "upload.bin";
  ASSERT_TRUE(testing::writeGeneratedFile(file, kSize));
  HttpTestServer server;
  for (const char* path : {"/blob", "/archive"}) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    server.respond(path, [calls](const testing::RecordedRequest&) {
      if (calls->fetch_add(1) == 0) return testing::TestReply{.status = 503, .body = "busy"};
      return testing::TestReply{.status = 201, .generatedBodySize = kSize};
    });
  }
  URLCallRecorder uploaded;
  URLCallRecorder downloaded;
  std::string digest;
  {
    URLSessionConfiguration retrying = configuration();
    retrying.retryPolicy.baseDelay = std::chrono::milliseconds(1);
    URLSession session(retrying);
    URLRequest request;
    request.url = server.url("/blob");
    request.method = "PUT";
    request.retryTransientFailures = true;
    session.uploadTask(request, file, uploaded.completion());
    request.url = server.url("/archive");
    request.method = "GET";
    session.downloadTask(request, downloaded.downloadCompletion([&](const auto& location) {
      digest = testing::fileSha256(location);
    }));
    for (auto* recorder : {&uploaded, &downloaded}) {
      const auto call = recorder->first(std::chrono::seconds(60));
      ASSERT_TRUE(call && call->response) << (call ? call->error->message : "no call");
      EXPECT_EQ(call->response->statusCode, 201);
    }
  }
  EXPECT_EQ(uploaded.count() + downloaded.count(), 2u);
  EXPECT_EQ(digest, testing::generatedSha256(kSize));
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 4u);
  for (const auto& received : requests) {
    if (received.path != "/blob") continue;
    EXPECT_EQ(received.bodySize, kSize);
    EXPECT_EQ(received.bodySha256, testing::generatedSha256(kSize));
  }
}

}  // namespace
}  // namespace vorelia::platform
