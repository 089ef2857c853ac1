#include "platform/user_directories.h"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace vorelia::platform {
namespace {

// The home folder in the password database, or empty when there is none.
std::filesystem::path passwordDatabaseHome() {
  const long suggested = ::sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(suggested > 0 ? static_cast<size_t>(suggested) : 4096);
  for (;;) {
    passwd entry{};
    passwd* found = nullptr;
    const int error = ::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found);
    if (error == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 2);
      continue;
    }
    if (error != 0 || found == nullptr || found->pw_dir == nullptr) return {};
    return found->pw_dir;
  }
}

}  // namespace

std::filesystem::path homeDirectory() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  return passwordDatabaseHome();
}

std::filesystem::path libraryDirectory() { return homeDirectory() / "Library"; }

std::filesystem::path downloadsDirectory() { return homeDirectory() / "Downloads"; }

}  // namespace vorelia::platform
