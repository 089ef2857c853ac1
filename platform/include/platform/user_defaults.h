// User defaults: typed values per domain, one file per domain under $HOME/Library/Preferences.
// Every change replaces the file atomically (temporary file, fsync, rename), so a process killed in
// the middle of a write leaves the previous or the new file, never a torn one. A file that cannot
// be read is set aside (renamed with a ".corrupt" suffix) and a fresh domain started. Every member
// may be called from any thread at any time. Dates keep at least microsecond precision. The file
// holds a JSON object mapping each key to a typed wrapper, e.g. {"userName": {"string": "a@b"}},
// so every type survives a round trip.
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace vorelia::platform {

using Date = std::chrono::system_clock::time_point;
using DefaultsValue =
    std::variant<std::string, bool, std::int64_t, double, Date, std::vector<std::string>>;

class UserDefaults {
 public:
  // The defaults of this process: the domain named by VORELIA_DEFAULTS_DOMAIN, else the program's
  // name, under the current $HOME. One shared instance per file, so a change of HOME (tests) gives
  // a separate instance.
  static std::shared_ptr<UserDefaults> standard();

  // Loads (or starts) the domain stored at path. A file that cannot be read or parsed is renamed to
  // "<path>.corrupt-<UTC time>" and the domain starts empty. Temporaries left by writers that died
  // are removed. Prefer standard(): two instances on one file do not see each other's changes.
  explicit UserDefaults(std::filesystem::path path);
  UserDefaults(const UserDefaults&) = delete;
  UserDefaults& operator=(const UserDefaults&) = delete;
  // The file of a domain under the current $HOME.
  static std::filesystem::path PathForDomain(const std::string& domain);

  // The value under key, of whatever type; absent when the key is missing.
  std::optional<DefaultsValue> object(const std::string& key) const;
  // The string under key; absent when missing or not a string.
  std::optional<std::string> string(const std::string& key) const;
  // The Boolean under key: a Boolean as it is, a number as non-zero, a string "YES"/"true"/"1"
  // (any case) as true; false when missing or anything else.
  bool boolean(const std::string& key) const;
  // The date under key; absent when missing or not a date.
  std::optional<Date> date(const std::string& key) const;

  // Store and persist; the file is written before this returns. Returns false when the file could
  // not be written (the value is kept in memory for this process all the same). Strings that are
  // not UTF-8 are written with U+FFFD in place of their bad bytes.
  bool set(const std::string& key, DefaultsValue value);
  // Removes the key: it then reads as missing. Returns false when the file could not be written.
  bool remove(const std::string& key);

  const std::filesystem::path& path() const { return path_; }

 private:
  // Writes the values as they are now, unless a write that already holds change number
  // `generation` has succeeded. Concurrent setters share one write (group commit).
  bool persistThrough(std::uint64_t generation);

  const std::filesystem::path path_;

  mutable std::mutex mutex_;
  std::map<std::string, DefaultsValue> values_;  // guarded by mutex_
  std::uint64_t generation_ = 0;                 // guarded by mutex_; counts changes

  std::mutex writeMutex_;                  // taken before mutex_, never after
  std::uint64_t persistedGeneration_ = 0;  // guarded by writeMutex_; last change on disk
};

}  // namespace vorelia::platform
