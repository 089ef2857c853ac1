// Setting up a transfer's easy handle and turning its end into a TransferResult. The callbacks
// that move bytes live in url_session_callbacks.cpp.
#include "url_session_transfer.h"

#include <algorithm>
#include <utility>

#include "url_policy.h"

namespace vorelia::platform::net {
namespace {

bool hasField(const HTTPHeaders& headers, const std::string& field) {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& header) { return equalsIgnoringCase(header.first, field); });
}

bool fieldIsWellFormed(const std::pair<std::string, std::string>& header) {
  const auto& [name, value] = header;
  const bool nameOk = !name.empty() && std::none_of(name.begin(), name.end(), [](unsigned char c) {
    return c <= ' ' || c == ':' || c >= 0x7f;
  });
  const bool valueOk = value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
  return nameOk && valueOk;
}

// A header line for libcurl. "Name;" is libcurl's way to send a field with an empty value;
// "Name:" would remove the field instead.
std::string headerLine(const std::string& name, const std::string& value) {
  return value.empty() ? name + ";" : name + ": " + value;
}

}  // namespace

TransferResult TransferResult::failure(URLError error) {
  TransferResult result;
  result.error = std::move(error);
  return result;
}

std::variant<std::unique_ptr<Transfer>, URLError> Transfer::make(
    URLRequest request, const URLSessionConfiguration& configuration, TaskKind kind,
    const std::optional<std::filesystem::path>& uploadFile) {
  auto checked = checkURL(request.url);
  if (auto* error = std::get_if<URLError>(&checked)) return std::move(*error);
  const CheckedURL& url = std::get<CheckedURL>(checked);
  if (!std::all_of(request.headers.begin(), request.headers.end(), fieldIsWellFormed)) {
    return URLError{URLError::Code::other,
                    "a request header field is malformed (" + url.redacted + ")"};
  }

  auto transfer = std::make_unique<Transfer>(Key{});
  transfer->redacted_ = url.redacted;
  if (kind == TaskKind::upload || (kind == TaskKind::download && uploadFile)) {
    transfer->upload_ = openUploadSource(uploadFile.value_or(std::filesystem::path()));
    if (!transfer->upload_) {
      return URLError{URLError::Code::fileError,
                      "cannot read the upload file " + uploadFile.value_or("").string()};
    }
  }
  if (kind == TaskKind::download) {
    transfer->download_ = TemporaryFile::create(std::string(DownloadFilePrefix));
    if (!transfer->download_) {
      return URLError{URLError::Code::fileError, "cannot create a temporary download file"};
    }
  }
  if (auto error = transfer->configure(request, configuration, url)) return *error;
  return transfer;
}

std::optional<URLError> Transfer::configure(URLRequest& request,
                                            const URLSessionConfiguration& configuration,
                                            const CheckedURL& url) {
  ensureCurlInitialized();
  easy_.reset(curl_easy_init());
  if (!easy_) return URLError{URLError::Code::other, "cannot create a transfer handle"};
  CURL* easy = easy_.get();
  curl_easy_setopt(easy, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  followRedirects_ = request.followRedirects;
  maxBody_ = request.maxBodySize;
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, followRedirects_ ? 1L : 0L);
  curl_easy_setopt(easy, CURLOPT_MAXREDIRS, 10L);
  // Never from https down to http; onHeader also keeps http redirects on loopback.
  curl_easy_setopt(easy, CURLOPT_REDIR_PROTOCOLS_STR, url.https ? "https" : "http,https");
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L);

  // Verification stays on. An extra CA file is trusted beside the system's CA folder, which
  // libcurl keeps as its default CAPATH.
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  if (configuration.extraCAFile) {
    curl_easy_setopt(easy, CURLOPT_CAINFO, configuration.extraCAFile->c_str());
  }
  // A proxy from the environment must not see loopback traffic.
  if (url.loopback) curl_easy_setopt(easy, CURLOPT_PROXY, "");

  idle_ = request.timeout > std::chrono::milliseconds::zero() ? request.timeout
                                                              : configuration.requestTimeout;
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(idle_.count()));
  total_ = request.deadline > std::chrono::milliseconds::zero()
               ? std::min(request.deadline, configuration.resourceTimeout)
               : configuration.resourceTimeout;
  curl_easy_setopt(easy, CURLOPT_TIMEOUT_MS, static_cast<long>(total_.count()));
  if (request.retryTransientFailures) retry_ = configuration.retryPolicy;

  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, this);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, this);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, this);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, 256L * 1024);
  curl_easy_setopt(easy, CURLOPT_UPLOAD_BUFFERSIZE, 512L * 1024);

  const bool hasBody = setBody(request);
  bool listed = true;
  for (const auto& [name, value] : request.headers) {
    listed = listed && headers_.append(headerLine(name, value));
  }
  // libcurl adds "Content-Type: application/x-www-form-urlencoded" to a POST body and
  // "Expect: 100-continue" to large bodies; requests carry neither unless they ask for it.
  if (!hasField(request.headers, "Content-Type")) {
    listed = listed && headers_.append("Content-Type:");
  }
  if (hasBody && !hasField(request.headers, "Expect")) {
    listed = listed && headers_.append("Expect:");
  }
  if (!listed) return URLError{URLError::Code::other, "cannot list the header fields"};
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers_.get());
  return std::nullopt;
}

// Chooses how libcurl sends the method and the body. Returns whether a body is sent.
bool Transfer::setBody(URLRequest& request) {
  CURL* easy = easy_.get();
  const std::string method = request.method.empty() ? "GET" : request.method;
  const auto customMethod = [&](const char* native) {
    if (method != native) curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, method.c_str());
  };
  if (upload_) {
    // Streamed from the file with its length announced: Content-Length, never chunked.
    const auto size = static_cast<curl_off_t>(upload_->size);
    if (method == "POST") {
      curl_easy_setopt(easy, CURLOPT_POST, 1L);
      curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, size);
    } else {
      curl_easy_setopt(easy, CURLOPT_UPLOAD, 1L);
      curl_easy_setopt(easy, CURLOPT_INFILESIZE_LARGE, size);
      customMethod("PUT");
    }
    curl_easy_setopt(easy, CURLOPT_READFUNCTION, &Transfer::onRead);
    curl_easy_setopt(easy, CURLOPT_READDATA, this);
    curl_easy_setopt(easy, CURLOPT_SEEKFUNCTION, &Transfer::onSeek);
    curl_easy_setopt(easy, CURLOPT_SEEKDATA, this);
    return true;
  }
  const bool bodyMethod = method == "POST" || method == "PUT" || method == "PATCH";
  if (request.body || request.sharedBody || bodyMethod) {
    // A body method without a body still sends "Content-Length: 0".
    if (!request.body && request.sharedBody) {
      sharedBody_ = std::move(request.sharedBody);
    } else {
      requestBody_ = std::move(request.body).value_or(std::string());
    }
    const std::string& bytes = sharedBody_ ? *sharedBody_ : requestBody_;
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(bytes.size()));
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, bytes.data());
    customMethod("POST");
    return true;
  }
  if (method == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else {
    customMethod("GET");
  }
  return false;
}

void Transfer::started() {
  progressDown_ = progressUp_ = -1;
  touch();
  if (!firstStarted_) firstStarted_ = lastProgress_;
}

std::optional<std::chrono::milliseconds> Transfer::retryDelay(CURLcode code, double jitter) {
  // A file that failed, a refused redirect or an answer too long would fail the same way again.
  if (!retry_ || !firstStarted_ || fileFailure_ != nullptr || redirectRefused_ || tooLarge_) {
    return std::nullopt;
  }
  const auto retryAfter =
      std::find_if(responseHeaders_.begin(), responseHeaders_.end(),
                   [](const auto& h) { return equalsIgnoringCase(h.first, "Retry-After"); });
  URLRetryPolicy::Attempt attempt;
  attempt.status = status_;
  attempt.connectionFailed = isConnectionFailure(code);
  attempt.timedOut = code == CURLE_OPERATION_TIMEDOUT;
  if (retryAfter != responseHeaders_.end()) attempt.retryAfter = retryAfter->second;
  attempt.timeLeft = std::chrono::ceil<std::chrono::milliseconds>(*firstStarted_ + total_ -
                                                                  std::chrono::steady_clock::now());
  const auto delay =
      retry_->delayAfter(retries_, attempt, jitter, std::chrono::system_clock::now());
  if (delay) ++retries_;
  return delay;
}

bool Transfer::rewind() {
  uploadOffset_ = 0;
  status_ = 0;
  bodyBytes_ = 0;
  responseHeaders_.clear();
  responseBody_.clear();
  if (download_ && !download_->truncate()) return false;
  // The task's total time-out counts from its first attempt.
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*firstStarted_ + total_ -
                                                                 std::chrono::steady_clock::now());
  curl_easy_setopt(easy_.get(), CURLOPT_TIMEOUT_MS,
                   static_cast<long>(std::max<std::chrono::milliseconds::rep>(1, left.count())));
  return true;
}

TransferResult Transfer::finish(CURLcode code) {
  if (code != CURLE_OK || fileFailure_ != nullptr || redirectRefused_ || tooLarge_) {
    if (tooLarge_) {
      return TransferResult::failure(
          {URLError::Code::tooLarge,
           "the answer is longer than " + std::to_string(maxBody_) + " bytes (" + redacted_ + ")"});
    }
    if (fileFailure_ != nullptr) {
      return TransferResult::failure(
          {URLError::Code::fileError, std::string(fileFailure_) + " (" + redacted_ + ")"});
    }
    if (redirectRefused_) {
      return TransferResult::failure(
          {URLError::Code::badURL, std::string(followRedirects_ ? "refused a redirect to plain http"
                                                                : "refused to follow a redirect") +
                                       " (" + redacted_ + ")"});
    }
    return TransferResult::failure(errorForCurlCode(code, redacted_));
  }
  TransferResult result;
  long status = 0;
  curl_easy_getinfo(easy_.get(), CURLINFO_RESPONSE_CODE, &status);
  result.response = URLResponse{status, std::move(responseHeaders_)};
  if (download_) {
    if (!download_->close()) {
      return TransferResult::failure(
          {URLError::Code::fileError, std::string(WriteFailure) + " (" + redacted_ + ")"});
    }
    result.file.emplace(std::move(*download_));
  } else {
    result.data = std::move(responseBody_);
  }
  return result;
}

TransferResult Transfer::cancelled() const {
  return TransferResult::failure({URLError::Code::cancelled, "cancelled (" + redacted_ + ")"});
}

TransferResult Transfer::idleTimedOut() const {
  return TransferResult::failure(
      {URLError::Code::timedOut,
       "timed out: no progress for " + std::to_string(idle_.count()) + " ms (" + redacted_ + ")"});
}

}  // namespace vorelia::platform::net
