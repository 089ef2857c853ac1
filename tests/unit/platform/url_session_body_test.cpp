#include "url_session_fixture.h"

namespace vorelia::platform::session_testing {
namespace {

// Upload and download tasks: bodies streamed from and to files.
class URLSessionBody : public ::testing::Test {
 protected:
  testing::TempHome home;
};

TEST_F(URLSessionBody, UploadStreamsTheFileWithItsLengthAndNothingElse) {
  const struct {
    std::string method;
    std::uint64_t size;
    std::string path;
  } cases[] = {{"PUT", 64u << 20, "/blob"},
               {"POST", (3u << 20) + 1, "/moved"},  // the last piece is one byte
               {"PATCH", 0, "/blob"},
               {"PUT", 3u << 20, "/busy"}};
  HttpTestServer server({.maxKeptBody = 0});
  server.reply("/blob", {.status = 201, .body = "stored"});
  // A redirect or a retry sends the file again from its start.
  server.reply("/moved", {.status = 307, .headers = {{"Location", "/blob?comp=block"}}});
  server.respond("/busy",
                 inTurn({{.status = 503, .body = "busy"}, {.status = 201, .body = "stored"}}));
  URLSessionConfiguration retrying = quickConfiguration();
  retrying.retryPolicy.baseDelay = milliseconds(1);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + std::to_string(c.size));
    const auto file = home.path() / "upload.bin";
    ASSERT_TRUE(testing::writeGeneratedFile(file, c.size));
    URLCallRecorder recorder;
    {
      URLSession session(retrying);
      URLRequest request;
      request.url = server.url(c.path + "?comp=block");
      request.method = c.method;
      request.retryTransientFailures = true;
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
  // A file that comes up short in the middle of an attempt (cut to half before the retry reads it
  // again) fails the task: a partial body never passes for the whole file. It is opened as
  // descriptor 0, as in a process started with standard input closed, and closed afterwards.
  const auto shrinking = home.path() / "shrinking.bin";
  ASSERT_TRUE(testing::writeGeneratedFile(shrinking, 1u << 20));
  server.respond("/cut", [&](const testing::RecordedRequest&) {
    std::filesystem::resize_file(shrinking, 1u << 19);
    return TestReply{.status = 503};
  });
  const int input = ::dup(0);
  ::close(0);
  URLCallRecorder recorder;
  {
    URLSession session(retrying);
    URLRequest request;
    request.url = server.url("/cut");
    request.method = "PUT";
    request.retryTransientFailures = true;
    session.uploadTask(request, shrinking, recorder.completion());
    recorder.first(std::chrono::seconds(60));
  }
  const bool stillOpen = ::fcntl(0, F_GETFD) != -1;
  ::dup2(input, 0);
  ::close(input);
  EXPECT_FALSE(stillOpen) << "descriptor 0";
  const auto call = recorder.first();
  ASSERT_TRUE(call && call->error);
  EXPECT_EQ(call->error->code, Code::fileError) << call->error->message;
}

// A busy first answer is retried into the file from its start, the body sent again whole from its
// own file.
TEST_F(URLSessionBody, DownloadStreamsIntoAPrivateFileRemovedAfterTheCompletion) {
  constexpr std::uint64_t kSize = 48u << 20;
  constexpr std::uint64_t kSent = (3u << 20) + 1;
  const auto body = home.path() / "request.bin";
  ASSERT_TRUE(testing::writeGeneratedFile(body, kSent));
  HttpTestServer server;
  server.respond("/big", inTurn({{.status = 503, .body = "busy"}, {.generatedBodySize = kSize}}));
  URLSessionConfiguration retrying = quickConfiguration();
  retrying.retryPolicy.baseDelay = milliseconds(1);
  std::filesystem::path location;
  std::string digest;
  std::filesystem::perms permissions{};
  std::uintmax_t size = 0;
  URLCallRecorder recorder;
  {
    URLSession session(retrying);
    URLRequest request;
    request.url = server.url("/big");
    request.method = "POST";
    request.retryTransientFailures = true;
    const auto forward = recorder.completion();
    session.downloadTask(
        request, body, [&](std::optional<std::filesystem::path> file, auto response, auto error) {
          if (file) {  // the file exists only during the completion
            location = *file;
            size = std::filesystem::file_size(*file);
            permissions = std::filesystem::status(*file).permissions();
            digest = testing::fileSha256(*file);
          }
          forward(file ? std::optional(file->string()) : std::nullopt, response, error);
        });
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
  const auto received = server.requests().back();
  EXPECT_EQ(received.header("Content-Length"), std::to_string(kSent));
  EXPECT_EQ(received.bodySha256, testing::generatedSha256(kSent));
}

}  // namespace
}  // namespace vorelia::platform::session_testing
