#include "platform/secret_store.h"

#include <cstdlib>
#include <string_view>

#include "platform/user_directories.h"

namespace vorelia::platform {
namespace {

// The store of a misconfigured process: nothing is stored anywhere, so the problem shows.
class UnavailableSecretStore final : public SecretStore {
 public:
  bool save(const std::string&, const std::string&) override { return false; }
  std::optional<std::string> load(const std::string&) override { return std::nullopt; }
  bool remove(const std::string&) override { return false; }
};

}  // namespace

std::shared_ptr<SecretStore> SecretStore::system() {
  const char* forced = std::getenv("VORELIA_SECRET_STORE");
  const std::string_view choice = forced != nullptr ? forced : "";
  if (choice == "file") return file(libraryDirectory() / "Keychains");
  if (choice == "libsecret") {
    if (auto store = libsecret()) return store;
    return std::make_shared<UnavailableSecretStore>();
  }
  if (!choice.empty()) return std::make_shared<UnavailableSecretStore>();

  // Asking the bus costs up to a few seconds when it hangs: ask once per process.
  static const std::shared_ptr<SecretStore> service = libsecret();
  if (service) return service;
  return file(libraryDirectory() / "Keychains");
}

}  // namespace vorelia::platform
