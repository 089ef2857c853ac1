// URL sessions: HTTP(S) transfers on libcurl. Each session owns one libcurl multi handle driven by
// one I/O thread, both made with its first task; connections are reused within a session. Every
// task calls its completion exactly once (on success, on failure, on time-out, on cancel and when
// the session shuts down), always on the CompletionPool, never on the caller's thread and never on
// the I/O thread, so a completion may block on other transfers.
//
// TLS peer and host verification are always on. A test CA can be added (URLSessionConfiguration::
// extraCAFile, or the environment variable VORELIA_EXTRA_CA_FILE); it is trusted in addition to the
// system's CAs. Plain http:// is refused except to a loopback address (127.0.0.0/8, ::1,
// localhost); such a task ends with Code::badURL before anything is sent. Redirects are followed
// (unless the request says not to), at most 10, never from https to http and to http only from
// loopback to loopback; a refused redirect ends the task with Code::badURL. Nothing is cached.
//
// On the wire: the request's header fields in their order; no Content-Type unless the request sets
// one; never "Expect: 100-continue"; libcurl's "Accept: */*" unless the request sets Accept. A body
// (a data task's, or an upload file) is sent with Content-Length, never chunked; POST, PUT and
// PATCH without a body send "Content-Length: 0".
//
// A request that allows it (retryTransientFailures) is sent again after a transient failure, as
// the session's retry policy says (url_retry_policy.h): the session waits on its I/O thread's
// timer, blocking no thread, then sends the whole request again (an upload re-reads its file from
// the start), as long as the wait ends before the task's deadline. A time-out is never retried.
// The task's completion runs once, with the last attempt's outcome; a task cancelled or a session
// shut down while it waits ends at once with Code::cancelled. A request without the flag is sent
// exactly once.
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

#include "platform/url_retry_policy.h"

namespace vorelia::platform {

using HTTPHeaders = std::vector<std::pair<std::string, std::string>>;

struct URLRequest {
  std::string url;
  std::string method = "GET";
  HTTPHeaders headers;              // sent in this order
  std::optional<std::string> body;  // bytes of a data task's body
  // Without body: the bytes of the body, shared, so that a caller who keeps the request to send
  // it again holds a large body once, not twice. The task only reads them.
  std::shared_ptr<const std::string> sharedBody;
  // Longest gap without progress (connecting, sending, waiting for the answer or receiving) before
  // the request times out, to the millisecond. Time spent waiting for a free connection (see
  // maxConnectionsPerHost) counts too. Zero means the session's requestTimeout.
  std::chrono::milliseconds timeout{0};
  // Longest time the whole task may take from its start, however its bytes trickle in: every
  // attempt and every wait between them included. Zero means the session's resourceTimeout, which
  // also bounds a longer one.
  std::chrono::milliseconds deadline{0};
  // Whether the session may send the request again after a transient failure. Set it only for
  // requests that are safe to repeat: sending one twice has the effect of sending it once.
  bool retryTransientFailures = false;
  // Whether a redirect is followed (within the session's rules). When false, an answer that
  // redirects (301, 302, 303, 307, 308) ends the task with Code::badURL and nothing is sent to
  // the address it names: a request that carries credentials in its body sets this.
  bool followRedirects = true;
  // The most bytes of body the task takes (a data task's answer in memory, a download's file).
  // A longer answer, announced or not, ends the task with Code::tooLarge as soon as the bytes
  // received pass it, and is not retried. Zero: no limit.
  std::uint64_t maxBodySize = 0;

  // Sets a header field, replacing an earlier one of the same name (case-insensitive).
  void setValue(std::string value, const std::string& field);
  std::optional<std::string> value(const std::string& field) const;
};

struct URLResponse {
  long statusCode = 0;
  HTTPHeaders headers;  // of the final response (after redirects), names as received
  std::optional<std::string> value(const std::string& field) const;
};

struct URLError {
  enum class Code {
    badURL,          // the URL did not parse, is not http(s), is plain http to a non-loopback
                     // host, or redirected to a URL the rules above refuse
    cannotConnect,   // refused, unresolvable, or TLS verification failed
    timedOut,        // idle or total time-out
    connectionLost,  // the connection dropped mid-transfer
    fileError,       // the upload file could not be read, or the download file written; a
                     // file that cannot be opened ends the task before anything is sent
    cancelled,       // cancel() or session shutdown
    tooLarge,        // the answer's body is longer than the request's maxBodySize
    other,           // e.g. too many redirects, a header field with a line break
  };
  Code code = Code::other;
  // For people. Names the request as scheme://host[:port]/path; never carries user info, a query
  // string, a header or a body.
  std::string message;
};

struct URLSessionConfiguration {
  // Longest gap without progress; a request's own timeout takes precedence.
  std::chrono::milliseconds requestTimeout{std::chrono::seconds(60)};
  // Longest time a whole transfer may take, from the moment it starts, retries included.
  std::chrono::milliseconds resourceTimeout{std::chrono::hours(24 * 7)};
  // Upper bound on connections open to one host at once; further tasks for it wait for one.
  long maxConnectionsPerHost = 6;
  // A PEM file of further CAs to trust beside the system's. defaultConfiguration() takes it from
  // VORELIA_EXTRA_CA_FILE when that is set and not empty.
  std::optional<std::filesystem::path> extraCAFile;
  // For requests that allow retries. defaultConfiguration() takes the base delay from
  // URLRetryPolicy::defaultBaseDelay().
  URLRetryPolicy retryPolicy;

  static URLSessionConfiguration defaultConfiguration();
};

// (data, response, error). data and response are present exactly when the server answered (any
// status; data is empty when the body is); error is present exactly when the transfer failed, and
// then neither of the others is.
using URLDataCompletion =
    std::function<void(std::optional<std::string> data, std::optional<URLResponse> response,
                       std::optional<URLError> error)>;
// (location, response, error), present as for URLDataCompletion. location is a file in the system's
// temporary folder, mode 0600, holding the body (of any status); it is removed when the completion
// returns, so move it away inside the completion to keep it.
using URLDownloadCompletion =
    std::function<void(std::optional<std::filesystem::path> location,
                       std::optional<URLResponse> response, std::optional<URLError> error)>;

class URLSessionTask {
 public:
  virtual ~URLSessionTask() = default;
  // Cancels the transfer if it is still running; its completion then runs with Code::cancelled.
  // Any thread; does nothing once the task ended, also after its session is gone.
  virtual void cancel() = 0;
};

class URLSession {
 public:
  explicit URLSession(
      URLSessionConfiguration configuration = URLSessionConfiguration::defaultConfiguration());
  // Cancels every running task and returns once each of their completions has returned.
  // REQUIRES: not called from one of this session's completions.
  ~URLSession();
  URLSession(const URLSession&) = delete;
  URLSession& operator=(const URLSession&) = delete;

  // The process-wide session with the default configuration. It is never destroyed.
  static URLSession& shared();

  // Every task starts at once; there is nothing to resume. Any thread may start tasks, also a
  // completion of this session.
  std::shared_ptr<URLSessionTask> dataTask(URLRequest request, URLDataCompletion completion);
  // Sends the file as the body, streamed from disk with its length known up front (never chunked,
  // no "Expect: 100-continue"). The method is the request's (usually PUT).
  std::shared_ptr<URLSessionTask> uploadTask(URLRequest request, std::filesystem::path fromFile,
                                             URLDataCompletion completion);
  // Streams the body into a temporary file.
  std::shared_ptr<URLSessionTask> downloadTask(URLRequest request,
                                               URLDownloadCompletion completion);
  // Both: sends the file as the body, as uploadTask does, and streams the answer into a temporary
  // file, as downloadTask does, so that neither a long request nor its long answer is held in
  // memory.
  std::shared_ptr<URLSessionTask> downloadTask(URLRequest request, std::filesystem::path fromFile,
                                               URLDownloadCompletion completion);

  const URLSessionConfiguration& configuration() const;

  // Removes the temporary download files that runs killed during a download left in folder (the
  // system's temporary folder); files of downloads under way, in any process, stay. Blocking file
  // work.
  static void removeAbandonedDownloads(const std::filesystem::path& folder);

 private:
  class Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorelia::platform
