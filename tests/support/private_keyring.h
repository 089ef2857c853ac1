// gnome-keyring with a new login keyring on a D-Bus session bus of its own (no service activation,
// so nothing but this keyring can answer), set as this process's session bus, for the Secret
// Service store's tests and benchmarks. GLib keeps the first session bus it connects to for the
// life of the process, so one serves a whole process and its address stays set. Both daemons
// detach; the keyring ends when its bus does, which the destructor stops.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>

namespace vorelia::testing {

class PrivateKeyring {
 public:
  PrivateKeyring();
  ~PrivateKeyring();
  PrivateKeyring(const PrivateKeyring&) = delete;
  PrivateKeyring& operator=(const PrivateKeyring&) = delete;

  // Empty when both daemons started, else what went wrong.
  std::string start();

  std::string log() const;  // what the daemons printed
  const std::filesystem::path& folder() const { return folder_; }

 private:
  const std::filesystem::path folder_;
  pid_t busPid_ = -1;
};

}  // namespace vorelia::testing
