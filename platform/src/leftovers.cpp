#include "platform/leftovers.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <system_error>
#include <utility>
#include <vector>

namespace vorelia::platform {

namespace fs = std::filesystem;

namespace {

// Opens path (a file or a folder, never through a link) for locking; -1 when it cannot be.
int openForLock(const fs::path& path) {
  return ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
}

}  // namespace

InUseLock::InUseLock(const fs::path& path) : fd_(openForLock(path)) {
  if (fd_ < 0) return;
  struct stat locked {};
  struct stat named {};
  // A sweep that opened the entry first removes it and lets go: the lock then holds what is gone.
  if (::flock(fd_, LOCK_EX) != 0 || ::fstat(fd_, &locked) != 0 ||
      ::lstat(path.c_str(), &named) != 0 || locked.st_ino != named.st_ino ||
      locked.st_dev != named.st_dev) {
    ::close(fd_);
    fd_ = -1;
  }
}

InUseLock::InUseLock(InUseLock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

InUseLock& InUseLock::operator=(InUseLock&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
  }
  return *this;
}

InUseLock::~InUseLock() {
  if (fd_ >= 0) ::close(fd_);
}

void removeAbandoned(const fs::path& folder, std::string_view prefix,
                     const std::function<void(const fs::path&)>& beforeRemoving) {
  std::error_code ec;
  std::vector<fs::path> candidates;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->path().filename().string().starts_with(prefix)) candidates.push_back(it->path());
  }
  for (const auto& path : candidates) {
    const int fd = openForLock(path);
    // A live process holds it; a link or an entry that cannot be opened is nobody's lock.
    if (fd >= 0 && ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      ::close(fd);
      continue;
    }
    if (beforeRemoving) beforeRemoving(path);
    fs::remove_all(path, ec);
    if (fd >= 0) ::close(fd);
  }
}

}  // namespace vorelia::platform
