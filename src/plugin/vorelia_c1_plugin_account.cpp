// The connection side of the preference page: the page frame, the account fields and the login,
// account creation, account choice and logout events.
#include <utility>

#include "api/await.h"
#include "model/keychain.h"
#include "model/keys.h"
#include "model/text.h"
#include "platform/regex_predicate.h"
#include "platform/user_defaults.h"
#include "plugin/connection_page.h"
#include "plugin/host_boundary.h"
#include "plugin/vorelia_c1_plugin.h"

namespace vorelia {
namespace {

using platform::UserDefaults;

// 2 to 100 characters; letters, digits, "_" and "-", first and last a letter or digit.
constexpr std::string_view AccountNamePattern =
    "^(?=.{2,100}$)[a-zA-Z0-9](?:[a-zA-Z0-9_-]*[a-zA-Z0-9])?$";

// An address as the mail standard allows: a dot-atom or quoted local part, then a domain name or a
// bracketed address literal.
constexpr std::string_view EmailPattern =
    R"re((?:[a-zA-Z0-9!#$%\&'*+/=?\^_`{|}~-]+(?:\.[a-zA-Z0-9!#$%\&'*+/=?\^_`{|}~-]+)*|"(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")@(?:(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?|\[(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?|[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))re";

void Reload(const COSettingsCallback& callback) {
  if (callback) callback(COSettingsCallbackAction::reloadSettings, std::nullopt);
}

std::optional<std::string> TrimmedString(const COValue& value) {
  if (const auto* text = std::get_if<std::string>(&value)) {
    return TrimmingWhitespaceAndNewlines(*text);
  }
  return std::nullopt;
}

// Clears the re-entrance flag on every way out of handle().
class HandlingScope {
 public:
  explicit HandlingScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~HandlingScope() { flag_ = false; }
  HandlingScope(const HandlingScope&) = delete;
  HandlingScope& operator=(const HandlingScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

bool VoreliaC1Plugin::isAccountValid(const std::string& name) const {
  return platform::regexMatches(name, AccountNamePattern);
}

bool VoreliaC1Plugin::isValid(const std::string& email) const {
  return platform::regexMatches(email, EmailPattern);
}

void VoreliaC1Plugin::connectionSettings(COSettingsElementsGroup& group) {
  AppendConnected(group, *state);
}

std::vector<COSettingsElementsGroup> VoreliaC1Plugin::settings(COError* error) {
  return Guard(error, std::vector<COSettingsElementsGroup>{}, [&] {
    COSettingsElementsGroup connection{"Connection", {}};
    if (!state->IsAuthenticated()) {
      if (state->isCreatingAccount) {
        AppendCreateAccountForm(connection, *state);
      } else {
        AppendLoginForm(connection, *state);
      }
      return std::vector{connection};
    }
    const auto account = state->account.get();
    if (account && !account->empty()) {
      connectionSettings(connection);
      COSettingsElementsGroup proofing{"Proofing", {}};
      proofingSettings(proofing);
      COSettingsElementsGroup tagging{"Auto Tagging", {}};
      autoTaggingWrapperSettings(tagging);
      return std::vector{connection, proofing, tagging};
    }
    const auto accounts = state->accounts.get();
    if (!accounts || accounts->empty()) {
      AppendNoAccounts(connection);
    } else {
      AppendAccountChooser(connection, *accounts);
    }
    return std::vector{connection};
  });
}

bool VoreliaC1Plugin::didUpdateValue(const COValue& value, const std::string& identifier,
                                     const COSettingsCallback& callback, COError* error) {
  return Guard(error, true, [&] {
    const auto defaults = UserDefaults::standard();
    if (identifier == "userName-input") {
      const auto text = TrimmedString(value);
      if (!text) return true;
      const std::string email = LowercasedAscii(*text);
      if (!isValid(email)) return true;  // not an address: keep the earlier one
      defaults->set(std::string(P::UserName), email);
      state->userName.set(email);
    } else if (identifier == "password-input") {
      const auto password = TrimmedString(value);
      if (!password) return true;
      // A store that fails here is told at the login, which stores the password again.
      (void)Keychain::save(*password, P::Password);
      state->password.set(*password);
    } else if (identifier == "accounts-action") {
      const auto* chosen = std::get_if<std::vector<std::string>>(&value);
      if (chosen == nullptr || chosen->empty()) return true;
      defaults->set(std::string(P::Account), chosen->front());
      state->account.set(chosen->front());
      refreshAlbumsOfChosenAccount();
      Reload(callback);
    } else if (identifier == "createAccountName-input") {
      if (auto text = TrimmedString(value)) state->createAccount.set(std::move(text));
    } else if (identifier == "createEmail-input") {
      if (auto text = TrimmedString(value)) state->createUserName.set(std::move(text));
    } else if (identifier == "createPassword-input") {
      if (auto text = TrimmedString(value)) state->createPassword.set(std::move(text));
    } else {
      return didUpdateTaggingValue(value, identifier, callback);
    }
    return true;
  });
}

bool VoreliaC1Plugin::handle(COSettingsEvent, const COSettingsItem& item,
                             const COSettingsCallback& callback, COError* error) {
  if (isHandlingAction) return true;  // an event during another is dropped without callback
  HandlingScope scope(isHandlingAction);
  return Guard(error, false, [&] {
    return WithLoginRenewal(*state, [&] {
      const auto& id = item.identifier;
      if (id == "login-action") {
        logIn(callback);
      } else if (id == "createDo-action") {
        createAccount(callback);
      } else if (id == "logout-action") {
        logOut(callback);
      } else if (id == "refreshAccounts-action") {
        // The only account, chosen here for the user, gets its album list as a chosen one does.
        if (refreshAccounts().size() == 1) refreshAlbumsOfChosenAccount();
        Reload(callback);
      } else if (id == "createAccount-action" || id == "createCancel-action") {
        state->isCreatingAccount = id == "createAccount-action";
        Reload(callback);
      } else if (id == "checkCredits-action") {
        auto credits = Await<std::optional<JSON>>(
            [&](auto done) { api->GetComputerVisionCredits(std::move(done)); });
        state->creditsInfo.set(std::move(credits));
        state->creditsUpdated = true;
        Reload(callback);
      } else {
        handleTaggingEvent(id, callback);
      }
      return true;
    });
  });
}

void VoreliaC1Plugin::obtainToken() {
  const auto grant =
      Await<Api::TokenGrant>([&](auto done) { api->RequestAccessToken(std::move(done)); });
  // No answer, or a server's fault, is not the user's.
  if (grant.serverFault) throw Failure(PluginError::serverError);
  if (!grant.token) throw Failure(PluginError::invalidUserNameOrPassword);
  if (!api->StoreAccessToken(*grant.token)) throw Failure(PluginError::loginNotSaved);
}

void VoreliaC1Plugin::refreshAlbumsOfChosenAccount() {
  const auto account = state->account.get();
  // Without an account there is no album list to ask for; choosing one starts it then.
  if (account && !account->empty()) api->RefreshContainers();
}

std::vector<std::string> VoreliaC1Plugin::refreshAccounts() {
  auto accounts =
      Await<std::vector<std::string>>([&](auto done) { api->GetRelatedAccounts(std::move(done)); });
  state->accounts.set(accounts);
  if (accounts.size() == 1) {  // the only account is chosen for the user
    UserDefaults::standard()->set(std::string(P::Account), accounts.front());
    state->account.set(accounts.front());
  }
  return accounts;
}

void VoreliaC1Plugin::logIn(const COSettingsCallback& callback) {
  const auto userName = state->userName.get();
  if (!userName || !isValid(*userName)) throw Failure(PluginError::invalidEmail);
  const auto password = state->password.get();
  if (!password || password->empty()) throw Failure(PluginError::invalidPassword);
  // A login that would be gone at the next start says so now.
  if (!Keychain::save(*password, P::Password)) throw Failure(PluginError::loginNotSaved);
  obtainToken();
  if (refreshAccounts().empty()) throw Failure(PluginError::invalidNoRelatedAccounts);
  refreshAlbumsOfChosenAccount();
  Reload(callback);
}

void VoreliaC1Plugin::createAccount(const COSettingsCallback& callback) {
  const auto name = state->createAccount.get();
  if (!name || !isAccountValid(*name)) throw Failure(PluginError::invalidAccount);
  const auto email = state->createUserName.get();
  if (!email || !isValid(*email)) throw Failure(PluginError::invalidEmail);
  const auto password = state->createPassword.get();
  if (!password || password->empty()) throw Failure(PluginError::invalidPassword);
  if (!api->IsAccountValid()) throw Failure(PluginError::invalidAccountOrTaken);
  if (!api->CreateAccount()) return;  // the form stays for another try

  // The new account becomes the login.
  state->account.set(name);
  state->userName.set(email);
  state->password.set(password);
  state->accounts.set(std::vector{*name});
  const auto defaults = UserDefaults::standard();
  defaults->set(std::string(P::Account), *name);
  defaults->set(std::string(P::UserName), *email);
  if (!Keychain::save(*password, P::Password)) throw Failure(PluginError::loginNotSaved);

  obtainToken();
  state->isCreatingAccount = false;
  refreshAlbumsOfChosenAccount();
  Reload(callback);
}

void VoreliaC1Plugin::logOut(const COSettingsCallback& callback) {
  // Every store is tried; this run is logged out whatever they say, and a store that kept the
  // login is reported, since the next start would otherwise be signed in again.
  const auto defaults = UserDefaults::standard();
  bool removed = true;
  for (auto key :
       {P::UserName, P::Account, P::AuthenticationHeader, P::AuthenticationHeaderLastRefresh}) {
    removed = defaults->remove(std::string(key)) && removed;
  }
  removed = Keychain::remove(P::Password) && removed;
  state->userName.set(std::nullopt);
  state->password.set(std::nullopt);
  state->account.set(std::nullopt);
  state->setAuthentication(std::nullopt, std::nullopt);
  Reload(callback);
  if (!removed) throw Failure(PluginError::logoutNotSaved);
}

}  // namespace vorelia
