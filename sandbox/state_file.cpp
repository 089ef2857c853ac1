// The state file: its JSON form, loading, and the atomic write after every change.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "sandbox/http_util.h"
#include "sandbox/state.h"
#include "sandbox/views.h"

namespace vorelia::sandbox {
namespace {

constexpr std::string_view kFormat = "vorelia-sandbox-state";
constexpr int kVersion = 1;

std::int64_t toUnixSeconds(SystemClock::time_point time) {
  return std::chrono::duration_cast<std::chrono::seconds>(time.time_since_epoch()).count();
}

nlohmann::json itemJson(const Item& item) {
  return {{"id", item.id}, {"name", item.name}, {"order", item.order}, {"rating", item.rating}};
}

Item itemFrom(const nlohmann::json& json) {
  return Item{json.at("id").get<std::string>(), json.at("name").get<std::string>(),
              json.at("order").get<std::int64_t>(), json.value("rating", nlohmann::json())};
}

Credits creditsFrom(const nlohmann::json& json) {
  return Credits{json.at("credits").get<double>(), json.at("creditsUsed").get<double>(),
                 json.at("creditsLimit").get<double>(), json.at("extraCredits").get<double>()};
}

std::string errnoText() { return std::strerror(errno); }

std::string stateText(const StateData& data) {
  return toStateJson(data).dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

nlohmann::json toStateJson(const StateData& data) {
  nlohmann::json users = nlohmann::json::array();
  for (const User& user : data.users) {
    users.push_back({{"email", user.email},
                     {"salt", user.salt},
                     {"passwordHash", user.passwordHash},
                     {"accounts", user.accounts}});
  }
  nlohmann::json accounts = nlohmann::json::array();
  for (const Account& account : data.accounts) {
    nlohmann::json albums = nlohmann::json::array();
    for (const Album& album : account.albums) {
      nlohmann::json items = nlohmann::json::array();
      for (const Item& item : album.items) items.push_back(itemJson(item));
      albums.push_back({{"id", album.id}, {"name", album.name}, {"items", std::move(items)}});
    }
    accounts.push_back({{"name", account.name},
                        {"credits", creditsView(account.credits)},
                        {"albums", std::move(albums)}});
  }
  nlohmann::json tokens = nlohmann::json::array();
  for (const auto& [hash, token] : data.tokens) {
    tokens.push_back(
        {{"hash", hash}, {"email", token.email}, {"expiresAt", toUnixSeconds(token.expiresAt)}});
  }
  nlohmann::json shares = nlohmann::json::array();
  for (const Share& share : data.shares) {
    shares.push_back({{"code", share.code},
                      {"account", share.account},
                      {"albumIds", share.albumIds},
                      {"downloadEnabled", share.downloadEnabled}});
  }
  return {{"format", kFormat},           {"version", kVersion},
          {"users", std::move(users)},   {"accounts", std::move(accounts)},
          {"tokens", std::move(tokens)}, {"shares", std::move(shares)}};
}

std::optional<std::string> fromStateJson(const nlohmann::json& json, StateData& data) {
  if (!json.is_object() || json.value("format", "") != kFormat) return "not a sandbox state file";
  if (json.value("version", 0) != kVersion) return "a state file of another version";
  StateData loaded;
  try {
    for (const auto& user : json.at("users")) {
      loaded.users.push_back(User{user.at("email").get<std::string>(),
                                  user.at("salt").get<std::string>(),
                                  user.at("passwordHash").get<std::string>(),
                                  user.at("accounts").get<std::vector<std::string>>()});
    }
    for (const auto& account : json.at("accounts")) {
      Account& added = loaded.accounts.emplace_back();
      added.name = account.at("name").get<std::string>();
      added.credits = creditsFrom(account.at("credits"));
      for (const auto& album : account.at("albums")) {
        Album& addedAlbum = added.albums.emplace_back();
        addedAlbum.id = album.at("id").get<std::string>();
        addedAlbum.name = album.at("name").get<std::string>();
        for (const auto& item : album.at("items")) addedAlbum.items.push_back(itemFrom(item));
      }
    }
    for (const auto& token : json.at("tokens")) {
      const auto expiresAt =
          SystemClock::time_point(std::chrono::seconds(token.at("expiresAt").get<std::int64_t>()));
      loaded.tokens[token.at("hash").get<std::string>()] =
          Token{token.at("email").get<std::string>(), expiresAt};
    }
    for (const auto& share : json.at("shares")) {
      loaded.shares.push_back(Share{share.at("code").get<std::string>(),
                                    share.at("account").get<std::string>(),
                                    share.at("albumIds").get<std::vector<std::string>>(),
                                    share.at("downloadEnabled").get<bool>()});
    }
  } catch (const nlohmann::json::exception& error) {
    return std::string("a malformed state file: ") + error.what();
  }
  data = std::move(loaded);
  return std::nullopt;
}

std::optional<std::string> writeFileAtomically(const std::filesystem::path& path,
                                               const std::string& text) {
  const std::filesystem::path temporary =
      path.string() + ".tmp." + std::to_string(static_cast<long>(::getpid()));
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return "cannot create " + temporary.string() + ": " + errnoText();
  std::size_t written = 0;
  while (written < text.size()) {
    const ssize_t n = ::write(fd, text.data() + written, text.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const std::string message = "cannot write " + temporary.string() + ": " + errnoText();
      ::close(fd);
      ::unlink(temporary.c_str());
      return message;
    }
    written += static_cast<std::size_t>(n);
  }
  const bool synced = ::fsync(fd) == 0;
  const bool closed = ::close(fd) == 0;
  if (!synced || !closed || ::rename(temporary.c_str(), path.c_str()) != 0) {
    const std::string message = "cannot replace " + path.string() + ": " + errnoText();
    ::unlink(temporary.c_str());
    return message;
  }
  return std::nullopt;
}

std::optional<std::string> State::load() {
  if (!options_.file) return std::nullopt;
  std::error_code error;
  if (!std::filesystem::exists(*options_.file, error)) return std::nullopt;
  std::ifstream in(*options_.file, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) return "cannot read " + options_.file->string();
  const auto json = nlohmann::json::parse(text.str(), nullptr, /*allow_exceptions=*/false);
  if (json.is_discarded()) return options_.file->string() + " is not JSON";
  std::scoped_lock lock(mutex_);
  if (auto failure = fromStateJson(json, data_)) return options_.file->string() + ": " + *failure;
  return std::nullopt;
}

std::optional<std::string> State::save() {
  std::scoped_lock lock(mutex_);
  if (!options_.file) return std::nullopt;
  return writeFileAtomically(*options_.file, stateText(data_));
}

void State::commitLocked() {
  if (!options_.file) return;
  if (auto failure = writeFileAtomically(*options_.file, stateText(data_))) {
    std::cerr << "vorelia-sandbox: the state was not saved: " << *failure << std::endl;
  }
}

nlohmann::json State::snapshot(std::string_view webUrl) const {
  std::scoped_lock lock(mutex_);
  const auto current = now();
  nlohmann::json users = nlohmann::json::array();
  for (const User& user : data_.users) {
    std::size_t active = 0;
    for (const auto& [hash, token] : data_.tokens) {
      if (equalsIgnoreCase(token.email, user.email) && token.expiresAt > current) ++active;
    }
    users.push_back({{"email", user.email}, {"accounts", user.accounts}, {"activeTokens", active}});
  }
  nlohmann::json accounts = nlohmann::json::array();
  for (const Account& account : data_.accounts) {
    nlohmann::json albums = nlohmann::json::array();
    for (const Album& album : account.albums) albums.push_back(albumView(album, true));
    accounts.push_back({{"name", account.name},
                        {"credits", creditsView(account.credits)},
                        {"albums", std::move(albums)}});
  }
  nlohmann::json shares = nlohmann::json::array();
  for (const Share& share : data_.shares) shares.push_back(shareView(share, webUrl));
  return {{"users", std::move(users)},
          {"accounts", std::move(accounts)},
          {"shares", std::move(shares)},
          {"tokenCount", data_.tokens.size()}};
}

}  // namespace vorelia::sandbox
