#include "api/api.h"

#include "api/await.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace vorelia {

using platform::CompletionPool;
using platform::URLRequest;
using platform::URLResponse;
using platform::URLSession;

platform::URLSessionConfiguration Api::UploadSessionConfiguration() {
  auto configuration = platform::URLSessionConfiguration::defaultConfiguration();
  configuration.requestTimeout = std::chrono::seconds(180);
  configuration.resourceTimeout = std::chrono::seconds(14400);
  return configuration;
}

ApiOptions ApiOptions::WithTimeoutOverride(const char* milliseconds) {
  ApiOptions options;
  if (milliseconds == nullptr) return options;
  const char* end = milliseconds + std::strlen(milliseconds);
  std::int64_t value = 0;
  const auto [stop, error] = std::from_chars(milliseconds, end, value);
  if (error != std::errc{} || stop != end || value < 1) return options;
  const std::chrono::milliseconds limit(value);
  options.requestTimeout = std::min(options.requestTimeout, limit);
  options.uploadIdleTimeout = std::min(options.uploadIdleTimeout, limit);
  return options;
}

ApiOptions ApiOptions::FromEnvironment() {
  return WithTimeoutOverride(std::getenv("VORELIA_REQUEST_TIMEOUT_MS"));
}

std::optional<std::string> Api::CompactText(const JSON& value) {
  if (value.type() == JSON::Type::unknown) return std::nullopt;
  try {
    return value.object().dump();
  } catch (const nlohmann::json::exception&) {  // text that is not UTF-8
    return std::nullopt;
  }
}

namespace {

platform::URLSessionConfiguration UploadSession(std::chrono::milliseconds idleTimeout) {
  auto configuration = Api::UploadSessionConfiguration();
  configuration.requestTimeout = idleTimeout;
  return configuration;
}

}  // namespace

Api::Api(std::shared_ptr<PluginState> state, ApiOptions options)
    : state(std::move(state)),
      uploadUrlSession(UploadSession(options.uploadIdleTimeout)),
      visionUrlSession(UploadSession(options.uploadIdleTimeout)),
      options_(options) {}

std::optional<std::string> Api::AccountUrl(const std::string& pathAfterAccount) const {
  const auto account = state->account.get();
  if (!account) return std::nullopt;
  return state->baseUrl + "api/" + *account + pathAfterAccount;
}

std::optional<std::string> Api::CreateAccountBaseUrl() const {
  const auto createAccount = state->createAccount.get();
  if (!createAccount) return std::nullopt;
  return state->baseUrl + "api/accounts/" + *createAccount;
}

std::optional<std::string> Api::AccountStateUrl() const {
  const auto account = state->account.get();
  if (!account) return std::nullopt;
  return state->baseUrl + "api/Account/" + *account + "/State";
}

std::optional<std::string> Api::IsAccountValidUrl() const {
  const auto base = CreateAccountBaseUrl();
  if (!base) return std::nullopt;
  return *base + "/isvalid";
}

std::optional<std::string> Api::CreateAccountUrl() const { return CreateAccountBaseUrl(); }

std::optional<std::string> Api::ComputerVisionCreditsUrl() const { return AccountUrl("/credits"); }

std::optional<std::string> Api::ContainersUrl(const std::string& containerId, bool expand) const {
  return AccountUrl("/containers/" + containerId + (expand ? "?$expand" : ""));
}

std::optional<std::string> Api::ReorderUrl(const std::string& containerId) const {
  return AccountUrl("/containers/" + containerId + "/$synchronize");
}

std::optional<std::string> Api::InitUploadResourcesUrl(const std::string& containerId) const {
  return AccountUrl("/containers/" + containerId + "/inituploadresources");
}

std::optional<std::string> Api::TriggerEncodingUrl() const { return AccountUrl("/encode"); }

std::optional<std::string> Api::ShareUrl() const { return AccountUrl("/shares"); }

std::optional<std::string> Api::CreateVisionUrl() const { return AccountUrl("/visions"); }

std::optional<std::string> Api::AnalyseUrl(const std::string& visionId) const {
  return AccountUrl("/visions/" + visionId + "/analyse/");
}

std::optional<URLRequest> Api::Request(const std::optional<std::string>& url, Call call) {
  if (!url) return std::nullopt;
  URLRequest request;
  request.url = *url;
  request.method = call.method;
  request.timeout = options_.requestTimeout;
  if (!call.streamed) request.deadline = options_.requestTimeout;
  if (call.authenticated && !SetAuthenticationHeader(request)) return std::nullopt;
  if (call.contentType) request.setValue(*call.contentType, "Content-Type");
  request.headers.insert(request.headers.end(), call.headers.begin(), call.headers.end());
  // A body that cannot be serialised is left out; the request goes without one. A value that is
  // no object or array (an upload resource the service handed out as such) goes as its JSON text.
  // The body is shared, so that the copy of a request kept to send it again after a refused login
  // costs no second copy of a large task's whole list.
  auto body = call.text ? std::move(call.text) : call.body ? CompactText(*call.body) : std::nullopt;
  if (body) request.sharedBody = std::make_shared<const std::string>(std::move(*body));
  request.retryTransientFailures = call.repeatable || call.method == "GET";
  request.maxBodySize = call.maxAnswerBytes;
  request.followRedirects = call.followRedirects;
  return request;
}

template <typename Answer, typename Start>
void Api::SendWith(const std::optional<std::string>& url, Call call, Start start,
                   std::function<void(std::optional<Answer>, std::optional<URLResponse>)> done) {
  const bool authenticated = call.authenticated;
  auto bodyFile = std::move(call.bodyFile);
  auto request = Request(url, std::move(call));
  if (!request) {
    CompletionPool::shared().async([done = std::move(done)] { done(std::nullopt, std::nullopt); });
    return;
  }
  // Kept to be sent again should the login turn out refused; the header is the one sent. A body
  // file goes from disk, the first time and again; the completions hold it until then.
  std::optional<URLRequest> again;
  if (authenticated) again = *request;
  start(std::move(*request), bodyFile.get(),
        [weak = weak_from_this(), again = std::move(again), bodyFile, start,
         done = std::move(done)](std::optional<Answer> answer, std::optional<URLResponse> response,
                                 std::optional<platform::URLError>) mutable {
          const auto self = weak.lock();
          if (self && again && response && response->statusCode == 401) {
            if (auto header = self->RenewedHeader(*again)) {
              again->setValue(*header, "Authorization");
              start(std::move(*again), bodyFile.get(),
                    [bodyFile, done = std::move(done)](std::optional<Answer> answer,
                                                       std::optional<URLResponse> response,
                                                       std::optional<platform::URLError>) {
                      done(std::move(answer), std::move(response));
                    });
              return;
            }
          }
          done(std::move(answer), std::move(response));
        });
}

void Api::Send(const std::optional<std::string>& url, Call call, DataCompletion done) {
  SendWith<std::string>(
      url, std::move(call),
      [](URLRequest request, const BodyFile* bodyFile, platform::URLDataCompletion completion) {
        if (bodyFile) {
          URLSession::shared().uploadTask(std::move(request), bodyFile->path(),
                                          std::move(completion));
        } else {
          URLSession::shared().dataTask(std::move(request), std::move(completion));
        }
      },
      std::move(done));
}

void Api::SendForFile(const std::optional<std::string>& url, Call call, FileCompletion done) {
  SendWith<std::filesystem::path>(
      url, std::move(call),
      [](URLRequest request, const BodyFile* bodyFile, platform::URLDownloadCompletion completion) {
        if (bodyFile) {
          URLSession::shared().downloadTask(std::move(request), bodyFile->path(),
                                            std::move(completion));
        } else {
          URLSession::shared().downloadTask(std::move(request), std::move(completion));
        }
      },
      std::move(done));
}

std::optional<std::string> Api::RenewedHeader(const URLRequest& refused) {
  // On a completion thread, which may block: one grant at a time, and requests refused together
  // find the header of the grant that went first.
  std::scoped_lock renewing(renewalMutex_);
  auto header = state->authenticationHeader();
  if (header && header != refused.value("Authorization") && state->IsAuthenticated()) {
    return header;
  }
  const auto grant =
      Await<TokenGrant>([this](auto granted) { RequestAccessToken(std::move(granted)); });
  if (!grant.token) {
    if (grant.serverFault) {
      state->loginRenewal = PluginState::LoginRenewal::serverError;
    } else {
      ForgetRefusedLogin();
      state->loginRenewal = PluginState::LoginRenewal::expired;
    }
    return std::nullopt;
  }
  StoreAccessToken(*grant.token);
  return "BEARER " + *grant.token;
}

void Api::PutBlob(platform::URLSession& session, platform::DispatchSemaphore& throttle,
                  const std::optional<std::string>& url, const std::string& filePath,
                  UploadAttempts attempts, std::function<void(UploadOutcome)> done) {
  throttle.wait();
  // The signature in the address authorises the write: no "Authorization" header.
  auto request = Request(url, Call{.method = "PUT",
                                   .authenticated = false,
                                   .headers = {{"x-ms-blob-type", "BlockBlob"}},
                                   .repeatable = attempts == UploadAttempts::retried,
                                   .maxAnswerBytes = ShortAnswerLimit,
                                   .streamed = true});
  if (!request) {
    throttle.signal();
    CompletionPool::shared().async([done = std::move(done)] { done(UploadOutcome::refused); });
    return;
  }
  // The session finishes every task before it is destroyed, and the throttle outlives it.
  session.uploadTask(
      std::move(*request), filePath,
      [&throttle, done = std::move(done)](std::optional<std::string> data,
                                          std::optional<URLResponse> response,
                                          std::optional<platform::URLError> error) {
        using Code = platform::URLError::Code;
        auto outcome = UploadOutcome::refused;
        if (data && response && response->statusCode >= 200 && response->statusCode < 300) {
          outcome = UploadOutcome::stored;
        } else if (error && (error->code == Code::cannotConnect || error->code == Code::timedOut ||
                             error->code == Code::connectionLost)) {
          outcome = UploadOutcome::unreachable;
        }
        throttle.signal();
        done(outcome);
      });
}

void Api::SendForJSON(const std::optional<std::string>& url, Call call,
                      JSONCompletion onCompleted) {
  Send(url, std::move(call),
       [onCompleted = std::move(onCompleted)](std::optional<std::string> data,
                                              std::optional<URLResponse>) {
         if (!data) return onCompleted(std::nullopt);
         onCompleted(JSON::Parse(*data));
       });
}

}  // namespace vorelia
