#include "support/temp_home.h"

#include <cstdlib>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace vorelia::testing {

std::filesystem::path makeTempDirectory(const std::string& prefix) {
  std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
  if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
  return pattern;
}

TempHome::TempHome() : path_(makeTempDirectory("vorelia-home")) {
  if (const char* home = std::getenv("HOME")) previous_ = home;
  setenv("HOME", path_.c_str(), 1);
  // A plugin made in a test checks for updates at once and fetches albums after a login; unless
  // the test names a service (a library, a queue), that goes to a closed loopback port, never
  // past loopback into this HOME.
  setenv("VORELIA_API_URL", "http://127.0.0.1:9/", 0);
  setenv("VORELIA_UPDATE_URL", "http://127.0.0.1:9/updates/", 0);
  setenv("VORELIA_QUEUE_URL", "http://127.0.0.1:9/queue/messages", 0);
}

TempHome::~TempHome() {
  if (previous_) {
    setenv("HOME", previous_->c_str(), 1);
  } else {
    unsetenv("HOME");
  }
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::string& value)
    : name_(std::move(name)) {
  if (const char* old = std::getenv(name_.c_str())) previous_ = old;
  setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnvironment::~ScopedEnvironment() {
  if (previous_) {
    setenv(name_.c_str(), previous_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

}  // namespace vorelia::testing
