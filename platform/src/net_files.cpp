#include "net_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string>
#include <system_error>
#include <utility>

namespace vorelia::platform::net {
namespace {

// The temporary files alive now. The shared session is never destroyed, so a download still
// running when the process exits would leave its file: the exit removes what is listed here.
struct LiveTemporaries {
  std::mutex mutex;
  std::set<std::string> paths;  // guarded by mutex
};

LiveTemporaries& liveTemporaries() {
  // Never destroyed: the exit handler below reads it after static destructors may have run.
  static LiveTemporaries* const live = [] {
    auto* made = new LiveTemporaries;
    std::atexit([] {
      LiveTemporaries& all = liveTemporaries();
      std::scoped_lock lock(all.mutex);
      for (const auto& path : all.paths) ::unlink(path.c_str());
    });
    return made;
  }();
  return *live;
}

}  // namespace

FileDescriptor& FileDescriptor::operator=(FileDescriptor&& other) noexcept {
  if (this != &other) {
    reset();
    fd_ = other.release();
  }
  return *this;
}

int FileDescriptor::release() { return std::exchange(fd_, -1); }

bool FileDescriptor::reset() {
  if (fd_ < 0) return true;
  // close() releases the descriptor even when it fails; it is not retried.
  return ::close(std::exchange(fd_, -1)) == 0;
}

bool writeAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(fd, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

std::optional<UploadSource> openUploadSource(const std::filesystem::path& path) {
  FileDescriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd) return std::nullopt;
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return UploadSource{std::move(fd), static_cast<std::uint64_t>(info.st_size)};
}

std::optional<TemporaryFile> TemporaryFile::create(const std::string& prefix) {
  std::error_code error;
  const auto folder = std::filesystem::temp_directory_path(error);
  if (error) return std::nullopt;
  for (int attempt = 0; attempt < MakeAttempts; ++attempt) {
    std::string pattern = (folder / (prefix + "-XXXXXX")).string();
    // mkostemp creates the file with mode 0600.
    FileDescriptor fd(::mkostemp(pattern.data(), O_CLOEXEC));
    if (!fd) return std::nullopt;
    LiveTemporaries& live = liveTemporaries();
    {
      std::scoped_lock lock(live.mutex);
      live.paths.insert(pattern);
    }
    TemporaryFile file(std::filesystem::path(pattern), std::move(fd));
    if (file.lock_.held()) return file;
  }
  return std::nullopt;
}

TemporaryFile::TemporaryFile(TemporaryFile&& other) noexcept
    : path_(std::exchange(other.path_, {})),
      fd_(std::move(other.fd_)),
      lock_(std::move(other.lock_)) {}

TemporaryFile& TemporaryFile::operator=(TemporaryFile&& other) noexcept {
  if (this != &other) {
    remove();
    path_ = std::exchange(other.path_, {});
    fd_ = std::move(other.fd_);
    lock_ = std::move(other.lock_);
  }
  return *this;
}

TemporaryFile::~TemporaryFile() { remove(); }

void TemporaryFile::remove() {
  fd_.reset();
  if (!path_.empty()) {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
    LiveTemporaries& live = liveTemporaries();
    std::scoped_lock lock(live.mutex);
    live.paths.erase(path_.string());
    path_.clear();
  }
  lock_ = InUseLock();
}

bool TemporaryFile::truncate() {
  return fd_ && ::ftruncate(fd_.get(), 0) == 0 && ::lseek(fd_.get(), 0, SEEK_SET) == 0;
}

}  // namespace vorelia::platform::net
