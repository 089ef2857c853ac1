// URLSession and its value types on top of SessionCore.
#include "platform/url_session.h"

#include <cstdlib>
#include <mutex>
#include <utility>

#include "net_files.h"
#include "platform/leftovers.h"
#include "url_policy.h"
#include "url_session_core.h"

namespace vorelia::platform {
namespace net {

void ensureCurlInitialized() {
  static const CURLcode initialized = curl_global_init(CURL_GLOBAL_DEFAULT);
  (void)initialized;
}

}  // namespace net

namespace {

std::optional<std::string> headerValue(const HTTPHeaders& headers, const std::string& field) {
  for (const auto& [name, value] : headers) {
    if (net::equalsIgnoringCase(name, field)) return value;
  }
  return std::nullopt;
}

// Hands a download's file to its completion, and removes the file once the completion returned.
net::Delivery deliverDownload(URLDownloadCompletion completion) {
  return [completion = std::move(completion)](net::TransferResult result) {
    std::optional<std::filesystem::path> location;
    if (result.file) location = result.file->path();
    if (completion) {
      completion(std::move(location), std::move(result.response), std::move(result.error));
    }
    // result.file goes out of scope here and removes the temporary file.
  };
}

class SessionTask final : public URLSessionTask {
 public:
  SessionTask(std::weak_ptr<net::SessionCore> core, std::uint64_t id)
      : core_(std::move(core)), id_(id) {}

  void cancel() override {
    // A task may outlive its session; cancelling it then does nothing.
    if (auto core = core_.lock()) core->cancel(id_);
  }

 private:
  std::weak_ptr<net::SessionCore> core_;
  std::uint64_t id_;
};

}  // namespace

void URLRequest::setValue(std::string value, const std::string& field) {
  for (auto& [name, existing] : headers) {
    if (net::equalsIgnoringCase(name, field)) {
      existing = std::move(value);
      return;
    }
  }
  headers.emplace_back(field, std::move(value));
}

std::optional<std::string> URLRequest::value(const std::string& field) const {
  return headerValue(headers, field);
}

std::optional<std::string> URLResponse::value(const std::string& field) const {
  return headerValue(headers, field);
}

URLSessionConfiguration URLSessionConfiguration::defaultConfiguration() {
  URLSessionConfiguration configuration;
  if (const char* extra = std::getenv("VORELIA_EXTRA_CA_FILE"); extra != nullptr && *extra != 0) {
    configuration.extraCAFile = std::filesystem::path(extra);
  }
  configuration.retryPolicy.baseDelay = URLRetryPolicy::defaultBaseDelay();
  return configuration;
}

class URLSession::Impl {
 public:
  explicit Impl(URLSessionConfiguration configuration)
      : configuration(std::move(configuration)),
        core(net::SessionCore::create(this->configuration.maxConnectionsPerHost)) {}

  std::shared_ptr<URLSessionTask> start(URLRequest request, net::TaskKind kind,
                                        const std::optional<std::filesystem::path>& uploadFile,
                                        net::Delivery deliver) {
    auto made = net::Transfer::make(std::move(request), configuration, kind, uploadFile);
    std::uint64_t id = 0;
    if (auto* error = std::get_if<URLError>(&made)) {
      id = core->reject(std::move(*error), std::move(deliver));
    } else {
      id = core->submit(std::move(std::get<std::unique_ptr<net::Transfer>>(made)),
                        std::move(deliver));
    }
    return std::make_shared<SessionTask>(core, id);
  }

  const URLSessionConfiguration configuration;
  const std::shared_ptr<net::SessionCore> core;
};

URLSession::URLSession(URLSessionConfiguration configuration)
    : impl_(std::make_unique<Impl>(std::move(configuration))) {}

URLSession::~URLSession() { impl_->core->shutdown(); }

URLSession& URLSession::shared() {
  // Never destroyed: its completions may run while the process exits.
  static URLSession& session = *std::make_unique<URLSession>().release();
  return session;
}

std::shared_ptr<URLSessionTask> URLSession::dataTask(URLRequest request,
                                                     URLDataCompletion completion) {
  return impl_->start(std::move(request), net::TaskKind::data, std::nullopt,
                      [completion = std::move(completion)](net::TransferResult result) {
                        if (completion) {
                          completion(std::move(result.data), std::move(result.response),
                                     std::move(result.error));
                        }
                      });
}

std::shared_ptr<URLSessionTask> URLSession::uploadTask(URLRequest request,
                                                       std::filesystem::path fromFile,
                                                       URLDataCompletion completion) {
  return impl_->start(std::move(request), net::TaskKind::upload, std::move(fromFile),
                      [completion = std::move(completion)](net::TransferResult result) {
                        if (completion) {
                          completion(std::move(result.data), std::move(result.response),
                                     std::move(result.error));
                        }
                      });
}

std::shared_ptr<URLSessionTask> URLSession::downloadTask(URLRequest request,
                                                         URLDownloadCompletion completion) {
  return impl_->start(std::move(request), net::TaskKind::download, std::nullopt,
                      deliverDownload(std::move(completion)));
}

std::shared_ptr<URLSessionTask> URLSession::downloadTask(URLRequest request,
                                                         std::filesystem::path fromFile,
                                                         URLDownloadCompletion completion) {
  return impl_->start(std::move(request), net::TaskKind::download, std::move(fromFile),
                      deliverDownload(std::move(completion)));
}

void URLSession::removeAbandonedDownloads(const std::filesystem::path& folder) {
  removeAbandoned(folder, std::string(net::DownloadFilePrefix) + "-");
}

const URLSessionConfiguration& URLSession::configuration() const { return impl_->configuration; }

}  // namespace vorelia::platform
