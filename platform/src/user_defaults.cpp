#include "platform/user_defaults.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

#include "defaults_codec.h"
#include "file_util.h"
#include "platform/user_directories.h"

namespace vorelia::platform {
namespace {

namespace fs = std::filesystem;

// The domain of this process: VORELIA_DEFAULTS_DOMAIN, else the program's short name. A value that
// could leave the Preferences folder is not a domain.
std::string processDomain() {
  const auto usable = [](const std::string& name) {
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
  };
  if (const char* domain = std::getenv("VORELIA_DEFAULTS_DOMAIN"); domain && usable(domain)) {
    return domain;
  }
  if (usable(program_invocation_short_name)) return program_invocation_short_name;
  return "vorelia";
}

bool isTrueText(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text == "yes" || text == "true" || text == "1";
}

struct BooleanOf {
  bool operator()(const std::string& value) const { return isTrueText(value); }
  bool operator()(bool value) const { return value; }
  bool operator()(std::int64_t value) const { return value != 0; }
  bool operator()(double value) const { return value != 0.0; }
  bool operator()(const Date&) const { return false; }
  bool operator()(const std::vector<std::string>&) const { return false; }
};

}  // namespace

std::shared_ptr<UserDefaults> UserDefaults::standard() {
  static std::mutex registryMutex;
  // guarded by registryMutex; one instance per file, kept for the life of the process
  static std::map<fs::path, std::shared_ptr<UserDefaults>> registry;

  fs::path file = PathForDomain(processDomain());
  std::scoped_lock lock(registryMutex);
  auto& instance = registry[file];
  if (!instance) instance = std::make_shared<UserDefaults>(std::move(file));
  return instance;
}

fs::path UserDefaults::PathForDomain(const std::string& domain) {
  return libraryDirectory() / "Preferences" / (domain + ".json");
}

UserDefaults::UserDefaults(fs::path path) : path_(std::move(path)) {
  removeStaleTemporaries(path_);
  FileRead file = readWholeFile(path_);
  if (file.status == ReadStatus::missing) return;
  if (file.status == ReadStatus::ok) {
    if (auto values = decodeDefaults(file.contents)) {
      values_ = std::move(*values);
      return;
    }
  }
  // Unreadable: keep it for a person to look at, and start again.
  setAside(path_);
}

std::optional<DefaultsValue> UserDefaults::object(const std::string& key) const {
  std::scoped_lock lock(mutex_);
  const auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  return found->second;
}

std::optional<std::string> UserDefaults::string(const std::string& key) const {
  std::scoped_lock lock(mutex_);
  const auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&found->second)) return *text;
  return std::nullopt;
}

bool UserDefaults::boolean(const std::string& key) const {
  std::scoped_lock lock(mutex_);
  const auto found = values_.find(key);
  return found != values_.end() && std::visit(BooleanOf{}, found->second);
}

std::optional<Date> UserDefaults::date(const std::string& key) const {
  std::scoped_lock lock(mutex_);
  const auto found = values_.find(key);
  if (found == values_.end()) return std::nullopt;
  if (const auto* value = std::get_if<Date>(&found->second)) return *value;
  return std::nullopt;
}

bool UserDefaults::set(const std::string& key, DefaultsValue value) {
  std::uint64_t generation = 0;
  {
    std::scoped_lock lock(mutex_);
    values_.insert_or_assign(key, std::move(value));
    generation = ++generation_;
  }
  return persistThrough(generation);
}

bool UserDefaults::remove(const std::string& key) {
  std::uint64_t generation = 0;
  {
    std::scoped_lock lock(mutex_);
    if (values_.erase(key) == 0) return true;
    generation = ++generation_;
  }
  return persistThrough(generation);
}

bool UserDefaults::persistThrough(std::uint64_t generation) {
  std::scoped_lock writeLock(writeMutex_);
  if (persistedGeneration_ >= generation) return true;  // another setter's write carried ours
  std::string contents;
  std::uint64_t snapshot = 0;
  {
    std::scoped_lock lock(mutex_);
    contents = encodeDefaults(values_);
    snapshot = generation_;
  }
  if (!makeFolders(path_.parent_path(), 0755) || !replaceFileAtomically(path_, contents)) {
    return false;
  }
  persistedGeneration_ = snapshot;
  return true;
}

}  // namespace vorelia::platform
