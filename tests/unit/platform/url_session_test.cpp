#include "platform/url_session.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <variant>

#include "support/http_test_server.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"
#include "support/url_completion_recorder.h"

namespace vorelia::platform {
namespace {

using std::chrono::milliseconds;
using testing::HttpTestServer;
using testing::TestReply;
using testing::URLCallRecorder;
using Code = URLError::Code;

// Secrets placed in every request; no error message may repeat them.
constexpr const char* kQuerySecret = "sig=QUERY-SECRET";
constexpr const char* kHeaderSecret = "Bearer HEADER-SECRET";

URLSessionConfiguration quickConfiguration() {
  URLSessionConfiguration configuration;
  configuration.requestTimeout = std::chrono::seconds(10);
  return configuration;
}

URLRequest requestFor(std::string url) {
  URLRequest request;
  request.url = std::move(url);
  request.headers = {{"Authorization", kHeaderSecret}};
  return request;
}

int closedPort() {
  HttpTestServer server;
  return server.port();  // closed once the server is gone
}

void expectNoSecrets(const URLError& error, const std::string& name) {
  for (const char* secret : {"QUERY-SECRET", "HEADER-SECRET", "pw@"}) {
    EXPECT_EQ(error.message.find(secret), std::string::npos) << name << ": " << error.message;
  }
}

struct OutcomeCase {
  std::string name{};
  TestReply reply{};
  std::string url{};  // empty: the server's /case
  milliseconds requestTimeout{0};
  milliseconds resourceTimeout{std::chrono::hours(1)};
  std::optional<Code> error{};  // else the server's answer is expected
};

TEST(URLSession, CallsEachCompletionExactlyOnceOffTheCallersThread) {
  const std::string closed = ":" + std::to_string(closedPort());
  TestReply stall;
  stall.stall = true;
  TestReply dropped{.body = std::string(1000, 'x'), .dropAfter = 100};
  TestReply stalledBody{.generatedBodySize = 1 << 20, .stallAfter = 64 * 1024};
  TestReply slow{.body = "late", .delay = std::chrono::seconds(5)};
  // Plain http may only reach loopback hosts: everything else ends as badURL before any traffic,
  // while loopback hosts are tried (and refused, since nothing listens on the port).
  const auto refused = [&](std::string host, Code code) {
    return OutcomeCase{.name = host, .url = "http://" + host + closed + "/?", .error = code};
  };
  const std::vector<OutcomeCase> cases = {
      {"success", {.status = 200, .body = "hello"}},
      {"server error with body", {.status = 500, .body = "oops"}},
      {"no content", {.status = 204}},
      {"connection dropped mid-body", dropped, "", {}, {}, Code::connectionLost},
      {"stalled server", stall, "", milliseconds(150), {}, Code::timedOut},
      {"stalled mid-body", stalledBody, "", milliseconds(150), {}, Code::timedOut},
      {"total time-out", slow, "", {}, milliseconds(150), Code::timedOut},
      {"unparsable URL", {}, "not a URL?", {}, {}, Code::badURL},
      {"unsupported scheme", {}, "ftp://127.0.0.1/?", {}, {}, Code::badURL},
      refused("127.0.0.1", Code::cannotConnect),
      refused("127.9.8.7", Code::cannotConnect),
      refused("LOCALHOST", Code::cannotConnect),
      refused("[::1]", Code::cannotConnect),
      refused("127.0.0.1.example.invalid", Code::badURL),
      refused("localhost.example.invalid", Code::badURL),
      refused("128.0.0.1", Code::badURL),
      refused("[2001:db8::7f00:1]", Code::badURL),
      refused("user:pw@10.0.0.1", Code::badURL),
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<HttpTestServer> server;  // none for the fixed URLs: it might take the closed port
    if (c.url.empty()) server.emplace().reply("/case", c.reply);
    URLCallRecorder recorder;
    {
      URLSessionConfiguration configuration = quickConfiguration();
      configuration.resourceTimeout = c.resourceTimeout;
      URLSession session(configuration);
      URLRequest request = requestFor((server ? server->url("/case?") : c.url) + kQuerySecret);
      request.timeout = c.requestTimeout;
      session.dataTask(request, recorder.completion());
      const auto call = recorder.first();
      ASSERT_TRUE(call);
      EXPECT_NE(call->thread, std::this_thread::get_id());
      if (c.error) {
        ASSERT_TRUE(call->error) << "got status " << call->response->statusCode;
        EXPECT_EQ(call->error->code, *c.error) << call->error->message;
        EXPECT_FALSE(call->data || call->response);
        expectNoSecrets(*call->error, c.name);
      } else {
        EXPECT_FALSE(call->error) << call->error->message;
        ASSERT_TRUE(call->data && call->response);
        EXPECT_EQ(*call->data, c.reply.body);
        EXPECT_EQ(call->response->statusCode, c.reply.status);
      }
    }  // the session is gone: every call it could make has been made
    EXPECT_EQ(recorder.count(), 1u);
  }
}

// A responder that answers the n-th request with the n-th reply, and later ones with the last.
testing::TestResponder inTurn(std::vector<TestReply> replies) {
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  return [replies = std::move(replies), next](const testing::RecordedRequest&) {
    return replies[std::min(next->fetch_add(1), replies.size() - 1)];
  };
}

TEST(URLSession, RepeatsARequestThatAllowsItAfterTransientFailuresOnly) {
  const TestReply ok{.status = 200, .body = "ok"};
  const struct {
    std::string name;
    std::vector<TestReply> replies;
    std::size_t requests;
    std::variant<long, Code> outcome;  // the final status, or the error
    bool retry = true;
  } cases[] = {
      {"503, then success", {{.status = 503}, ok}, 2, 200L},
      {"429 asking to wait, then success",
       {{.status = 429, .headers = {{"Retry-After", "0"}}}, ok},
       2,
       200L},
      {"no answer in time, then success", {{.stall = true}, ok}, 2, 200L},
      {"three retries at most", {{.status = 503}}, 4, 503L},
      {"400 is final", {{.status = 400}, ok}, 1, 400L},
      {"404 is final", {{.status = 404}, ok}, 1, 404L},
      {"lost after the answer began",
       {{.body = std::string(1000, 'x'), .dropAfter = 100}, ok},
       1,
       Code::connectionLost},
      {"a request that does not allow it", {{.status = 503}, ok}, 1, 503L, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HttpTestServer server;
    server.respond("/case", inTurn(c.replies));
    URLCallRecorder recorder;
    {
      URLSessionConfiguration configuration = quickConfiguration();
      configuration.retryPolicy.baseDelay = milliseconds(1);
      URLSession session(configuration);
      URLRequest request = requestFor(server.url("/case"));
      request.method = c.retry ? "PUT" : "POST";
      request.body = "same body each time";
      request.timeout = milliseconds(300);
      request.retryTransientFailures = c.retry;
      session.dataTask(request, recorder.completion());
      ASSERT_TRUE(recorder.first());
    }
    EXPECT_EQ(recorder.count(), 1u);
    EXPECT_EQ(server.requestCount(), c.requests);
    for (const auto& received : server.requests()) EXPECT_EQ(received.body, "same body each time");
    const auto call = recorder.first();
    if (const auto* status = std::get_if<long>(&c.outcome)) {
      ASSERT_TRUE(call->response) << call->error->message;
      EXPECT_EQ(call->response->statusCode, *status);
    } else {
      ASSERT_TRUE(call->error);
      EXPECT_EQ(call->error->code, std::get<Code>(c.outcome));
    }
  }
}

TEST(URLSession, CancelAndShutdownEndRunningOrWaitingTasksOnceWithCancelled) {
  for (const bool waiting : {false, true}) {
    for (const bool byCancel : {true, false}) {
      const std::string name = std::string(byCancel ? "cancel()" : "session destroyed") +
                               (waiting ? " while waiting to retry" : " while running");
      HttpTestServer server;
      server.reply("/stall", waiting ? TestReply{.status = 503} : TestReply{.stall = true});
      server.reply("/after", {});
      URLCallRecorder recorder;
      URLCallRecorder after;
      std::shared_ptr<URLSessionTask> task;
      {
        URLSessionConfiguration configuration = quickConfiguration();
        configuration.retryPolicy.baseDelay = std::chrono::hours(1);
        // With one connection, a second request is answered only once the first attempt ended.
        configuration.maxConnectionsPerHost = 1;
        URLSession session(configuration);
        URLRequest request = requestFor(server.url("/stall?") + kQuerySecret);
        request.retryTransientFailures = true;
        task = session.dataTask(request, recorder.completion());
        if (waiting) {
          session.dataTask(requestFor(server.url("/after")), after.completion());
          ASSERT_TRUE(after.first()) << name;
        }
        ASSERT_TRUE(server.waitForRequests(1)) << name;
        if (byCancel) {
          task->cancel();
          ASSERT_TRUE(recorder.first()) << name;
          task->cancel();  // a second cancel of an ended task changes nothing
        }
      }
      ASSERT_EQ(recorder.count(), 1u) << name;
      EXPECT_EQ(server.requestCount(), waiting ? 2u : 1u) << name;
      const auto call = recorder.first();
      ASSERT_TRUE(call->error) << name;
      EXPECT_EQ(call->error->code, Code::cancelled) << name;
      expectNoSecrets(*call->error, name);
      task->cancel();  // the session is gone; this must be harmless
    }
  }
}

// The plugin makes sessions it may never use, and a host may make and drop the plugin often.
TEST(URLSession, ASessionNeverUsedStartsNoThread) {
  const auto threads = [] {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
      if (line.starts_with("Threads:")) return std::stoi(line.substr(8));
    }
    return -1;
  };
  const int before = threads();
  std::vector<std::unique_ptr<URLSession>> sessions;
  for (int i = 0; i < 50; ++i) sessions.push_back(std::make_unique<URLSession>());
  EXPECT_LT(threads(), before + 10);
}

// Verification stays on: the extra CA is trusted besides the system's, and a redirect never
// leads down to plain http on another host.
TEST(URLSession, VerifiesTlsAndNeverRedirectsDownToPlainHttpElsewhere) {
  HttpTestServer plain;
  HttpTestServer secure({.tls = true});
  plain.reply("/to", {.body = "arrived"});
  plain.reply("/from", {.status = 302, .headers = {{"Location", "/to"}}});
  plain.reply("/away", {.status = 302, .headers = {{"Location", "http://192.0.2.1/to"}}});
  secure.reply("/secure", {.body = "over tls"});
  secure.reply("/down", {.status = 301, .headers = {{"Location", plain.url("/to")}}});
  const struct {
    std::string url;
    bool trustCA;
    std::variant<std::string, Code> outcome;  // the body, or the error
  } cases[] = {{plain.url("/from"), true, "arrived"},
               {plain.url("/away"), true, Code::badURL},
               {secure.url("/down"), true, Code::badURL},
               {secure.url("/secure"), true, "over tls"},
               {secure.url("/secure"), false, Code::cannotConnect}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.url + (c.trustCA ? "" : " untrusted"));
    URLSessionConfiguration configuration = quickConfiguration();
    if (c.trustCA) configuration.extraCAFile = secure.caFile();
    URLCallRecorder recorder;
    {
      URLSession session(configuration);
      session.dataTask(requestFor(c.url), recorder.completion());
      ASSERT_TRUE(recorder.first());
    }
    const auto call = recorder.first();
    if (const auto* body = std::get_if<std::string>(&c.outcome)) {
      ASSERT_TRUE(call->data) << call->error->message;
      EXPECT_EQ(*call->data, *body);
    } else {
      ASSERT_TRUE(call->error);
      EXPECT_EQ(call->error->code, std::get<Code>(c.outcome)) << call->error->message;
    }
  }
  EXPECT_EQ(plain.requests().back().path, "/away") << "the refused redirect reached /to";
}

TEST(URLSession, SendsHeadersInOrderOnOneConnectionWithoutAddingContentTypeOrExpect) {
  HttpTestServer server;
  server.reply("/echo", {.headers = {{"X-Reply", "yes"}}, .body = "ok"});
  URLCallRecorder untyped;
  URLCallRecorder typed;
  {
    URLSession session(quickConfiguration());
    URLRequest request = requestFor(server.url("/echo"));
    request.method = "POST";
    request.body = std::string(2 << 20, 'b');  // large enough for libcurl to want Expect
    request.headers = {{"X-Order", "one"}, {"X-Other", "x"}, {"X-Order", "two"}, {"X-Order", "3"}};
    session.dataTask(request, untyped.completion());
    ASSERT_TRUE(untyped.first());
    request.setValue("application/json", "content-type");
    request.body = "{}";
    session.dataTask(request, typed.completion());
    ASSERT_TRUE(typed.first());
  }
  const auto requests = server.requests();
  ASSERT_EQ(requests.size(), 2u);
  const auto& first = requests[0];
  EXPECT_EQ(first.headerValues("X-Order"), (std::vector<std::string>{"one", "two", "3"}));
  EXPECT_EQ(first.header("X-Other"), "x");
  EXPECT_EQ(first.header("Content-Type"), std::nullopt);
  EXPECT_EQ(first.header("Expect"), std::nullopt);
  EXPECT_EQ(first.header("Accept"), "*/*");
  EXPECT_EQ(first.header("Content-Length"), std::to_string(2 << 20));
  EXPECT_EQ(first.bodySize, 2u << 20);
  EXPECT_EQ(requests[1].headerValues("Content-Type"),
            (std::vector<std::string>{"application/json"}));
  const auto response = untyped.first()->response;
  ASSERT_TRUE(response);
  EXPECT_EQ(response->value("x-reply"), "yes");
  EXPECT_EQ(server.connectionCount(), 1u) << "the second request did not reuse the connection";

  // A field that would break the header block fails the task before anything is sent.
  for (const auto& field :
       std::vector<std::pair<std::string, std::string>>{{"X-Value", "a\r\nX-Injected: 1"},
                                                        {"X-Value", "a\nb"},
                                                        {"X-Value", {"a\0b", 3}},
                                                        {"X Name", "v"},
                                                        {"X-Name:", "v"},
                                                        {"", "v"},
                                                        {"X-\x7f", "v"}}) {
    URLCallRecorder refused;
    {
      URLSession session(quickConfiguration());
      URLRequest request = requestFor(server.url("/echo"));
      request.headers = {field};
      session.dataTask(request, refused.completion());
      const auto call = refused.first();
      ASSERT_TRUE(call && call->error) << field.first;
      EXPECT_EQ(call->error->code, URLError::Code::other) << field.first;
    }
  }
  EXPECT_EQ(server.requests().size(), 2u);
}

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
  } cases[] = {{"PUT", 64u << 20, "/blob"}, {"POST", 3u << 20, "/moved"}, {"PATCH", 0, "/blob"}};
  HttpTestServer server({.maxKeptBody = 0});
  server.reply("/blob", {.status = 201, .body = "stored"});
  // A redirect sends the file again from its start.
  server.reply("/moved", {.status = 307, .headers = {{"Location", "/blob?comp=block"}}});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.method + " " + std::to_string(c.size));
    const auto file = home.path() / "upload.bin";
    ASSERT_TRUE(testing::writeGeneratedFile(file, c.size));
    URLCallRecorder recorder;
    {
      URLSession session(quickConfiguration());
      URLRequest request;
      request.url = server.url(c.path + "?comp=block");
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
    URLSession session(quickConfiguration());
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
  const auto file = home.path() / "upload.bin";
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
    URLSessionConfiguration retrying = quickConfiguration();
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
