// Keychain: the secrets of the plugin (in practice the login password under "password"), kept in
// the platform's secret store. Stateless. save and remove tell whether the store took the change,
// so that a login or a logout that did not stick can say so; load turns every failure into absent.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace vorelia {

struct Keychain {
  Keychain() = delete;

  // Stores str under key, replacing an earlier value. False when the store could not keep it.
  static bool save(const std::string& str, std::string_view forKey);
  // The string stored under key, exactly as saved; absent when there is none.
  static std::optional<std::string> load(std::string_view forKey);
  // Removes the item of key, if there is one. (The keychain calls this delete.) False when an item
  // may still be there.
  static bool remove(std::string_view forKey);
};

}  // namespace vorelia
