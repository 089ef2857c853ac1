#include "platform/url_session.h"

#include <gtest/gtest.h>

#include <memory>

#include "platform/dispatch.h"
#include "support/http_test_server.h"
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
  EXPECT_EQ(error.message.find("QUERY-SECRET"), std::string::npos) << name << ": " << error.message;
  EXPECT_EQ(error.message.find("HEADER-SECRET"), std::string::npos)
      << name << ": " << error.message;
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
  TestReply stall;
  stall.stall = true;
  TestReply dropped{.body = std::string(1000, 'x'), .dropAfter = 100};
  TestReply stalledBody{.generatedBodySize = 1 << 20, .stallAfter = 64 * 1024};
  TestReply slow{.body = "late", .delay = std::chrono::seconds(5)};
  const std::vector<OutcomeCase> cases = {
      {"success", {.status = 200, .body = "hello"}},
      {"server error with body", {.status = 500, .body = "oops"}},
      {"no content", {.status = 204}},
      {"connection dropped mid-body", dropped, "", {}, {}, Code::connectionLost},
      {"refused port",
       {},
       "http://127.0.0.1:" + std::to_string(closedPort()) + "/?",
       {},
       {},
       Code::cannotConnect},
      {"stalled server", stall, "", milliseconds(150), {}, Code::timedOut},
      {"stalled mid-body", stalledBody, "", milliseconds(150), {}, Code::timedOut},
      {"total time-out", slow, "", {}, milliseconds(150), Code::timedOut},
      {"unparsable URL", {}, "not a URL?", {}, {}, Code::badURL},
      {"plain http to a non-loopback host", {}, "http://192.0.2.1/?", {}, {}, Code::badURL},
      {"unsupported scheme", {}, "ftp://127.0.0.1/?", {}, {}, Code::badURL},
  };
  for (const auto& c : cases) {
    HttpTestServer server;
    server.reply("/case", c.reply);
    URLCallRecorder recorder;
    {
      URLSessionConfiguration configuration = quickConfiguration();
      configuration.resourceTimeout = c.resourceTimeout;
      URLSession session(configuration);
      URLRequest request =
          requestFor((c.url.empty() ? server.url("/case?") : c.url) + kQuerySecret);
      request.timeout = c.requestTimeout;
      session.dataTask(request, recorder.completion());
      const auto call = recorder.first();
      ASSERT_TRUE(call) << c.name;
      EXPECT_NE(call->thread, std::this_thread::get_id()) << c.name;
      if (c.error) {
        ASSERT_TRUE(call->error) << c.name << ": got status " << call->response->statusCode;
        EXPECT_EQ(call->error->code, *c.error) << c.name << ": " << call->error->message;
        EXPECT_FALSE(call->data) << c.name;
        EXPECT_FALSE(call->response) << c.name;
        expectNoSecrets(*call->error, c.name);
      } else {
        EXPECT_FALSE(call->error) << c.name << ": " << call->error->message;
        ASSERT_TRUE(call->data && call->response) << c.name;
        EXPECT_EQ(*call->data, c.reply.body) << c.name;
        EXPECT_EQ(call->response->statusCode, c.reply.status) << c.name;
      }
    }  // the session is gone: every call it could make has been made
    EXPECT_EQ(recorder.count(), 1u) << c.name;
  }
}

// Plain http may only reach loopback hosts: everything else ends as badURL before any traffic,
// while loopback hosts are tried (and refused, since nothing listens on the port).
TEST(URLSession, PlainHttpReachesOnlyLoopbackHosts) {
  const std::string port = ":" + std::to_string(closedPort());
  const std::vector<std::pair<std::string, Code>> cases = {
      {"http://127.0.0.1" + port, Code::cannotConnect},
      {"http://127.9.8.7" + port, Code::cannotConnect},
      {"http://LOCALHOST" + port, Code::cannotConnect},
      {"http://[::1]" + port, Code::cannotConnect},
      {"http://127.0.0.1.example.invalid" + port, Code::badURL},
      {"http://localhost.example.invalid" + port, Code::badURL},
      {"http://128.0.0.1" + port, Code::badURL},
      {"http://user:pw@10.0.0.1" + port, Code::badURL},
  };
  URLSession session(quickConfiguration());
  for (const auto& [url, expected] : cases) {
    URLCallRecorder recorder;
    session.dataTask(requestFor(url + "/?" + kQuerySecret), recorder.completion());
    const auto call = recorder.first();
    ASSERT_TRUE(call && call->error) << url;
    EXPECT_EQ(call->error->code, expected) << url << ": " << call->error->message;
    EXPECT_EQ(call->error->message.find("pw@"), std::string::npos) << call->error->message;
    expectNoSecrets(*call->error, url);
  }
}

TEST(URLSession, CancelAndShutdownEndRunningTasksOnceWithCancelled) {
  for (const bool byCancel : {true, false}) {
    const char* name = byCancel ? "cancel()" : "session destroyed";
    HttpTestServer server;
    server.reply("/stall", {.stall = true});
    URLCallRecorder recorder;
    std::shared_ptr<URLSessionTask> task;
    {
      URLSession session(quickConfiguration());
      task =
          session.dataTask(requestFor(server.url("/stall?") + kQuerySecret), recorder.completion());
      ASSERT_TRUE(server.waitForRequests(1)) << name;
      if (byCancel) {
        task->cancel();
        ASSERT_TRUE(recorder.first()) << name;
        task->cancel();  // a second cancel of an ended task changes nothing
      }
    }
    ASSERT_EQ(recorder.count(), 1u) << name;
    const auto call = recorder.first();
    ASSERT_TRUE(call->error) << name;
    EXPECT_EQ(call->error->code, Code::cancelled) << name;
    expectNoSecrets(*call->error, name);
    task->cancel();  // the session is gone; this must be harmless
  }
}

TEST(URLSession, TrustsTheExtraCAWithoutTurningVerificationOff) {
  HttpTestServer server({.tls = true});
  server.reply("/secure", {.body = "over tls"});
  for (const bool trusted : {true, false}) {
    URLSessionConfiguration configuration = quickConfiguration();
    if (trusted) configuration.extraCAFile = server.caFile();
    URLCallRecorder recorder;
    {
      URLSession session(configuration);
      session.dataTask(requestFor(server.url("/secure")), recorder.completion());
      ASSERT_TRUE(recorder.first()) << "trusted " << trusted;
    }
    const auto call = recorder.first();
    if (trusted) {
      ASSERT_TRUE(call->data) << call->error->message;
      EXPECT_EQ(*call->data, "over tls");
    } else {
      ASSERT_TRUE(call->error);
      EXPECT_EQ(call->error->code, Code::cannotConnect) << call->error->message;
    }
  }
}

TEST(URLSession, FollowsRedirectsButNeverDownToPlainHttpElsewhere) {
  HttpTestServer plain;
  HttpTestServer secure({.tls = true});
  plain.reply("/to", {.body = "arrived"});
  plain.reply("/from", {.status = 302, .headers = {{"Location", "/to"}}});
  plain.reply("/away", {.status = 302, .headers = {{"Location", "http://192.0.2.1/to"}}});
  secure.reply("/down", {.status = 301, .headers = {{"Location", plain.url("/to")}}});
  struct Case {
    std::string url{};
    std::optional<std::string> body{};  // else badURL
  };
  const std::vector<Case> cases = {{plain.url("/from"), "arrived"},
                                   {plain.url("/away"), std::nullopt},
                                   {secure.url("/down"), std::nullopt}};
  URLSessionConfiguration configuration = quickConfiguration();
  configuration.extraCAFile = secure.caFile();
  for (const auto& c : cases) {
    URLCallRecorder recorder;
    {
      URLSession session(configuration);
      session.dataTask(requestFor(c.url), recorder.completion());
      ASSERT_TRUE(recorder.first()) << c.url;
    }
    const auto call = recorder.first();
    if (c.body) {
      ASSERT_TRUE(call->data) << c.url << ": " << call->error->message;
      EXPECT_EQ(*call->data, *c.body) << c.url;
    } else {
      ASSERT_TRUE(call->error) << c.url;
      EXPECT_EQ(call->error->code, Code::badURL) << c.url << ": " << call->error->message;
    }
  }
  EXPECT_EQ(plain.requests().back().path, "/away") << "the refused redirect reached /to";
}

TEST(URLSession, SendsHeadersInOrderWithoutAddingContentTypeOrExpect) {
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
}

TEST(URLSession, ReusesOneConnectionForSequentialRequests) {
  HttpTestServer server;
  server.reply("/again", {.body = "same"});
  {
    URLSession session(quickConfiguration());
    for (int i = 0; i < 3; ++i) {
      URLCallRecorder recorder;
      session.dataTask(requestFor(server.url("/again")), recorder.completion());
      const auto call = recorder.first();
      ASSERT_TRUE(call && call->data) << "request " << i;
    }
  }
  EXPECT_EQ(server.requestCount(), 3u);
  EXPECT_EQ(server.connectionCount(), 1u);
}

// An authenticated request that refreshes its token first: a completion starts another request
// on the same session and blocks until that one completes.
TEST(URLSession, CompletionMayWaitForANestedRequest) {
  HttpTestServer server;
  server.reply("/outer", {.body = "outer"});
  server.reply("/token", {.body = "fresh token"});
  URLSession& session = URLSession::shared();
  DispatchSemaphore outerDone;
  std::optional<std::string> nestedBody;
  session.dataTask(requestFor(server.url("/outer")), [&](auto, auto, auto) {
    DispatchSemaphore nestedDone;
    session.dataTask(requestFor(server.url("/token")), [&](auto data, auto, auto) {
      nestedBody = data;
      nestedDone.signal();
    });
    nestedDone.waitFor(std::chrono::seconds(15));
    outerDone.signal();
  });
  ASSERT_TRUE(outerDone.waitFor(std::chrono::seconds(20)));
  EXPECT_EQ(nestedBody, "fresh token");
}

}  // namespace
}  // namespace vorelia::platform
