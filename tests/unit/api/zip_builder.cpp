#include "zip_builder.h"

#include <zlib.h>

#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vorelia::testing {
namespace {

void Put16(std::string& out, std::uint32_t value) {
  out.push_back(static_cast<char>(value & 0xFF));
  out.push_back(static_cast<char>((value >> 8) & 0xFF));
}

void Put32(std::string& out, std::uint32_t value) {
  Put16(out, value & 0xFFFF);
  Put16(out, value >> 16);
}

// The bytes as a raw deflate stream (no zlib header), as zip entries of method 8 hold them.
std::string Deflate(const std::string& bytes) {
  z_stream stream{};
  if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK) {
    throw std::runtime_error("deflateInit2 failed");
  }
  std::string out(deflateBound(&stream, bytes.size()), '\0');
  stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
  stream.avail_in = static_cast<uInt>(bytes.size());
  stream.next_out = reinterpret_cast<Bytef*>(out.data());
  stream.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&stream, Z_FINISH);
  out.resize(stream.total_out);
  deflateEnd(&stream);
  if (result != Z_STREAM_END) throw std::runtime_error("deflate failed");
  return out;
}

}  // namespace

std::vector<ZipEntry> LoadableBundle(const std::string& libraryBytes) {
  return {ZipEntry::File("VoreliaC1Plugin.coplugin/Info.json",
                         R"({"principalClass":"VoreliaC1Plugin","library":"VoreliaC1Plugin.so"})"),
          ZipEntry::File("VoreliaC1Plugin.coplugin/VoreliaC1Plugin.so", libraryBytes)};
}

std::string BuildZip(const std::vector<ZipEntry>& entries) {
  std::string archive, directory;
  for (const auto& entry : entries) {
    const auto crc =
        static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(entry.data.data()),
                                         static_cast<uInt>(entry.data.size())));
    const std::string stored = entry.deflated ? Deflate(entry.data) : entry.data;
    const std::uint32_t method = entry.deflated ? 8 : 0;
    const auto size = static_cast<std::uint32_t>(stored.size());
    const auto claimed = entry.claimedSize.value_or(static_cast<std::uint32_t>(entry.data.size()));
    const auto nameSize = static_cast<std::uint32_t>(entry.name.size());
    const std::uint32_t flags = entry.utf8Flag ? 0x0800 : 0;
    const auto offset = static_cast<std::uint32_t>(archive.size());

    Put32(archive, 0x04034b50);
    for (const std::uint32_t v : {20u, flags, method, 0u, 0x21u}) Put16(archive, v);
    for (const std::uint32_t v : {crc, size, claimed}) Put32(archive, v);
    Put16(archive, nameSize);
    Put16(archive, 0);
    archive += entry.name;
    archive += stored;

    Put32(directory, 0x02014b50);
    for (const std::uint32_t v : {(3u << 8) | 20u, 20u, flags, method, 0u, 0x21u}) {
      Put16(directory, v);
    }
    for (const std::uint32_t v : {crc, size, claimed}) Put32(directory, v);
    for (const std::uint32_t v : {nameSize, 0u, 0u, 0u, 0u}) Put16(directory, v);
    Put32(directory, entry.mode << 16);
    Put32(directory, offset);
    directory += entry.name;
  }
  const auto directoryOffset = static_cast<std::uint32_t>(archive.size());
  archive += directory;
  Put32(archive, 0x06054b50);
  const auto count = static_cast<std::uint32_t>(entries.size());
  for (const std::uint32_t v : {0u, 0u, count, count}) Put16(archive, v);
  Put32(archive, static_cast<std::uint32_t>(directory.size()));
  Put32(archive, directoryOffset);
  Put16(archive, 0);
  return archive;
}

void WriteFile(const std::filesystem::path& path, const std::string& bytes) {
  std::filesystem::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << bytes;
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << in.rdbuf();
  return bytes.str();
}

std::vector<std::string> Names(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  if (!std::filesystem::exists(folder)) return names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  return names;
}

}  // namespace vorelia::testing
