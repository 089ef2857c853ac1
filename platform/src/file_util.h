// File helpers shared by the stores that keep their state in one file (user defaults, file secret
// store): reading a whole small file, replacing a file atomically, setting an unreadable file
// aside. Internal to the platform library. No function here throws; failures are values.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <string_view>

namespace vorelia::platform {

// Owns a file descriptor; closes it on destruction.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd();

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  int release();

 private:
  int fd_ = -1;
};

enum class ReadStatus { ok, missing, failed };

struct FileRead {
  ReadStatus status = ReadStatus::failed;
  std::string contents;  // the whole file when status is ok
};

// Reads the whole of file (a regular file; symbolic links are not followed). missing when it does
// not exist, failed when it exists but cannot be read or is not a regular file.
FileRead readWholeFile(const std::filesystem::path& file);

// Creates folder and its missing parents. folder itself, when this call creates it, gets exactly
// mode whatever the umask; parents get the usual 0777 less the umask. Returns whether folder is a
// folder afterwards.
bool makeFolders(const std::filesystem::path& folder, mode_t mode);

// Replaces file with contents so that a reader (or a process killed at any moment) sees the old
// file or the new one, never a mix: a temporary file beside it created with O_EXCL and mode 0600,
// written, fsynced, renamed over file, then the folder fsynced. Returns false (and removes the
// temporary) on any failure. REQUIRES: the folder of file exists.
bool replaceFileAtomically(const std::filesystem::path& file, std::string_view contents);

// Removes temporaries of replaceFileAtomically left behind by processes that died while writing
// file. Temporaries of live processes are left alone.
void removeStaleTemporaries(const std::filesystem::path& file);

// Renames file aside to "<file>.corrupt-<UTC time>". Returns false when it could not.
bool setAside(const std::filesystem::path& file);

}  // namespace vorelia::platform
