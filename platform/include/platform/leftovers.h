// Files and folders a run makes for a while (temporary downloads, staged updates, export copies)
// and a later run removes when the run that made them died before it could. A maker holds an
// InUseLock on each while it works; the lock goes with the process, also when it is killed, so a
// sweep tells what a live process still uses from what a dead one left. Any thread.
#pragma once

#include <filesystem>
#include <functional>
#include <string_view>

namespace vorelia::platform {

// An advisory lock (flock) on a file or folder, held while this lives.
class InUseLock {
 public:
  InUseLock() = default;
  // Locks path; an empty lock when it cannot be opened (the sweep may then take it), or when
  // path no longer names what was locked: another process's sweep took the entry between its
  // making and this lock. A maker then makes another (at most MakeAttempts in all).
  explicit InUseLock(const std::filesystem::path& path);
  InUseLock(InUseLock&& other) noexcept;
  InUseLock& operator=(InUseLock&& other) noexcept;
  InUseLock(const InUseLock&) = delete;
  InUseLock& operator=(const InUseLock&) = delete;
  ~InUseLock();

  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// How many fresh entries a maker tries before it gives up: each sweep that takes one costs one.
inline constexpr int MakeAttempts = 4;

// Removes, with their contents, the entries of folder whose names start with prefix and on which
// no process holds an InUseLock. beforeRemoving, when given, sees each such entry first (still
// locked by this call, so no other sweep takes it meanwhile). Symbolic links are removed, never
// followed. Failures are skipped: what cannot be removed now is tried at the next sweep.
void removeAbandoned(const std::filesystem::path& folder, std::string_view prefix,
                     const std::function<void(const std::filesystem::path&)>& beforeRemoving = {});

}  // namespace vorelia::platform
