// Files the URL session streams through: an owned descriptor and a temporary download file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "platform/leftovers.h"

namespace vorelia::platform::net {

// An owned POSIX file descriptor; closed on destruction.
class FileDescriptor {
 public:
  FileDescriptor() = default;
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() { reset(); }
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(other.release()) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept;
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;

  int get() const { return fd_; }
  explicit operator bool() const { return fd_ >= 0; }
  int release();
  // Closes the descriptor; returns false when close() reported an error.
  bool reset();

 private:
  int fd_ = -1;
};

// Writes all of data to fd, retrying short writes and EINTR. Returns false on an error.
bool writeAll(int fd, const char* data, std::size_t size);

// A file opened for reading with its size, for an upload body.
struct UploadSource {
  FileDescriptor fd;
  std::uint64_t size = 0;
};
// Opens a regular file for reading; nullopt when it cannot be opened or is not a regular file.
std::optional<UploadSource> openUploadSource(const std::filesystem::path& path);

// The name of every download's temporary file starts with this, then "-".
inline constexpr std::string_view DownloadFilePrefix = "vorelia-download";

// A file created in the system's temporary folder with mode 0600, removed on destruction. It is
// locked as in use while it lives, so that a sweep of another run leaves it alone; what a killed
// run left is removed by URLSession::removeAbandonedDownloads, and what is still alive when the
// process exits is removed then.
class TemporaryFile {
 public:
  // Returns nullopt when the file cannot be created.
  static std::optional<TemporaryFile> create(const std::string& prefix);
  ~TemporaryFile();
  TemporaryFile(TemporaryFile&& other) noexcept;
  TemporaryFile& operator=(TemporaryFile&& other) noexcept;
  TemporaryFile(const TemporaryFile&) = delete;
  TemporaryFile& operator=(const TemporaryFile&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The open descriptor for writing; invalid after close().
  int fd() const { return fd_.get(); }
  // Empties the file and rewinds it. Returns false on an error.
  bool truncate();
  // Closes the descriptor so the contents are complete for readers. Returns false on an error.
  bool close() { return fd_.reset(); }

 private:
  TemporaryFile(std::filesystem::path path, FileDescriptor fd)
      : path_(std::move(path)), fd_(std::move(fd)), lock_(path_) {}

  void remove();

  std::filesystem::path path_;  // empty once moved from
  FileDescriptor fd_;
  InUseLock lock_;  // released after the file is removed
};

}  // namespace vorelia::platform::net
