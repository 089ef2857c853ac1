#include "file_util.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <system_error>

namespace vorelia::platform {
namespace {

namespace fs = std::filesystem;

// "<name>.tmp-<pid>-": the pid lets a later process tell a dead writer's leftovers from a live
// one's.
std::string temporaryPrefix(const fs::path& file) { return file.filename().string() + ".tmp-"; }

bool writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t written = ::write(fd, data.data(), data.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

bool fsyncFolder(const fs::path& folder) {
  UniqueFd fd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  return fd.valid() && ::fsync(fd.get()) == 0;
}

std::string utcTimestamp() {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count() %
      1000000;
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[64];
  std::snprintf(text, sizeof text, "%04d%02d%02dT%02d%02d%02d.%06lldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                static_cast<long long>(micros));
  return text;
}

}  // namespace

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

UniqueFd::~UniqueFd() {
  if (fd_ >= 0) ::close(fd_);
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

FileRead readWholeFile(const fs::path& file) {
  FileRead result;
  UniqueFd fd(::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.valid()) {
    result.status = errno == ENOENT ? ReadStatus::missing : ReadStatus::failed;
    return result;
  }
  struct stat info {};
  if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode)) return result;
  std::string contents;
  char buffer[16384];
  for (;;) {
    const ssize_t got = ::read(fd.get(), buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      return result;
    }
    if (got == 0) break;
    contents.append(buffer, static_cast<size_t>(got));
  }
  result.status = ReadStatus::ok;
  result.contents = std::move(contents);
  return result;
}

bool makeFolders(const fs::path& folder, mode_t mode) {
  std::error_code error;
  if (folder.has_parent_path()) fs::create_directories(folder.parent_path(), error);
  if (::mkdir(folder.c_str(), mode) == 0) {
    ::chmod(folder.c_str(), mode);  // the umask may have taken bits away
  }
  struct stat info {};
  return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

bool replaceFileAtomically(const fs::path& file, std::string_view contents) {
  const fs::path folder = file.parent_path();
  std::string pattern =
      (folder / (temporaryPrefix(file) + std::to_string(::getpid()) + "-XXXXXX")).string();
  // mkostemp creates with O_CREAT | O_EXCL and mode 0600, so the file is never readable by others.
  UniqueFd fd(::mkostemp(pattern.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  const bool written = ::fchmod(fd.get(), 0600) == 0 && writeAll(fd.get(), contents) &&
                       ::fsync(fd.get()) == 0 && ::close(fd.release()) == 0 &&
                       ::rename(pattern.c_str(), file.c_str()) == 0;
  if (!written) {
    ::unlink(pattern.c_str());
    return false;
  }
  // The rename is durable only once the folder entry is on disk.
  return fsyncFolder(folder);
}

void removeStaleTemporaries(const fs::path& file) {
  const std::string prefix = temporaryPrefix(file);
  std::error_code error;
  for (fs::directory_iterator it(file.parent_path(), error), end; !error && it != end;
       it.increment(error)) {
    const std::string name = it->path().filename().string();
    if (name.compare(0, prefix.size(), prefix) != 0) continue;
    const std::string rest = name.substr(prefix.size());
    const size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string::npos) continue;
    pid_t pid = 0;
    const auto [end_of_pid, parse_error] = std::from_chars(rest.data(), rest.data() + dash, pid);
    if (parse_error != std::errc() || end_of_pid != rest.data() + dash) continue;
    if (pid > 0 && ::kill(pid, 0) != 0 && errno == ESRCH) {
      std::error_code ignored;
      fs::remove(it->path(), ignored);
    }
  }
}

bool setAside(const fs::path& file) {
  fs::path aside = file;
  aside += ".corrupt-" + utcTimestamp();
  return ::rename(file.c_str(), aside.c_str()) == 0;
}

}  // namespace vorelia::platform
