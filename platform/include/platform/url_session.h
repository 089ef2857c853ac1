// URL sessions: HTTP(S) transfers on libcurl. Each session owns one libcurl multi handle driven by
// one I/O thread; connections are reused within a session. Every task calls its completion exactly
// once (on success, on failure, on time-out, on cancel and when the session shuts down), always on
// the CompletionPool, never on the caller's thread and never on the I/O thread, so a completion may
// block on other transfers.
//
// TLS peer and host verification are always on. A test CA can be added (URLSessionConfiguration::
// extraCAFile, or the environment variable VORELIA_EXTRA_CA_FILE); it is trusted in addition to the
// system's CAs. Plain http:// is refused except to a loopback address.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorelia::platform {

using HTTPHeaders = std::vector<std::pair<std::string, std::string>>;

struct URLRequest {
  std::string url;
  std::string method = "GET";
  HTTPHeaders headers;              // sent in this order
  std::optional<std::string> body;  // bytes of a data task's body
  // Longest gap without progress (connecting, sending or receiving) before the request times out.
  // Zero means the session's requestTimeout.
  std::chrono::milliseconds timeout{0};

  // Sets a header field, replacing an earlier one of the same name (case-insensitive).
  void setValue(std::string value, const std::string& field);
  std::optional<std::string> value(const std::string& field) const;
};

struct URLResponse {
  long statusCode = 0;
  HTTPHeaders headers;  // header names as received
  std::optional<std::string> value(const std::string& field) const;
};

struct URLError {
  enum class Code {
    badURL,         // the URL did not parse, or is plain http to a non-loopback host
    cannotConnect,  // refused, unresolvable, or TLS verification failed
    timedOut,       // idle or total time-out
    connectionLost,  // the connection dropped mid-transfer
    fileError,      // the upload file could not be read, or the download file written
    cancelled,      // cancel() or session shutdown
    other,
  };
  Code code = Code::other;
  std::string message;  // for people; never carries a header, a body or a query string
};

struct URLSessionConfiguration {
  // Longest gap without progress; a request's own timeout takes precedence.
  std::chrono::milliseconds requestTimeout{std::chrono::seconds(60)};
  // Longest time a whole transfer may take.
  std::chrono::milliseconds resourceTimeout{std::chrono::hours(24 * 7)};
  // Upper bound on connections kept open per host.
  long maxConnectionsPerHost = 6;
  // A PEM file of further CAs to trust beside the system's. Defaults to VORELIA_EXTRA_CA_FILE.
  std::optional<std::filesystem::path> extraCAFile;

  static URLSessionConfiguration defaultConfiguration();
};

// (data, response, error). data is present exactly when the server answered (any status, possibly
// an empty body); error is present exactly when the transfer failed.
using URLDataCompletion = std::function<void(std::optional<std::string> data,
                                             std::optional<URLResponse> response,
                                             std::optional<URLError> error)>;
// (location, response, error). location is a temporary file holding the body; it is removed when the
// completion returns, so move it away inside the completion to keep it.
using URLDownloadCompletion =
    std::function<void(std::optional<std::filesystem::path> location,
                       std::optional<URLResponse> response, std::optional<URLError> error)>;

class URLSessionTask {
 public:
  virtual ~URLSessionTask() = default;
  // Cancels the transfer if it is still running; its completion then runs with Code::cancelled.
  virtual void cancel() = 0;
};

class URLSession {
 public:
  explicit URLSession(URLSessionConfiguration configuration =
                          URLSessionConfiguration::defaultConfiguration());
  // Cancels every running task and returns once each of their completions has returned.
  // REQUIRES: not called from one of this session's completions.
  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  // The process-wide session with the default configuration. It lives until the process ends.
  static URLSession& shared();

  // Every task starts at once; there is nothing to resume.
  std::shared_ptr<URLSessionTask> dataTask(URLRequest request, URLDataCompletion completion);
  // Sends the file as the body, streamed from disk with its length known up front (never chunked,
  // no "Expect: 100-continue"). The method is the request's (usually PUT).
  std::shared_ptr<URLSessionTask> uploadTask(URLRequest request, std::filesystem::path fromFile,
                                             URLDataCompletion completion);
  // Streams the body into a temporary file.
  std::shared_ptr<URLSessionTask> downloadTask(URLRequest request,
                                               URLDownloadCompletion completion);

  const URLSessionConfiguration& configuration() const;

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorelia::platform
