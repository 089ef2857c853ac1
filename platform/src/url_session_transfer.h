// One request on one libcurl easy handle: its options, the callbacks that stream the body in and
// out, the idle clock, and the result handed to the task's completion.
//
// Threads: make() runs on the caller's thread; once the handle is added to the session's multi
// handle, every other member runs on the session's I/O thread only.
#pragma once

#include <curl/curl.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <variant>

#include "curl_handles.h"
#include "net_files.h"
#include "platform/url_session.h"
#include "url_policy.h"

namespace vorelia::platform::net {

// What a task does with the answer's body: keeps it in memory (data; upload, which sends a file),
// or writes it to a temporary file (download, which may send a file too).
enum class TaskKind { data, upload, download };

// What a task's completion receives. Either data (or file) with response, or error.
struct TransferResult {
  std::optional<std::string> data;    // data and upload tasks
  std::optional<TemporaryFile> file;  // download tasks
  std::optional<URLResponse> response;
  std::optional<URLError> error;

  static TransferResult failure(URLError error);
};

class Transfer {
 public:
  // Checks the request and prepares the handle. Returns the error that ends the task before
  // anything is sent: badURL, fileError (the upload file cannot be opened or the download file
  // created), or other (a malformed header field).
  // REQUIRES: uploadFile is set when kind is upload; a download may send one too, never a data
  // task.
  static std::variant<std::unique_ptr<Transfer>, URLError> make(
      URLRequest request, const URLSessionConfiguration& configuration, TaskKind kind,
      const std::optional<std::filesystem::path>& uploadFile);

  struct Key {};  // make() is the way to get a Transfer
  explicit Transfer(Key) {}
  ~Transfer() = default;
  Transfer(const Transfer&) = delete;
  Transfer& operator=(const Transfer&) = delete;

  CURL* handle() const { return easy_.get(); }
  // Starts the idle clock (and, at the first attempt, the clock of the whole task); call when the
  // handle joins the multi handle.
  void started();
  // When the transfer times out unless it makes progress before.
  std::chrono::steady_clock::time_point idleDeadline() const { return lastProgress_ + idle_; }
  // The result of a transfer libcurl ended with code.
  TransferResult finish(CURLcode code);
  // The result of a transfer the session ended: cancelled or idle too long.
  TransferResult cancelled() const;
  TransferResult idleTimedOut() const;

  // After an attempt that libcurl ended with code (CURLE_OPERATION_TIMEDOUT for the session's
  // idle time-out): the wait before the request is sent again, when the request allows retries
  // and the retry policy calls for one within the task's deadline; the retry is counted. Nothing
  // when the attempt's outcome is final. jitter is from [0, 1).
  std::optional<std::chrono::milliseconds> retryDelay(CURLcode code, double jitter);
  // Readies the handle, off the multi handle, for the next attempt: the body from its start,
  // nothing of the last answer kept, the total time-out shortened by the time already spent.
  // Returns false when the download file cannot be emptied.
  bool rewind();

 private:
  // What fileFailure_ says, as a task's error message begins.
  static constexpr const char* ReadFailure = "reading the upload file failed";
  static constexpr const char* WriteFailure = "writing the download failed";

  std::optional<URLError> configure(URLRequest& request,
                                    const URLSessionConfiguration& configuration,
                                    const CheckedURL& url);
  bool setBody(URLRequest& request);
  void touch() { lastProgress_ = std::chrono::steady_clock::now(); }
  bool startResponse(long status);

  static std::size_t onHeader(char* buffer, std::size_t size, std::size_t count, void* self);
  static std::size_t onBody(char* data, std::size_t size, std::size_t count, void* self);
  static std::size_t onRead(char* buffer, std::size_t size, std::size_t count, void* self);
  static int onSeek(void* self, curl_off_t offset, int origin);
  static int onProgress(void* self, curl_off_t downTotal, curl_off_t down, curl_off_t upTotal,
                        curl_off_t up);

  CurlEasy easy_;
  CurlHeaderList headers_;
  std::string redacted_;     // the URL as messages show it
  std::string requestBody_;  // a data task's body; libcurl reads it in place
  // Or its shared body, read in place too.
  std::shared_ptr<const std::string> sharedBody_;
  std::optional<UploadSource> upload_;     // an upload task's file
  std::uint64_t uploadOffset_ = 0;         // bytes of the file handed to libcurl
  std::optional<TemporaryFile> download_;  // a download task's body
  std::string responseBody_;               // a data task's body
  long status_ = 0;                        // of the response being received
  HTTPHeaders responseHeaders_;            // of the response being received
  const char* fileFailure_ = nullptr;  // what failed: reading the upload or writing the download
  bool redirectRefused_ = false;       // a redirect broke the http/https rules, or came
                                       // to a request that follows none
  bool followRedirects_ = true;
  std::uint64_t maxBody_ = 0;    // the request's maxBodySize; zero: no limit
  std::uint64_t bodyBytes_ = 0;  // of the response being received
  bool tooLarge_ = false;        // the body passed maxBody_
  std::chrono::milliseconds idle_{0};
  std::chrono::steady_clock::time_point lastProgress_;
  std::optional<URLRetryPolicy> retry_;  // set when the request allows retries
  int retries_ = 0;
  std::chrono::milliseconds total_{0};  // the task's deadline, from its first attempt
  std::optional<std::chrono::steady_clock::time_point> firstStarted_;
  curl_off_t progressDown_ = -1;
  curl_off_t progressUp_ = -1;
};

}  // namespace vorelia::platform::net
