// The sandbox's model of the service: users with passwords and related accounts, accounts with
// credits and albums, albums with items and client ratings, bearer tokens and share links.
//
// Thread-safe: one mutex guards all of it, and every call is one atomic step. With a state file,
// every change is written to the file atomically (temporary file, fsync, rename) before the
// changing call returns, so the file survives a crash or a SIGKILL. Passwords and tokens are kept
// only as salted hashes. Names of users (e-mail addresses), accounts and albums match without
// regard to ASCII letter case and keep the spelling they were created with.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "sandbox/result.h"

namespace vorelia::sandbox {

using SystemClock = std::chrono::system_clock;
using NowFunction = std::function<SystemClock::time_point()>;

// Bounds that keep the memory of a long-running sandbox finite. Going past one is refused with
// status 400, except for tokens, where the ones closest to expiry make room.
inline constexpr std::size_t kMaxUsers = 10000;
inline constexpr std::size_t kMaxAccounts = 10000;
inline constexpr std::size_t kMaxAlbumsPerAccount = 10000;
inline constexpr std::size_t kMaxItemsPerAlbum = 250000;
inline constexpr std::size_t kMaxTokens = 10000;
inline constexpr std::size_t kMaxShares = 10000;

// Computer-vision credits. Analyses cost fractions of a credit (1.5, 2.5), hence doubles.
struct Credits {
  double credits = 100;
  double creditsUsed = 0;
  double creditsLimit = 100;
  double extraCredits = 0;
};

struct Item {
  std::string id;
  std::string name;
  std::int64_t order = 0;
  nlohmann::json rating;  // null: not rated; else a number (stars) or a Boolean (a pick)
};

struct Album {
  std::string id;
  std::string name;
  std::vector<Item> items;  // sorted by order; items of equal order keep their relative place
};

struct Account {
  std::string name;
  Credits credits;
  std::vector<Album> albums;  // in creation order
};

struct User {
  std::string email;
  std::string salt;
  std::string passwordHash;
  std::vector<std::string> accounts;  // related accounts, in the order they were related
};

struct Token {
  std::string email;
  SystemClock::time_point expiresAt;
};

struct Share {
  std::string code;
  std::string account;
  std::vector<std::string> albumIds;
  bool downloadEnabled = false;
};

struct StateData {
  std::vector<User> users;
  std::vector<Account> accounts;
  std::unordered_map<std::string, Token> tokens;  // by SHA-256 of the token text
  std::vector<Share> shares;                      // oldest first
};

// What the admin interface seeds. Absent ids are generated; absent orders follow the last item.
struct ItemSeed {
  std::optional<std::string> id;
  std::string name;
  std::optional<std::int64_t> order;
  nlohmann::json rating;  // null clears
};
struct AlbumSeed {
  std::optional<std::string> id;
  std::string name;
  std::vector<ItemSeed> items;
};
struct UserSeed {
  std::string email;
  std::string password;
  std::vector<std::string> accounts;  // created when missing
};
struct CreditsPatch {
  std::optional<double> credits, creditsUsed, creditsLimit, extraCredits;
};
struct ItemOrder {
  std::string id;
  std::int64_t order = 0;
};
struct IssuedToken {
  std::string token;
  std::int64_t expiresIn = 0;  // seconds
};
struct SharedAlbums {
  Share share;
  std::vector<Album> albums;  // in the order shared; albums removed since are left out
};
struct AlbumUpsert {
  Album album;
  bool created = false;
};

// Account names: 2 to 100 ASCII letters, digits, '-' and '_'.
bool isValidAccountName(std::string_view name);

class State {
 public:
  struct Options {
    std::chrono::seconds tokenLifetime{std::chrono::hours(24 * 14)};
    NowFunction now;                            // empty: the system clock
    std::optional<std::filesystem::path> file;  // the state file, if any
  };
  explicit State(Options options);

  // Reads the state file when one is configured and exists; a missing file is an empty state.
  // Returns a message when the file cannot be read or does not hold a sandbox state.
  std::optional<std::string> load();
  // Writes the state file now (a start-up check that it can be written); nothing without one.
  std::optional<std::string> save();

  // Tokens. A grant needs the right password for the e-mail address; authenticate returns the
  // user's e-mail address or a 401 failure (unknown or expired token).
  std::optional<IssuedToken> grant(std::string_view email, std::string_view password);
  Result<std::string> authenticate(std::string_view token) const;
  Result<IssuedToken> issueToken(std::string_view email, std::optional<std::chrono::seconds> life);
  // Both act on every token, or on the tokens of one user; they return how many they touched.
  std::size_t expireTokens(std::optional<std::string_view> email);
  std::size_t revokeTokens(std::optional<std::string_view> email);

  // Users and accounts.
  std::vector<std::string> relatedAccounts(std::string_view email) const;
  // The account's own spelling when the user is related to it.
  std::optional<std::string> relatedAccount(std::string_view email, std::string_view account) const;
  bool isAccountNameFree(std::string_view name) const;  // valid and not taken
  // 400 bad name or empty credentials, 409 name taken, 403 existing user with another password.
  Outcome createAccount(std::string_view name, std::string_view email, std::string_view password);
  std::optional<Account> account(std::string_view name) const;  // a copy

  // Albums. All fail with 404 for an unknown account, album or item.
  Result<AlbumUpsert> createAlbumIfMissing(std::string_view account, std::string_view name);
  Outcome reorder(std::string_view account, std::string_view albumId,
                  const std::vector<ItemOrder>& orders);  // all or nothing
  // Appends a new item (an upload that finished encoding) after the album's last one. 404 for an
  // unknown account or album id, 400 when the album is full.
  Result<Item> addItem(std::string_view account, std::string_view albumId, std::string id,
                       std::string name);
  // Whether the account has an album with that id.
  bool hasAlbum(std::string_view account, std::string_view albumId) const;
  // What a share link shows now.
  std::optional<SharedAlbums> shared(std::string_view code) const;
  bool isShared(std::string_view code) const;
  // A client's rating through a share link. The item is found by id, and only in the albums
  // shared under code (the first one holding it), so a link never reaches another album's items.
  // 404 for an unknown code or an item outside those albums, 400 for a value that is no rating.
  Result<Item> rateShared(std::string_view code, std::string_view itemId,
                          const nlohmann::json& rating);
  // The same albums shared again give the same code.
  Result<Share> share(std::string_view account, const std::vector<std::string>& albumIds,
                      bool downloadEnabled);

  // Admin. Upserts create what is missing and update what exists.
  Outcome upsertUser(const UserSeed& seed);
  Outcome upsertAccount(std::string_view name, const CreditsPatch& credits);
  Outcome updateCredits(std::string_view account, const CreditsPatch& credits);
  // Takes cost from the account's credits (and counts it as used), all or nothing: 404 for an
  // unknown account, 402 when fewer than cost credits remain. Returns the credits afterwards.
  Result<Credits> spendCredits(std::string_view account, double cost);
  // Albums and items are found by id, else by name; album is an id or a name.
  Result<Album> upsertAlbum(std::string_view account, const AlbumSeed& seed);
  Result<Item> setRating(std::string_view account, std::string_view album, std::string_view item,
                         const nlohmann::json& rating);
  void seedDemo();
  void reset();
  // Everything but password hashes and tokens; share links start with webUrl.
  nlohmann::json snapshot(std::string_view webUrl) const;

 private:
  SystemClock::time_point now() const;
  // Helpers that REQUIRE mutex_ held.
  User* findUserLocked(std::string_view email);
  const User* findUserLocked(std::string_view email) const;
  Account* findAccountLocked(std::string_view name);
  const Account* findAccountLocked(std::string_view name) const;
  Outcome upsertUserLocked(const UserSeed& seed);
  Account& ensureAccountLocked(std::string_view name);  // REQUIRES: name valid, room left
  Result<Album> upsertAlbumLocked(Account& account, const AlbumSeed& seed);
  IssuedToken issueTokenLocked(const std::string& email, std::chrono::seconds lifetime);
  void commitLocked();  // writes the state file, if any

  const Options options_;
  mutable std::mutex mutex_;
  StateData data_;  // guarded by mutex_
};

// The state file's text for data, and back. fromStateJson returns a message on failure.
nlohmann::json toStateJson(const StateData& data);
std::optional<std::string> fromStateJson(const nlohmann::json& json, StateData& data);

// Replaces path with text: temporary file beside it, fsync, rename. Returns a message on failure.
std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               const std::string& text);

}  // namespace vorelia::sandbox
