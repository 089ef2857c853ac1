// The update installer on any archive bytes. While it runs, every call that creates, replaces or
// removes a file must name a path inside the "Capture One" folder (the plug-ins folder and its
// staging folder beside it); a path outside stops the run before the call is made. After each
// input, the temporary tree holds nothing but the plug-ins folder's contents and what was there
// before; an archive that was not installed has changed nothing; the symbolic link already in the
// plug-ins folder was never followed, and every link installed ends inside its own top folder; and
// no file is writable by others.
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdarg>
#include <filesystem>
#include <fstream>
#include <set>

#include "api/update_installer.h"
#include "fuzz_support.h"

namespace {

namespace fs = std::filesystem;

// A link in the plug-ins folder before each install, to a folder outside it.
const fs::path LinkTarget = "../../../../Outside";

struct Tree {
  fs::path root, allowed, plugins, archive, outside, link;
};

// Made once per process and never destroyed, so that the clean-up at exit can still read it.
const Tree& TheTree() {
  static const Tree* const tree = [] {
    std::string pattern = (fs::temp_directory_path() / "vorelia-fuzz-XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    auto* t = new Tree;
    t->root = pattern;
    t->allowed = t->root / "Library" / "Application Support" / "Capture One";
    t->plugins = t->allowed / "Plug-ins";
    t->archive = t->root / "Downloads" / "update.zip";
    t->outside = t->root / "Outside";
    t->link = t->plugins / "Link.coplugin";
    fs::create_directories(t->archive.parent_path());
    fs::create_directories(t->outside);
    std::ofstream(t->outside / "keep") << "keep";
    std::atexit([] { fs::remove_all(TheTree().root); });
    return t;
  }();
  return *tree;
}

bool IsUnder(const fs::path& folder, const fs::path& path) {
  return std::mismatch(folder.begin(), folder.end(), path.begin(), path.end()).first ==
         folder.end();
}

thread_local bool guarding = false;  // while the installer runs on this thread

// Stops the process when path (relative to the folder dirfd, or the working folder) lies outside
// the allowed folder, compared by name: a link inside is not resolved, the tree check finds that.
void Guard(int dirfd, const char* path) {
  if (!guarding || path == nullptr) return;
  guarding = false;  // what follows uses the file system itself
  fs::path full = path;
  if (full.is_relative()) {
    full = dirfd == AT_FDCWD ? fs::current_path() / full
                             : fs::read_symlink("/proc/self/fd/" + std::to_string(dirfd)) / full;
  }
  full = full.lexically_normal();
  if (!IsUnder(TheTree().allowed, full)) {
    std::fprintf(stderr, "file-system change outside the plug-ins folder: %s\n", full.c_str());
    std::abort();
  }
  guarding = true;
}

template <typename F>
F Next(const char* name) {
  return reinterpret_cast<F>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

// The calls through which libstdc++ and the installer change the file system. Files are only
// written through open(); opening a folder or reading needs no check.
extern "C" {
int open(const char* path, int flags, ...) {
  va_list args;
  va_start(args, flags);
  const mode_t mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? va_arg(args, mode_t) : 0;
  va_end(args);
  if ((flags & (O_WRONLY | O_RDWR | O_CREAT | O_TRUNC)) != 0) Guard(AT_FDCWD, path);
  static const auto next = Next<int (*)(const char*, int, ...)>("open");
  return next(path, flags, mode);
}
// Defines name, which runs check on its paths before the C library's own.
#define VORELIA_GUARDED(name, params, args, check)       \
  int name params noexcept {                             \
    check;                                               \
    static const auto next = Next<int(*) params>(#name); \
    return next args;                                    \
  }
VORELIA_GUARDED(mkdir, (const char* path, mode_t mode), (path, mode), Guard(AT_FDCWD, path))
VORELIA_GUARDED(rename, (const char* from, const char* to), (from, to),
                (Guard(AT_FDCWD, from), Guard(AT_FDCWD, to)))
VORELIA_GUARDED(symlink, (const char* target, const char* path), (target, path),
                Guard(AT_FDCWD, path))
VORELIA_GUARDED(remove, (const char* path), (path), Guard(AT_FDCWD, path))
VORELIA_GUARDED(unlink, (const char* path), (path), Guard(AT_FDCWD, path))
VORELIA_GUARDED(rmdir, (const char* path), (path), Guard(AT_FDCWD, path))
VORELIA_GUARDED(unlinkat, (int dirfd, const char* path, int flags), (dirfd, path, flags),
                Guard(dirfd, path))
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const Tree& tree = TheTree();
  fs::remove_all(tree.plugins);
  fs::create_directories(tree.plugins);
  fs::create_directory_symlink(LinkTarget, tree.link);
  {
    std::ofstream file(tree.archive, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
  }

  guarding = true;
  const vorelia::InstallResult result = vorelia::InstallArchive(tree.archive, tree.plugins);
  guarding = false;

  const std::set<fs::path> scaffold = {tree.root / "Library",
                                       tree.root / "Library" / "Application Support",
                                       tree.allowed,
                                       tree.plugins,
                                       tree.archive.parent_path(),
                                       tree.archive,
                                       tree.outside,
                                       tree.outside / "keep"};
  std::size_t inPlugins = 0;
  for (auto it = fs::recursive_directory_iterator(tree.root); it != fs::end(it); ++it) {
    const fs::path& path = it->path();
    const fs::file_status status = it->symlink_status();
    if (scaffold.contains(path)) continue;
    FUZZ_CHECK(IsUnder(tree.plugins, path));  // nothing outside, no staging left
    ++inPlugins;
    if (fs::is_symlink(status)) {
      std::error_code ec;
      const fs::path top = tree.plugins / path.lexically_relative(tree.plugins).begin()->native();
      FUZZ_CHECK(path == tree.link ? fs::read_symlink(path) == LinkTarget
                                   : IsUnder(top, fs::weakly_canonical(path, ec)) && !ec);
      continue;
    }
    FUZZ_CHECK(fs::is_directory(status) || fs::is_regular_file(status));
    FUZZ_CHECK((status.permissions() & (fs::perms::group_write | fs::perms::others_write)) ==
               fs::perms::none);
  }
  FUZZ_CHECK(fs::file_size(tree.outside / "keep") == 4);
  if (result != vorelia::InstallResult::installed &&
      result != vorelia::InstallResult::fileSystemFailure) {
    FUZZ_CHECK(inPlugins == 1 && fs::is_symlink(tree.link));
  }
  return 0;
}
