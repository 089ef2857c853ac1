// The file secret store: one JSON object mapping each key to its secret in base64 (so any bytes
// survive), in a file of mode 0600 inside a folder of mode 0700. Every operation locks the folder
// (flock), so threads and processes sharing the folder never lose each other's changes.
#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <nlohmann/json.hpp>

#include "file_util.h"
#include "platform/secret_store.h"

namespace vorelia::platform {
namespace {

namespace fs = std::filesystem;
using Secrets = std::map<std::string, std::string>;

constexpr const char* kFileName = "vorelia-secrets.json";

struct GFree {
  void operator()(void* memory) const { g_free(memory); }
};

std::string toBase64(const std::string& bytes) {
  std::unique_ptr<gchar, GFree> text(
      g_base64_encode(reinterpret_cast<const guchar*>(bytes.data()), bytes.size()));
  return text ? std::string(text.get()) : std::string();
}

std::optional<std::string> fromBase64(const std::string& text) {
  // g_base64_decode skips what it does not understand; a secret must not change silently.
  if (text.size() % 4 != 0) return std::nullopt;
  for (const char c : text) {
    if (!g_ascii_isalnum(c) && c != '+' && c != '/' && c != '=') return std::nullopt;
  }
  gsize length = 0;
  std::unique_ptr<guchar, GFree> bytes(g_base64_decode(text.c_str(), &length));
  if (!bytes) return std::string();
  return std::string(reinterpret_cast<const char*>(bytes.get()), length);
}

std::optional<Secrets> decodeSecrets(const std::string& text) {
  const auto root = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (!root.is_object()) return std::nullopt;
  Secrets secrets;
  for (const auto& [key, value] : root.items()) {
    if (!value.is_string()) return std::nullopt;
    auto secret = fromBase64(value.get_ref<const std::string&>());
    if (!secret) return std::nullopt;
    secrets.emplace(key, std::move(*secret));
  }
  return secrets;
}

std::optional<std::string> encodeSecrets(const Secrets& secrets) {
  nlohmann::json root = nlohmann::json::object();
  for (const auto& [key, secret] : secrets) root[key] = toBase64(secret);
  try {
    return root.dump(2) + "\n";  // throws on a key that is not UTF-8
  } catch (const nlohmann::json::exception&) {
    return std::nullopt;
  }
}

class FileSecretStore final : public SecretStore {
 public:
  explicit FileSecretStore(fs::path folder)
      : folder_(std::move(folder)), file_(folder_ / kFileName) {}

  bool save(const std::string& key, const std::string& secret) override {
    return change([&](Secrets& secrets) {
      secrets.insert_or_assign(key, secret);
      return true;
    });
  }

  std::optional<std::string> load(const std::string& key) override {
    const UniqueFd lock = lockFolder(LOCK_SH, /*create=*/false);
    if (!lock.valid()) return std::nullopt;
    const FileRead file = readWholeFile(file_);
    if (file.status != ReadStatus::ok) return std::nullopt;
    auto secrets = decodeSecrets(file.contents);
    if (!secrets) return std::nullopt;
    const auto found = secrets->find(key);
    if (found == secrets->end()) return std::nullopt;
    return std::move(found->second);
  }

  bool remove(const std::string& key) override {
    return change([&](Secrets& secrets) { return secrets.erase(key) > 0; });
  }

 private:
  // The folder opened and flock()ed with operation, or an invalid fd. With create, a missing folder
  // is made with mode 0700; a folder of ours that others can enter is closed to them.
  UniqueFd lockFolder(int operation, bool create) const {
    if (create && !makeFolders(folder_, 0700)) return {};
    UniqueFd fd(::open(folder_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NOFOLLOW));
    if (!fd.valid()) return {};
    struct stat info {};
    if (create && ::fstat(fd.get(), &info) == 0 && (info.st_mode & 077) != 0 &&
        info.st_uid == ::geteuid()) {
      ::fchmod(fd.get(), 0700);
    }
    while (::flock(fd.get(), operation) != 0) {
      if (errno != EINTR) return {};
    }
    return fd;
  }

  // Reads the secrets, applies edit and writes them back when edit says it changed them, all under
  // the exclusive lock. A file that cannot be read is set aside first: its secrets are lost to us
  // either way.
  template <typename Edit>
  bool change(Edit edit) {
    const UniqueFd lock = lockFolder(LOCK_EX, /*create=*/true);
    if (!lock.valid()) return false;
    removeStaleTemporaries(file_);
    Secrets secrets;
    const FileRead file = readWholeFile(file_);
    if (file.status == ReadStatus::ok) {
      if (auto stored = decodeSecrets(file.contents)) {
        secrets = std::move(*stored);
      } else {
        setAside(file_);
      }
    } else if (file.status == ReadStatus::failed) {
      setAside(file_);
    }
    if (!edit(secrets)) return true;
    const auto contents = encodeSecrets(secrets);
    return contents && replaceFileAtomically(file_, *contents);
  }

  const fs::path folder_;
  const fs::path file_;
};

}  // namespace

std::shared_ptr<SecretStore> SecretStore::file(fs::path folder) {
  return std::make_shared<FileSecretStore>(std::move(folder));
}

}  // namespace vorelia::platform
