// Data tasks: one completion each, retries, deadlines, cancellation, and what goes on the wire.
#include "url_session_fixture.h"

namespace vorelia::platform::session_testing {
namespace {

struct OutcomeCase {
  std::string name{};
  TestReply reply{};
  std::string url{};  // empty: the server's /case
  milliseconds requestTimeout{0};
  milliseconds resourceTimeout{std::chrono::hours(1)};
  std::optional<Code> error{};  // else the server's answer is expected
  bool trustCA = true;          // the test CA besides the system's
  bool followRedirects = true;
  std::uint64_t maxBodySize = 0;
};

// Every outcome ends in one completion. TLS verification stays on (the extra CA is trusted
// besides the system's), and a redirect never leads down to plain http on another host.
TEST(URLSession, CallsEachCompletionExactlyOnceOffTheCallersThread) {
  HttpTestServer plain;
  HttpTestServer secure({.tls = true});
  plain.reply("/to", {.body = "arrived"});
  plain.reply("/from", {.status = 302, .headers = {{"Location", "/to"}}});
  plain.reply("/away", {.status = 302, .headers = {{"Location", "http://192.0.2.1/to"}}});
  secure.reply("/secure", {.body = "over tls"});
  secure.reply("/down", {.status = 301, .headers = {{"Location", plain.url("/to")}}});
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
      {.name = "redirected", .reply = {.body = "arrived"}, .url = plain.url("/from?")},
      {.name = "redirect not to follow",
       .url = plain.url("/from?"),
       .error = Code::badURL,
       .followRedirects = false},
      {.name = "at its size limit", .reply = {.body = "hello"}, .maxBodySize = 5},
      {.name = "announced past its limit",
       .reply = {.generatedBodySize = 1 << 20},
       .error = Code::tooLarge,
       .maxBodySize = 1000},
      {.name = "redirected elsewhere", .url = plain.url("/away?"), .error = Code::badURL},
      {.name = "redirected down", .url = secure.url("/down?"), .error = Code::badURL},
      {.name = "over tls", .reply = {.body = "over tls"}, .url = secure.url("/secure?")},
      {.name = "untrusted",
       .url = secure.url("/secure?"),
       .error = Code::cannotConnect,
       .trustCA = false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<HttpTestServer> server;  // none for the fixed URLs: it might take the closed port
    if (c.url.empty()) server.emplace().reply("/case", c.reply);
    URLSessionConfiguration configuration = quickConfiguration();
    configuration.resourceTimeout = c.resourceTimeout;
    if (c.trustCA) configuration.extraCAFile = secure.caFile();
    URLRequest request = requestFor((server ? server->url("/case?") : c.url) + kQuerySecret);
    request.timeout = c.requestTimeout;
    request.followRedirects = c.followRedirects;
    request.maxBodySize = c.maxBodySize;
    const auto call = fetch(configuration, request);
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
  }
  EXPECT_EQ(plain.requests().back().path, "/away") << "the refused redirect reached /to";
}

// Only the stalled attempt's time-out must fire: it alone is short.
TEST(URLSession, RepeatsARequestThatAllowsItAfterTransientFailuresOnly) {
  const TestReply ok{.status = 200, .body = "ok"};
  const struct {
    std::string name;
    std::vector<TestReply> replies;
    std::size_t requests;
    std::variant<long, Code> outcome;  // the final status, or the error
    bool retry = true;
    milliseconds timeout = std::chrono::seconds(10);
  } cases[] = {
      {"503, then success", {{.status = 503}, ok}, 2, 200L},
      {"no answer in time: the caller has waited long enough",
       {{.stall = true}, ok},
       1,
       Code::timedOut,
       true,
       milliseconds(300)},
      {"lost after the answer began",
       {{.body = std::string(1000, 'x'), .dropAfter = 100}, ok},
       1,
       Code::connectionLost},
      {"a request that does not allow it", {{.status = 503}, ok}, 1, 503L, false},
      {"a 503 too long to take: it would be as long again",
       {{.status = 503, .body = std::string(5000, 'x')}, ok},
       1,
       Code::tooLarge},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    HttpTestServer server;
    server.respond("/case", inTurn(c.replies));
    URLSessionConfiguration configuration = quickConfiguration();
    configuration.retryPolicy.baseDelay = milliseconds(1);
    URLRequest request = requestFor(server.url("/case"));
    request.method = c.retry ? "PUT" : "POST";
    request.body = "same body each time";
    request.timeout = c.timeout;
    request.retryTransientFailures = c.retry;
    request.maxBodySize = 4096;
    const auto call = fetch(configuration, request);
    ASSERT_TRUE(call);
    EXPECT_EQ(server.requestCount(), c.requests);
    for (const auto& received : server.requests()) EXPECT_EQ(received.body, "same body each time");
    if (const auto* status = std::get_if<long>(&c.outcome)) {
      ASSERT_TRUE(call->response) << call->error->message;
      EXPECT_EQ(call->response->statusCode, *status);
    } else {
      ASSERT_TRUE(call->error);
      EXPECT_EQ(call->error->code, std::get<Code>(c.outcome));
    }
  }
}

// A deadline counts from the task's start, however the answer comes: the sandbox's stall and its
// trickle (the headers at once, then a byte a second, never idle for long) end by it, and are not
// sent again; a trickled answer that fits arrives whole.
TEST(URLSession, ARequestEndsByItsDeadlineHoweverSlowlyItsAnswerComes) {
  testing::SandboxProcess sandbox;
  const struct {
    const char* fault;
    std::string body;
    milliseconds deadline;
    std::optional<Code> error;
  } cases[] = {
      {"stall", "", milliseconds(1500), Code::timedOut},
      {"trickle", std::string(30, 'x'), milliseconds(1500), Code::timedOut},
      {"trickle", "ok", std::chrono::seconds(10), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.fault) + " " + c.body);
    sandbox.admin("DELETE", "/admin/faults");
    sandbox.clearRequests();
    sandbox.setFault({{"path", "/slow"}, {c.fault, true}, {"status", 200}, {"body", c.body}});
    URLRequest request = requestFor(sandbox.baseUrl() + "slow");
    request.timeout = std::chrono::seconds(60);  // never idle for that long
    request.deadline = c.deadline;
    request.retryTransientFailures = true;
    const auto call = fetch(quickConfiguration(), request);
    ASSERT_TRUE(call);
    EXPECT_EQ(sandbox.requests().size(), 1u);
    if (c.error) {
      ASSERT_TRUE(call->error) << "got " << call->data.value_or("");
      EXPECT_EQ(call->error->code, *c.error) << call->error->message;
    } else {
      ASSERT_TRUE(call->data) << call->error->message;
      EXPECT_EQ(*call->data, c.body);
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
        // A slow completion: the session's end still waits until it has run.
        auto slow = [record = recorder.completion()](auto data, auto response, auto error) {
          std::this_thread::sleep_for(std::chrono::milliseconds(50));
          record(std::move(data), std::move(response), std::move(error));
        };
        task = session.dataTask(request, slow);
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
TEST(URLSession, ASessionNeverUsedHoldsNoThreadAndNoSocket) {
  const auto threadsAndFiles = [] {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("Threads:")) {
    }
    const auto files = std::filesystem::directory_iterator("/proc/self/fd");
    return std::stoi(line.substr(8)) + std::distance(begin(files), end(files));
  };
  const auto before = threadsAndFiles();
  std::vector<std::unique_ptr<URLSession>> sessions;
  for (int i = 0; i < 50; ++i) sessions.push_back(std::make_unique<URLSession>());
  EXPECT_LT(threadsAndFiles(), before + 10);
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
    URLRequest request = requestFor(server.url("/echo"));
    request.headers = {field};
    const auto call = fetch(quickConfiguration(), request);
    ASSERT_TRUE(call && call->error) << field.first;
    EXPECT_EQ(call->error->code, URLError::Code::other) << field.first;
  }
  EXPECT_EQ(server.requests().size(), 2u);
}

}  // namespace
}  // namespace vorelia::platform::session_testing
