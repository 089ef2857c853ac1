#include "publish/script_runner.h"

#include <fcntl.h>
#include <stdio.h>  // renameat2, RENAME_NOREPLACE
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <vector>

#include "platform/process.h"
#include "platform/user_directories.h"

namespace vorelia {
namespace {

namespace fs = std::filesystem;

constexpr const char* DefaultInterpreter = "/usr/bin/osascript";
// More runs than this within one second with one prefix are not expected; beyond it the write
// fails rather than searching on.
constexpr int MaxNameAttempts = 1000;

std::string interpreter() {
  const char* chosen = std::getenv("VORELIA_OSASCRIPT");
  return chosen != nullptr && *chosen != '\0' ? chosen : DefaultInterpreter;
}

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t written = ::write(fd, text.data(), text.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

// Moves from to to unless to exists, in one step. false with errno EEXIST when to exists.
bool moveIntoPlace(const fs::path& from, const fs::path& to) {
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return true;
  }
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without exclusive renames: a hard link is just as exclusive.
  if (::link(from.c_str(), to.c_str()) != 0) return false;
  ::unlink(from.c_str());
  return true;
}

std::string numbered(const std::string& name, int number) {
  constexpr std::string_view Extension = ".scpt";
  return name.substr(0, name.size() - Extension.size()) + "_" + std::to_string(number) +
         std::string(Extension);
}

}  // namespace

std::optional<fs::path> scriptsFolder() {
  const fs::path library = platform::libraryDirectory();
  if (library.empty() || library == "Library") return std::nullopt;  // no home folder known
  return library / "Scripts" / "Capture One Scripts";
}

std::string scriptFileName(std::string_view prefix, std::chrono::system_clock::time_point now) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  char stamp[64];
  const std::size_t length = std::strftime(stamp, sizeof stamp, "%d_%m_%Y_%H_%M_%S", &local);
  return std::string(prefix) + std::string(stamp, length) + ".scpt";
}

std::optional<fs::path> writeScriptFile(const fs::path& folder, std::string_view prefix,
                                        std::string_view text,
                                        std::chrono::system_clock::time_point now) {
  // The text goes to a private temporary first and is moved into place complete, so the
  // interpreter never sees half a script and no other run's file is ever replaced.
  std::string pattern = (folder / ".vorelia-script-XXXXXX").string();
  std::vector<char> temporaryName(pattern.begin(), pattern.end());
  temporaryName.push_back('\0');
  const int fd = ::mkostemp(temporaryName.data(), O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  const fs::path temporary(temporaryName.data());
  const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
  if (::close(fd) != 0 || !written) {
    ::unlink(temporary.c_str());
    return std::nullopt;
  }

  const std::string name = scriptFileName(prefix, now);
  for (int attempt = 1; attempt <= MaxNameAttempts; ++attempt) {
    const fs::path target = folder / (attempt == 1 ? name : numbered(name, attempt));
    if (moveIntoPlace(temporary, target)) return target;
    if (errno != EEXIST) break;
  }
  ::unlink(temporary.c_str());
  return std::nullopt;
}

bool runScript(std::string_view prefix, std::string_view text,
               std::chrono::system_clock::time_point now) {
  const auto folder = scriptsFolder();
  if (!folder) return false;
  const auto file = writeScriptFile(*folder, prefix, text, now);
  if (!file) return false;
  const auto status = platform::runProcess("/usr/bin/env", {interpreter(), file->string()});
  std::error_code ignored;
  fs::remove(*file, ignored);
  return status && *status == 0;
}

}  // namespace vorelia
