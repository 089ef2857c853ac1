// Users, tokens and accounts of the sandbox state.
#include "sandbox/state.h"

#include <algorithm>

#include "sandbox/http_util.h"
#include "sandbox/secrets.h"

namespace vorelia::sandbox {
namespace {

bool isAccountNameCharacter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

void applyCredits(Credits& credits, const CreditsPatch& patch) {
  credits.credits = patch.credits.value_or(credits.credits);
  credits.creditsUsed = patch.creditsUsed.value_or(credits.creditsUsed);
  credits.creditsLimit = patch.creditsLimit.value_or(credits.creditsLimit);
  credits.extraCredits = patch.extraCredits.value_or(credits.extraCredits);
}

std::int64_t secondsOf(std::chrono::seconds lifetime) {
  return static_cast<std::int64_t>(lifetime.count());
}

}  // namespace

bool isValidAccountName(std::string_view name) {
  return name.size() >= 2 && name.size() <= 100 &&
         std::all_of(name.begin(), name.end(), isAccountNameCharacter);
}

State::State(Options options) : options_(std::move(options)) {}

SystemClock::time_point State::now() const {
  return options_.now ? options_.now() : SystemClock::now();
}

User* State::findUserLocked(std::string_view email) {
  for (User& user : data_.users) {
    if (equalsIgnoreCase(user.email, email)) return &user;
  }
  return nullptr;
}

const User* State::findUserLocked(std::string_view email) const {
  return const_cast<State*>(this)->findUserLocked(email);
}

Account* State::findAccountLocked(std::string_view name) {
  for (Account& account : data_.accounts) {
    if (equalsIgnoreCase(account.name, name)) return &account;
  }
  return nullptr;
}

const Account* State::findAccountLocked(std::string_view name) const {
  return const_cast<State*>(this)->findAccountLocked(name);
}

Account& State::ensureAccountLocked(std::string_view name) {
  if (Account* existing = findAccountLocked(name)) return *existing;
  data_.accounts.push_back(Account{std::string(name), Credits{}, {}});
  return data_.accounts.back();
}

IssuedToken State::issueTokenLocked(const std::string& email, std::chrono::seconds lifetime) {
  const auto current = now();
  std::erase_if(data_.tokens, [&](const auto& entry) { return entry.second.expiresAt <= current; });
  while (data_.tokens.size() >= kMaxTokens) {
    const auto soonest = std::min_element(
        data_.tokens.begin(), data_.tokens.end(),
        [](const auto& a, const auto& b) { return a.second.expiresAt < b.second.expiresAt; });
    data_.tokens.erase(soonest);
  }
  std::string token = randomToken();
  data_.tokens[sha256Hex(token)] = Token{email, current + lifetime};
  return IssuedToken{std::move(token), secondsOf(lifetime)};
}

std::optional<IssuedToken> State::grant(std::string_view email, std::string_view password) {
  std::scoped_lock lock(mutex_);
  const User* user = findUserLocked(email);
  if (user == nullptr ||
      !constantTimeEquals(passwordHash(user->salt, password), user->passwordHash)) {
    return std::nullopt;
  }
  IssuedToken issued = issueTokenLocked(user->email, options_.tokenLifetime);
  commitLocked();
  return issued;
}

Result<std::string> State::authenticate(std::string_view token) const {
  std::scoped_lock lock(mutex_);
  const auto found = data_.tokens.find(sha256Hex(token));
  if (found == data_.tokens.end())
    return Failure{401, "Authorization has been denied: unknown token"};
  if (found->second.expiresAt <= now()) {
    return Failure{401, "Authorization has been denied: the token has expired"};
  }
  if (findUserLocked(found->second.email) == nullptr) {
    return Failure{401, "Authorization has been denied: the user no longer exists"};
  }
  return found->second.email;
}

Result<IssuedToken> State::issueToken(std::string_view email,
                                      std::optional<std::chrono::seconds> life) {
  std::scoped_lock lock(mutex_);
  const User* user = findUserLocked(email);
  if (user == nullptr) return Failure{404, "no such user"};
  if (life && life->count() < 0) return Failure{400, "a lifetime cannot be negative"};
  IssuedToken issued = issueTokenLocked(user->email, life.value_or(options_.tokenLifetime));
  commitLocked();
  return issued;
}

std::size_t State::expireTokens(std::optional<std::string_view> email) {
  std::scoped_lock lock(mutex_);
  const auto current = now();
  std::size_t count = 0;
  for (auto& [hash, token] : data_.tokens) {
    if ((!email || equalsIgnoreCase(token.email, *email)) && token.expiresAt > current) {
      token.expiresAt = current - std::chrono::seconds(1);
      ++count;
    }
  }
  commitLocked();
  return count;
}

std::size_t State::revokeTokens(std::optional<std::string_view> email) {
  std::scoped_lock lock(mutex_);
  const std::size_t count = std::erase_if(data_.tokens, [&](const auto& entry) {
    return !email || equalsIgnoreCase(entry.second.email, *email);
  });
  commitLocked();
  return count;
}

std::vector<std::string> State::relatedAccounts(std::string_view email) const {
  std::scoped_lock lock(mutex_);
  const User* user = findUserLocked(email);
  return user == nullptr ? std::vector<std::string>{} : user->accounts;
}

std::optional<std::string> State::relatedAccount(std::string_view email,
                                                 std::string_view account) const {
  std::scoped_lock lock(mutex_);
  const User* user = findUserLocked(email);
  if (user == nullptr) return std::nullopt;
  for (const std::string& name : user->accounts) {
    if (equalsIgnoreCase(name, account)) return name;
  }
  return std::nullopt;
}

bool State::isAccountNameFree(std::string_view name) const {
  std::scoped_lock lock(mutex_);
  return isValidAccountName(name) && findAccountLocked(name) == nullptr;
}

Outcome State::createAccount(std::string_view name, std::string_view email,
                             std::string_view password) {
  std::scoped_lock lock(mutex_);
  if (!isValidAccountName(name)) return Failure{400, "The account name is not valid"};
  if (email.empty() || password.empty())
    return Failure{400, "A user name and a password are needed"};
  if (findAccountLocked(name) != nullptr) return Failure{409, "The account name is already taken"};
  if (data_.accounts.size() >= kMaxAccounts) return Failure{400, "Too many accounts"};
  const User* user = findUserLocked(email);
  if (user != nullptr &&
      !constantTimeEquals(passwordHash(user->salt, password), user->passwordHash)) {
    return Failure{403, "A user with this e-mail address exists with another password"};
  }
  if (user == nullptr && data_.users.size() >= kMaxUsers) return Failure{400, "Too many users"};
  return upsertUserLocked(UserSeed{std::string(email), std::string(password), {std::string(name)}});
}

std::optional<Account> State::account(std::string_view name) const {
  std::scoped_lock lock(mutex_);
  const Account* found = findAccountLocked(name);
  return found == nullptr ? std::nullopt : std::optional<Account>(*found);
}

Outcome State::upsertUser(const UserSeed& seed) {
  std::scoped_lock lock(mutex_);
  return upsertUserLocked(seed);
}

Outcome State::upsertUserLocked(const UserSeed& seed) {
  if (seed.email.empty() || seed.password.empty()) {
    return Failure{400, "A user needs an e-mail address and a password"};
  }
  std::size_t newAccounts = 0;
  for (const std::string& name : seed.accounts) {
    if (!isValidAccountName(name)) return Failure{400, "Not a valid account name: " + name};
    if (findAccountLocked(name) == nullptr) ++newAccounts;
  }
  if (data_.accounts.size() + newAccounts > kMaxAccounts) return Failure{400, "Too many accounts"};
  User* user = findUserLocked(seed.email);
  if (user == nullptr) {
    if (data_.users.size() >= kMaxUsers) return Failure{400, "Too many users"};
    data_.users.push_back(User{seed.email, {}, {}, {}});
    user = &data_.users.back();
  }
  user->salt = randomToken(16);
  user->passwordHash = passwordHash(user->salt, seed.password);
  for (const std::string& name : seed.accounts) {
    const std::string canonical = ensureAccountLocked(name).name;
    const bool related = std::any_of(user->accounts.begin(), user->accounts.end(),
                                     [&](const auto& a) { return equalsIgnoreCase(a, canonical); });
    if (!related) user->accounts.push_back(canonical);
  }
  commitLocked();
  return std::nullopt;
}

Outcome State::upsertAccount(std::string_view name, const CreditsPatch& credits) {
  std::scoped_lock lock(mutex_);
  if (!isValidAccountName(name)) return Failure{400, "Not a valid account name"};
  if (findAccountLocked(name) == nullptr && data_.accounts.size() >= kMaxAccounts) {
    return Failure{400, "Too many accounts"};
  }
  applyCredits(ensureAccountLocked(name).credits, credits);
  commitLocked();
  return std::nullopt;
}

Result<Credits> State::spendCredits(std::string_view account, double cost) {
  std::scoped_lock lock(mutex_);
  Account* found = findAccountLocked(account);
  if (found == nullptr) return Failure{404, "The account does not exist"};
  if (found->credits.credits < cost) return Failure{402, "Not enough credits"};
  found->credits.credits -= cost;
  found->credits.creditsUsed += cost;
  commitLocked();
  return found->credits;
}

Outcome State::updateCredits(std::string_view account, const CreditsPatch& patch) {
  std::scoped_lock lock(mutex_);
  Account* found = findAccountLocked(account);
  if (found == nullptr) return Failure{404, "no such account"};
  applyCredits(found->credits, patch);
  commitLocked();
  return std::nullopt;
}

void State::reset() {
  std::scoped_lock lock(mutex_);
  data_ = StateData{};
  commitLocked();
}

}  // namespace vorelia::sandbox
