#include "api/update_installer.h"

#include <archive.h>
#include <archive_entry.h>
#include <fcntl.h>
#include <locale.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "api/staged_bundle.h"
#include "platform/leftovers.h"

namespace vorelia {
namespace {

namespace fs = std::filesystem;

// Names of the staging folders beside the plug-ins folder, and of the old bundle set aside in one.
constexpr std::string_view StagingPrefix = ".plug-in-update-";
constexpr std::string_view PreviousBundleName = "previous";

// Reads archive names as UTF-8 on this thread while it lives. libarchive converts names to the
// thread's locale, and in the "C" locale a name with a non-ASCII letter cannot be converted at
// all; the process locale belongs to the host, so only this thread's is changed.
class ScopedUtf8Locale {
 public:
  ScopedUtf8Locale() {
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      locale_ = newlocale(LC_CTYPE_MASK, name, static_cast<locale_t>(nullptr));
      if (locale_ != static_cast<locale_t>(nullptr)) break;
    }
    if (locale_ != static_cast<locale_t>(nullptr)) previous_ = uselocale(locale_);
  }
  ~ScopedUtf8Locale() {
    if (locale_ == static_cast<locale_t>(nullptr)) return;
    uselocale(previous_);
    freelocale(locale_);
  }
  ScopedUtf8Locale(const ScopedUtf8Locale&) = delete;
  ScopedUtf8Locale& operator=(const ScopedUtf8Locale&) = delete;

 private:
  locale_t locale_ = static_cast<locale_t>(nullptr);
  locale_t previous_ = static_cast<locale_t>(nullptr);
};

struct ArchiveReaderFree {
  void operator()(archive* reader) const { archive_read_free(reader); }
};
using ArchiveReader = std::unique_ptr<archive, ArchiveReaderFree>;

class FileDescriptor {
 public:
  explicit FileDescriptor(int fd) : fd_(fd) {}
  ~FileDescriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }
  // Closes now; false when the close reported a failed write.
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

// A fresh folder beside the plug-ins folder (so that moving out of it is a rename on the same
// file system), locked as in use while this lives and removed with whatever is left in it when
// this goes, unless the install was cut short as a killed process would leave it.
class StagingFolder {
 public:
  explicit StagingFolder(const fs::path& besideFolder) {
    for (int attempt = 0; attempt < platform::MakeAttempts && path_.empty(); ++attempt) {
      std::string pattern = (besideFolder.parent_path() / StagingPrefix).string() + "XXXXXX";
      if (::mkdtemp(pattern.data()) == nullptr) break;
      lock_ = platform::InUseLock(pattern);
      if (lock_.held()) path_ = pattern;
    }
  }
  ~StagingFolder() {
    std::error_code ignored;
    if (!path_.empty() && !kept_) fs::remove_all(path_, ignored);
  }
  StagingFolder(const StagingFolder&) = delete;
  StagingFolder& operator=(const StagingFolder&) = delete;
  const fs::path& path() const { return path_; }  // empty when it could not be made
  void keep() { kept_ = true; }

 private:
  fs::path path_;
  platform::InUseLock lock_;
  bool kept_ = false;
};

// The entry's name as a relative path inside the folder, without "." and empty components (empty
// for the folder itself); nothing for a name that is empty, absolute or has a ".." component.
std::optional<fs::path> SafeRelativePath(std::string_view name) {
  if (name.empty() || name.front() == '/') return std::nullopt;
  fs::path relative;
  while (!name.empty()) {
    const std::size_t slash = name.find('/');
    const std::string_view component = name.substr(0, slash);
    name = slash == std::string_view::npos ? std::string_view() : name.substr(slash + 1);
    if (component == "..") return std::nullopt;
    if (component.empty() || component == ".") continue;
    relative /= fs::path(std::string(component));
  }
  return relative;
}

// Whether the entry may be unpacked at all: a plain file, folder or symbolic link of its own.
bool IsAllowedEntry(archive_entry* entry) {
  if (archive_entry_hardlink(entry) != nullptr || archive_entry_is_encrypted(entry)) return false;
  const auto type = archive_entry_filetype(entry);
  if (archive_entry_symlink(entry) != nullptr && type != AE_IFLNK) return false;
  return type == AE_IFREG || type == AE_IFDIR || type == AE_IFLNK;
}

// Streams the current entry's data into a new file at path, taking what it writes from budget.
InstallResult WriteFile(archive* reader, archive_entry* entry, const fs::path& path,
                        std::uint64_t& budget) {
  std::error_code ec;
  fs::create_directories(path.parent_path(), ec);
  if (ec) return InstallResult::fileSystemFailure;
  // Executable bits survive; the file is never writable by others.
  const mode_t mode = (archive_entry_perm(entry) & 0755) | 0600;
  FileDescriptor file(
      ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, mode));
  if (file.get() < 0) return InstallResult::fileSystemFailure;
  std::uint64_t extent = 0;  // the file's length so far, holes included
  for (;;) {
    const void* block = nullptr;
    std::size_t size = 0;
    la_int64_t offset = 0;
    const int read = archive_read_data_block(reader, &block, &size, &offset);
    if (read == ARCHIVE_EOF) break;
    if (read != ARCHIVE_OK || offset < 0) return InstallResult::unreadableArchive;
    // Counted before the block is written: the sizes the headers claim can lie.
    const std::uint64_t end = static_cast<std::uint64_t>(offset) + size;
    if (end > extent) {
      if (end - extent > budget) return InstallResult::tooLarge;
      budget -= end - extent;
      extent = end;
    }
    const char* bytes = static_cast<const char*>(block);
    while (size > 0) {
      const ssize_t written = ::pwrite(file.get(), bytes, size, offset);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) return InstallResult::fileSystemFailure;
      bytes += written;
      size -= static_cast<std::size_t>(written);
      offset += written;
    }
  }
  return file.close() ? InstallResult::installed : InstallResult::fileSystemFailure;
}

// Unpacks every entry of the archive under folder, or stops at the first one that fails or when
// the files written pass budget bytes.
InstallResult Unpack(const fs::path& archivePath, const fs::path& folder, std::uint64_t budget) {
  const ScopedUtf8Locale utf8;  // outlives the reader, which converts names while it lives
  ArchiveReader reader(archive_read_new());
  if (!reader) return InstallResult::fileSystemFailure;
  // The archive is read from its central directory: one cut short anywhere, even after its last
  // entry, has none and is refused as a whole.
  archive_read_support_format_zip_seekable(reader.get());
  // Names without the zip's UTF-8 flag are read as UTF-8 too (what macOS writes), not as CP437.
  archive_read_set_format_option(reader.get(), "zip", "hdrcharset", "UTF-8");
  if (archive_read_open_filename(reader.get(), archivePath.c_str(), 64 * 1024) != ARCHIVE_OK) {
    return InstallResult::unreadableArchive;
  }
  std::vector<fs::path> links;  // relative to folder, in the order they were made
  for (;;) {
    archive_entry* entry = nullptr;
    const int next = archive_read_next_header(reader.get(), &entry);
    if (next == ARCHIVE_EOF) {
      return LinksStayInside(folder, links) ? InstallResult::installed
                                            : InstallResult::refusedEntry;
    }
    // A warning here is a name that could not be read as UTF-8: better refused than guessed.
    if (next != ARCHIVE_OK) return InstallResult::unreadableArchive;
    const char* name = archive_entry_pathname_utf8(entry);
    if (name == nullptr) return InstallResult::unreadableArchive;
    const auto relative = SafeRelativePath(name);
    if (!relative || !IsAllowedEntry(entry)) return InstallResult::refusedEntry;
    const auto type = archive_entry_filetype(entry);
    if (relative->empty()) {
      if (type == AE_IFDIR) continue;  // "./": the folder itself
      return InstallResult::refusedEntry;
    }
    // Only our own bundle: an archive that would also write beside it is refused whole.
    if (*relative->begin() != fs::path(UpdateBundleName)) return InstallResult::refusedEntry;
    if (ThroughLink(*relative, links)) return InstallResult::refusedEntry;

    const fs::path path = folder / *relative;
    std::error_code ec;
    if (type == AE_IFDIR) {
      fs::create_directories(path, ec);
      if (ec) return InstallResult::fileSystemFailure;
      continue;
    }
    if (type == AE_IFLNK) {
      const char* target = archive_entry_symlink_utf8(entry);
      if (target == nullptr) return InstallResult::unreadableArchive;
      if (!LinkStaysInsideTopFolder(*relative, target)) return InstallResult::refusedEntry;
      fs::create_directories(path.parent_path(), ec);
      if (!ec) fs::create_symlink(target, path, ec);
      if (ec) return InstallResult::fileSystemFailure;
      links.push_back(*relative);
      continue;
    }
    if (const auto written = WriteFile(reader.get(), entry, path, budget);
        written != InstallResult::installed) {
      return written;
    }
  }
}

}  // namespace

std::string UpdateArchiveName(std::string_view version) {
  return "VoreliaCaptureOnePlugin." + std::string(version) + ".coplugin.zip";
}

fs::path PluginsFolder(const fs::path& libraryFolder) {
  if (libraryFolder.empty()) return {};
  return libraryFolder / "Application Support" / "Capture One" / "Plug-ins";
}

InstallResult InstallArchive(const fs::path& archive, const fs::path& pluginsFolder,
                             InstallLimits limits, const InstallInterruption& interrupt) {
  std::error_code ec;
  const std::uintmax_t archiveSize = fs::file_size(archive, ec);
  if (ec) return InstallResult::unreadableArchive;
  const std::uint64_t budget =
      archiveSize > limits.maxBytes / std::max<std::uint64_t>(limits.maxRatio, 1)
          ? limits.maxBytes
          : std::min<std::uint64_t>(limits.maxBytes, archiveSize * limits.maxRatio);
  fs::create_directories(pluginsFolder, ec);
  if (ec) return InstallResult::fileSystemFailure;
  StagingFolder staging(pluginsFolder);
  if (staging.path().empty()) return InstallResult::fileSystemFailure;

  if (const auto unpacked = Unpack(archive, staging.path(), budget);
      unpacked != InstallResult::installed) {
    return unpacked;
  }
  const fs::path staged = staging.path() / UpdateBundleName;
  if (!IsLoadableBundle(staged)) return InstallResult::notABundle;

  // The swap: the old bundle aside into the staging folder, the new one in, the old one removed
  // with the staging folder. Where the file system can, the first two are one atomic exchange, so
  // the plug-ins folder always holds one whole bundle, old or new; elsewhere they are two renames,
  // and a kill between them leaves the old bundle aside, which RecoverInterruptedInstalls puts
  // back.
  const auto cut = [&](InstallStep step) {
    if (!interrupt || interrupt(step)) return false;
    staging.keep();
    return true;
  };
  const fs::path bundle = pluginsFolder / UpdateBundleName;
  const fs::path aside = staging.path() / PreviousBundleName;
  const bool hadBundle = fs::symlink_status(bundle, ec).type() != fs::file_type::not_found;
  if (cut(InstallStep::moveIn)) return InstallResult::fileSystemFailure;
  if (hadBundle &&
      ::renameat2(AT_FDCWD, staged.c_str(), AT_FDCWD, bundle.c_str(), RENAME_EXCHANGE) == 0) {
    // The old bundle now lies where the new one was staged, and goes with the staging folder.
  } else if (hadBundle && errno != EINVAL && errno != ENOSYS) {
    return InstallResult::fileSystemFailure;
  } else {
    if (hadBundle) {
      fs::rename(bundle, aside, ec);
      if (ec) return InstallResult::fileSystemFailure;
    }
    fs::rename(staged, bundle, ec);
    if (ec) {
      if (hadBundle) fs::rename(aside, bundle, ec);
      return InstallResult::fileSystemFailure;
    }
  }
  if (cut(InstallStep::removeOld)) return InstallResult::fileSystemFailure;
  return InstallResult::installed;
}

void RecoverInterruptedInstalls(const fs::path& pluginsFolder) {
  if (pluginsFolder.empty()) return;
  platform::removeAbandoned(
      pluginsFolder.parent_path(), StagingPrefix, [&pluginsFolder](const fs::path& staging) {
        // Killed between the two renames: the old bundle goes back where it was.
        std::error_code ec;
        const fs::path bundle = pluginsFolder / UpdateBundleName;
        const fs::path aside = staging / PreviousBundleName;
        if (fs::symlink_status(bundle, ec).type() == fs::file_type::not_found &&
            fs::symlink_status(aside, ec).type() == fs::file_type::directory) {
          fs::rename(aside, bundle, ec);
        }
      });
}

bool RemoveOlderEntries(const fs::path& pluginsFolder, std::string_view version) {
  std::error_code ec;
  std::vector<std::string> names;
  for (fs::directory_iterator it(pluginsFolder, ec), end; !ec && it != end; it.increment(ec)) {
    names.push_back(it->path().filename().string());
  }
  if (ec) return false;
  for (const auto& name : names) {
    if (name.find("Vorelia") == std::string::npos || name.find(version) != std::string::npos ||
        name.find(UpdateBundleName) != std::string::npos) {
      continue;
    }
    fs::remove_all(pluginsFolder / name, ec);
    if (ec) return false;
  }
  return true;
}

}  // namespace vorelia
