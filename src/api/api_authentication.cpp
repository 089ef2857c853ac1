// The token grant and the cached authorization header.
#include <utility>

#include "api/api.h"
#include "api/url_encoding.h"
#include "model/keychain.h"
#include "model/keys.h"
#include "platform/user_defaults.h"

namespace vorelia {

using platform::URLRequest;

void Api::GetAccessToken(std::function<void(std::optional<std::string>)> onTokenReceived) {
  RequestAccessToken([onTokenReceived = std::move(onTokenReceived)](TokenGrant grant) {
    onTokenReceived(std::move(grant.token));
  });
}

void Api::RequestAccessToken(std::function<void(TokenGrant)> onGranted) {
  const auto userName = state->userName.get();
  const auto password = state->password.get();
  if (!userName || !password) {
    platform::CompletionPool::shared().async(
        [onGranted = std::move(onGranted)] { onGranted(TokenGrant{}); });
    return;
  }

  // The password grant: both values form-encoded, so every character arrives as part of its value.
  auto request = Request(state->baseUrl + "Token",
                         Call{.method = "POST",
                              .authenticated = false,
                              .text = "grant_type=password&username=" + FormEncode(*userName) +
                                      "&password=" + FormEncode(*password),
                              .contentType = "application/x-www-form-urlencoded",
                              .headers = {{"Accept", "application/json"}},
                              .maxAnswerBytes = ShortAnswerLimit,
                              .followRedirects = false});

  platform::URLSession::shared().dataTask(
      std::move(*request),
      [onGranted = std::move(onGranted)](std::optional<std::string> data,
                                         std::optional<platform::URLResponse> response,
                                         std::optional<platform::URLError>) {
        // Data comes exactly when the service answered, whatever the status; an answer that
        // redirects ends without data, so the password never reaches the address it names.
        if (!data) return onGranted(TokenGrant{.token = std::nullopt, .serverFault = true});
        const JSON answer = JSON::Parse(*data);
        const JSON token = answer["access_token"];
        if (token.type() == JSON::Type::string) {
          return onGranted(TokenGrant{.token = token.stringValue(), .serverFault = false});
        }
        // The service refuses credentials with a 4xx, or with its own JSON; a server error or
        // somebody else's page says nothing about them.
        const long status = response ? response->statusCode : 0;
        const bool refusal = (status >= 400 && status < 500) ||
                             (status < 400 && answer.type() == JSON::Type::dictionary);
        onGranted(TokenGrant{.token = std::nullopt, .serverFault = !refusal});
      });
}

bool Api::SetAuthenticationHeader(URLRequest& request) {
  if (!state->IsAuthenticated()) {
    platform::DispatchSemaphore received(0);
    GetAccessToken([this, &received](std::optional<std::string> token) {
      if (token) StoreAccessToken(*token);
      received.signal();
    });
    // Ends when the token request has completed, at the latest after its time-out.
    received.wait();
  }
  // A failed grant leaves the previous header, if any, to be sent.
  const auto header = state->authenticationHeader();
  if (!header) return false;
  request.setValue(*header, "Authorization");
  return true;
}

void Api::ForgetRefusedLogin() {
  const auto defaults = platform::UserDefaults::standard();
  {
    std::scoped_lock lock(headerStoreMutex_);
    state->setAuthentication(std::nullopt, std::nullopt);
    defaults->remove(std::string(P::AuthenticationHeader));
    defaults->remove(std::string(P::AuthenticationHeaderLastRefresh));
  }
  Keychain::remove(P::Password);
  state->password.set(std::nullopt);
}

bool Api::StoreAccessToken(const std::string& token) {
  const std::string header = "BEARER " + token;
  const auto now = std::chrono::system_clock::now();
  const auto defaults = platform::UserDefaults::standard();
  std::scoped_lock lock(headerStoreMutex_);
  state->setAuthentication(header, now);
  const bool stored = defaults->set(std::string(P::AuthenticationHeader), header);
  return defaults->set(std::string(P::AuthenticationHeaderLastRefresh), now) && stored;
}

}  // namespace vorelia
