// A temporary HOME for one test: created empty, set as $HOME while the object lives, then removed
// and the previous HOME restored. Keeps every test's defaults, secrets and folders apart. It also
// sets VORELIA_API_URL, VORELIA_UPDATE_URL and VORELIA_QUEUE_URL to a closed loopback port when
// they are unset (and leaves them so), so that what a plugin made in a test sends stays on
// loopback.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace vorelia::testing {

class TempHome {
 public:
  TempHome();
  ~TempHome();
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
  std::optional<std::string> previous_;
};

// Sets an environment variable while the object lives, then restores the previous value.
class ScopedEnvironment {
 public:
  ScopedEnvironment(std::string name, const std::string& value);
  ~ScopedEnvironment();
  ScopedEnvironment(const ScopedEnvironment&) = delete;
  ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

 private:
  std::string name_;
  std::optional<std::string> previous_;
};

// A fresh empty folder under the system's temporary folder.
std::filesystem::path makeTempDirectory(const std::string& prefix);

}  // namespace vorelia::testing
