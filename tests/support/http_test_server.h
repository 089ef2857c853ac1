// A loopback HTTP or HTTPS server for tests, on cpp-httplib. It records every request (method,
// path, query, headers, body digest) and answers with replies scripted per path: status, headers,
// body, a delay, a stall, a dropped connection, or a large generated body streamed without
// holding it in memory. Each connection runs on its own thread, so a stalled reply never holds up
// another request.
//
// Threads: every member may be called from any thread. Responders run on connection threads.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace httplib {
class Server;
class ContentReader;
struct Request;
struct Response;
}  // namespace httplib

namespace vorelia::testing {

using TestHeaders = std::vector<std::pair<std::string, std::string>>;

struct RecordedRequest {
  std::string method;
  std::string path;   // decoded, without the query
  std::string query;  // as sent, without the '?'; empty when there is none
  // Header fields as received. cpp-httplib groups them by name (case-insensitively, sorted), so
  // the order of different names is lost; fields of one name keep the order they were sent in.
  // cpp-httplib also drops fields with an empty value, and adds REMOTE_ADDR and the like.
  TestHeaders headers;
  std::string body;  // the whole body when it is at most Options::maxKeptBody bytes, else empty
  std::uint64_t bodySize = 0;
  std::string bodySha256;  // lowercase hex of the whole body; empty when digests are off

  // The first field of that name (case-insensitive).
  std::optional<std::string> header(const std::string& name) const;
  // Every field of that name, in order.
  std::vector<std::string> headerValues(const std::string& name) const;
};

struct TestReply {
  int status = 200;
  TestHeaders headers{};  // besides Content-Type, which is application/octet-stream
  std::string body{};
  // When non-zero, the body is this many bytes of fillGenerated (test_bytes.h), streamed.
  std::uint64_t generatedBodySize = 0;
  // Wait before answering.
  std::chrono::milliseconds delay{0};
  // Answer nothing; hold the connection open until the server stops.
  bool stall = false;
  // Send the status, the headers (announcing the whole body) and this many body bytes, then hold
  // the connection open until the server stops.
  std::optional<std::uint64_t> stallAfter{};
  // Like stallAfter, but close the connection instead.
  std::optional<std::uint64_t> dropAfter{};
};

using TestResponder = std::function<TestReply(const RecordedRequest&)>;

class HttpTestServer {
 public:
  struct Options {
    bool tls = false;  // HTTPS with testCertificates() (test_certificates.h)
    std::uint64_t maxKeptBody = 16u << 20;
    bool digestBodies = true;
  };

  // Listens on an ephemeral port of 127.0.0.1. Throws std::runtime_error when it cannot.
  HttpTestServer();
  explicit HttpTestServer(Options options);
  // Releases stalls and delays, stops listening, and waits for every connection thread.
  ~HttpTestServer();
  HttpTestServer(const HttpTestServer&) = delete;
  HttpTestServer& operator=(const HttpTestServer&) = delete;

  int port() const { return port_; }
  // "http://127.0.0.1:<port>" or "https://..." followed by pathAndQuery.
  std::string url(const std::string& pathAndQuery = "/") const;
  // The CA a client must trust for a TLS server.
  std::filesystem::path caFile() const;

  // Scripts the answer to every request whose path is `path`, or starts with it when it ends in
  // '*'. An exact path wins over a prefix, a longer prefix over a shorter one. Unscripted paths
  // get 404. A later script for the same path replaces the earlier one.
  void reply(const std::string& path, TestReply reply);
  void respond(const std::string& path, TestResponder responder);

  std::vector<RecordedRequest> requests() const;
  // Those whose path is `path`.
  std::vector<RecordedRequest> requests(const std::string& path) const;
  std::size_t requestCount() const;
  // Connections accepted so far.
  std::size_t connectionCount() const;
  // Waits until at least count requests were recorded; returns whether they were.
  bool waitForRequests(std::size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  class ConnectionThreads;

  void handle(const httplib::Request& request, httplib::Response& response,
              const httplib::ContentReader* reader);
  RecordedRequest record(const httplib::Request& request, const httplib::ContentReader* reader);
  TestResponder responderFor(const std::string& path) const;
  void answer(const TestReply& reply, httplib::Response& response);
  // Waits for duration, or until the server stops; returns false when it stopped.
  bool pause(std::chrono::milliseconds duration);
  void holdUntilStopped();

  const Options options_;
  std::unique_ptr<httplib::Server> server_;
  std::thread listener_;
  int port_ = 0;

  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;      // a request was recorded, or stopping_
  std::map<std::string, TestResponder> routes_;  // guarded by mutex_
  std::vector<RecordedRequest> requests_;        // guarded by mutex_
  std::size_t connections_ = 0;                  // guarded by mutex_
  bool stopping_ = false;                        // guarded by mutex_
};

}  // namespace vorelia::testing
