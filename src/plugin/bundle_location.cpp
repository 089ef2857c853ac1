#include "plugin/bundle_location.h"

#include <dlfcn.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <string>

namespace vorelia {

namespace {

// The file mapped at address, from the kernel's list of this process's mappings. Each line reads
// "start-end perms offset device inode path"; the path is absolute.
std::optional<std::filesystem::path> mappedFileAt(const void* address) {
  const auto target = reinterpret_cast<std::uintptr_t>(address);
  std::ifstream maps("/proc/self/maps");
  std::string line;
  while (std::getline(maps, line)) {
    std::uintmax_t start = 0;
    std::uintmax_t end = 0;
    int pathStart = 0;
    if (std::sscanf(line.c_str(), "%jx-%jx %*s %*s %*s %*s %n", &start, &end, &pathStart) < 2) {
      continue;
    }
    if (target < start || target >= end) continue;
    const std::string path = line.substr(static_cast<std::size_t>(pathStart));
    if (!path.empty() && path.front() == '/') return std::filesystem::path(path);
    return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace

std::optional<std::filesystem::path> bundleDirectory() {
  // Any address inside this library will do; this function's own is at hand.
  const auto* self = reinterpret_cast<const void*>(&bundleDirectory);
  Dl_info info{};
  std::optional<std::filesystem::path> library;
  if (dladdr(self, &info) != 0 && info.dli_fname != nullptr && info.dli_fname[0] == '/') {
    library = std::filesystem::path(info.dli_fname);
  } else {
    // The loader keeps the name the library was opened by, which may be relative to a working
    // directory that has changed since; the kernel's record is absolute.
    library = mappedFileAt(self);
  }
  if (!library) return std::nullopt;
  return library->parent_path();
}

std::optional<std::filesystem::path> bundleIconPath() {
  std::optional<std::filesystem::path> directory = bundleDirectory();
  if (!directory) return std::nullopt;
  return *directory / "Resources" / "VoreliaC1PluginIcon.icns";
}

}  // namespace vorelia
