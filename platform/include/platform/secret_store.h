// Secret store: secrets kept outside every ordinary file. The Secret Service (libsecret) when one
// answers on the session bus, else a file under $HOME/Library/Keychains with mode 0600 in a folder
// with mode 0700. VORELIA_SECRET_STORE=libsecret|file forces one. Secrets never reach a log or an
// error text. Every operation may be called from any thread; the calls block (disk, or a D-Bus
// round trip to the Secret Service) and never throw.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace vorelia::platform {

class SecretStore {
 public:
  virtual ~SecretStore() = default;

  // Stores secret under key, replacing an earlier one. Returns false when it could not be stored.
  virtual bool save(const std::string& key, const std::string& secret) = 0;
  // The secret under key, byte for byte as saved; absent when there is none or it cannot be read.
  virtual std::optional<std::string> load(const std::string& key) = 0;
  // Removes the secret under key; removing a missing key succeeds.
  virtual bool remove(const std::string& key) = 0;

  // The store for this process. VORELIA_SECRET_STORE=file: the file store under the current $HOME.
  // =libsecret: the Secret Service store, or when none answers a store whose every operation fails
  // (nothing is written anywhere, so the misconfiguration shows); any other non-empty value also
  // gives that failing store. Unset or empty: the Secret Service store when one answered the first
  // time this process asked, else the file store under the current $HOME. Never null.
  static std::shared_ptr<SecretStore> system();
  // A file store in folder ($HOME/Library/Keychains for system()): the file vorelia-secrets.json,
  // mode 0600, in folder, created 0700 when missing (and closed to others when it is ours and
  // open). Changes replace the file atomically and lock the folder, so threads and processes
  // sharing it lose nothing. Never null.
  static std::shared_ptr<SecretStore> file(std::filesystem::path folder);
  // The Secret Service store (libsecret; schema "com.vorelia.VoreliaC1Plugin.secret", attribute
  // "account" = key, default collection), or null when no Secret Service answers: at once when
  // DBUS_SESSION_BUS_ADDRESS is unset, else within a few seconds. Keys must be UTF-8 without NUL
  // (others are never stored). The session bus is GLib's shared connection: the bus of the first
  // successful call serves the rest of the process, and its loss never ends the process.
  static std::shared_ptr<SecretStore> libsecret();
};

}  // namespace vorelia::platform
