#include "document_list.h"

#include <cstdlib>
#include <filesystem>

namespace vorelia::host {

namespace {

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string encodeDocumentList(const std::vector<std::string>& folders) {
  static constexpr char Hex[] = "0123456789ABCDEF";
  std::string text;
  for (std::size_t i = 0; i < folders.size(); ++i) {
    if (i > 0) text += ':';
    for (const char c : folders[i]) {
      const auto byte = static_cast<unsigned char>(c);
      if (c == '%' || c == ':' || byte < 0x20) {
        text += '%';
        text += Hex[byte >> 4];
        text += Hex[byte & 0x0F];
      } else {
        text += c;
      }
    }
  }
  return text;
}

std::optional<std::vector<std::string>> decodeDocumentList(std::string_view text) {
  std::vector<std::string> folders;
  if (text.empty()) return folders;
  std::string current;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || text[i] == ':') {
      if (current.empty()) return std::nullopt;
      folders.push_back(std::move(current));
      current.clear();
    } else if (text[i] == '%') {
      const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
      const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
      if (high < 0 || low < 0) return std::nullopt;
      const char byte = static_cast<char>(high * 16 + low);
      if (byte == '\0') return std::nullopt;
      current += byte;
      i += 2;
    } else {
      current += text[i];
    }
  }
  return folders;
}

Result<std::string> documentFolder(const std::string& dir) {
  std::error_code ec;
  const std::filesystem::path folder = std::filesystem::canonical(dir, ec);
  if (ec || !std::filesystem::is_directory(folder, ec)) {
    return Failure{dir + " is not a folder"};
  }
  return folder.string();
}

void exportDocumentList(const std::vector<std::string>& folders) {
  ::setenv(DocumentsVariable, encodeDocumentList(folders).c_str(), 1);
}

}  // namespace vorelia::host
