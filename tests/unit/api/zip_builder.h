// Zip archives written byte by byte for tests: stored or deflated entries with any name, mode and
// UTF-8 flag, and sizes that may lie, so that archives no well-behaved tool makes (names with "..",
// absolute names, links, devices, bombs) can be fed to the installer. Also the file helpers of the
// update tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vorelia::testing {

struct ZipEntry {
  std::string name;
  std::string data;              // a symbolic link's data is its target
  std::uint32_t mode = 0100644;  // Unix type and permission bits
  bool utf8Flag = true;          // general purpose bit 11: the name is UTF-8
  bool deflated = false;         // compressed with deflate, else stored
  // The uncompressed size the headers claim, when it is not the data's.
  std::optional<std::uint32_t> claimedSize{};

  static ZipEntry File(std::string name, std::string data) {
    return {std::move(name), std::move(data)};
  }
  static ZipEntry Folder(std::string name) { return {std::move(name), "", 040755}; }
  static ZipEntry Link(std::string name, std::string target) {
    return {std::move(name), std::move(target), 0120777};
  }
};

// The entries of a VoreliaC1Plugin.coplugin the installer takes: an Info.json that names the
// principal class and the library, and the library holding libraryBytes.
std::vector<ZipEntry> LoadableBundle(const std::string& libraryBytes);

// A complete zip archive of the entries, in order.
std::string BuildZip(const std::vector<ZipEntry>& entries);

// Writes bytes to path, creating its folders.
void WriteFile(const std::filesystem::path& path, const std::string& bytes);
// The bytes of path; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// The names in folder; none when it does not exist.
std::vector<std::string> Names(const std::filesystem::path& folder);

}  // namespace vorelia::testing
