// PluginState: everything the plugin knows between host calls. One instance per plugin, shared by
// the principal class, the service client and every workflow; written from network completions
// while the host reads it. Every field is read and replaced whole (Guarded, atomics), the
// authorization header and its date together under one lock, and the album-refresh flag is tested
// and set in one atomic step.
#pragma once

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "model/deployment.h"
#include "model/guarded.h"
#include "model/json.h"

namespace vorelia {

using Date = std::chrono::system_clock::time_point;
using OptionalString = std::optional<std::string>;

// How long an authorization header stays good after the grant that produced it: ten days.
inline constexpr std::chrono::seconds AuthenticationLifetime{864000};

// The version of this plugin unless the build that made the bundle says otherwise.
inline constexpr std::string_view DefaultPluginVersion = "0.1.5-beta";

class PluginState {
 public:
  explicit PluginState(const Deployment& deployment = Deployment::FromEnvironment(),
                       std::string currentVersion = std::string(DefaultPluginVersion));
  PluginState(const PluginState&) = delete;
  PluginState& operator=(const PluginState&) = delete;

  // The header and the date of the grant that produced it, read together.
  struct Authentication {
    OptionalString header;
    std::optional<Date> lastRefresh;
  };
  Authentication authentication() const;
  OptionalString authenticationHeader() const { return authentication().header; }
  std::optional<Date> authenticationHeaderLastRefresh() const {
    return authentication().lastRefresh;
  }
  // Sets (or, with absent values, clears) the header and its date in one step.
  void setAuthentication(OptionalString header, std::optional<Date> lastRefresh);
  // True exactly when a header and its date are present and the date plus ten days is later than
  // now.
  bool IsAuthenticated(Date now = std::chrono::system_clock::now()) const;

  // How the renewal of a login that the service refused (401) failed, for the host operation under
  // way to report: expired when the service refused the stored e-mail and password (or none were
  // stored), so the user must log in again; serverError when the token grant got no answer or a
  // server's fault, so the login stays. Set by the Api, read and cleared at the host boundary.
  enum class LoginRenewal { none, expired, serverError };
  std::atomic<LoginRenewal> loginRenewal{LoginRenewal::none};

  const std::string currentVersion;
  Guarded<OptionalString> updateVersion;
  std::atomic<bool> isCreatingAccount{false};
  Guarded<OptionalString> createAccount;
  Guarded<OptionalString> createUserName;
  Guarded<OptionalString> createPassword;
  Guarded<OptionalString> account;
  Guarded<OptionalString> userName;
  Guarded<OptionalString> password;
  Guarded<std::optional<std::vector<std::string>>> accounts;
  std::atomic<bool> isRefreshingContainers{false};
  Guarded<std::vector<JSON>> containers;
  Guarded<std::optional<std::map<std::string, std::vector<std::string>>>> containersWithRatings;
  std::atomic<bool> ratingsUpdated{false};
  Guarded<std::optional<JSON>> creditsInfo;
  std::atomic<bool> creditsUpdated{false};
  std::atomic<bool> general{false};
  std::atomic<bool> face{false};
  std::atomic<bool> adult{false};
  std::atomic<bool> describe{false};
  std::atomic<bool> celebrity{false};
  std::atomic<bool> landmark{false};
  std::atomic<bool> wedding{false};
  std::atomic<bool> food{false};
  std::atomic<bool> travel{false};
  std::atomic<bool> apparel{false};
  std::atomic<bool> texture{false};
  Guarded<std::string> taggingOption{"Green"};
  const std::string baseUrl;
  const std::string updateBaseUrl;
  const std::string updateUrl;  // always updateBaseUrl + "details.json"
  const std::string queueUrl;
  const std::string webUrl;

 private:
  mutable std::mutex authenticationMutex_;
  OptionalString authenticationHeader_;            // guarded by authenticationMutex_
  std::optional<Date> authenticationLastRefresh_;  // guarded by authenticationMutex_
};

}  // namespace vorelia
