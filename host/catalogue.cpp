#include "catalogue.h"

#include <unicode/unistr.h>

#include <algorithm>
#include <set>
#include <string_view>

#include "suggestion.h"

namespace vorelia::host {

namespace {

namespace fs = std::filesystem;

// Extensions of the image files a session holds, lower case: the common raw formats of cameras and
// the processed formats.
bool isImageExtension(std::string extension) {
  static const std::set<std::string, std::less<>> Extensions = {
      "3fr", "arw", "bmp",  "cr2",  "cr3", "crw",  "dcr",  "dng", "eip", "erf",
      "fff", "gif", "heic", "heif", "iiq", "jpeg", "jpg",  "kdc", "mef", "mos",
      "mrw", "nef", "nrw",  "orf",  "pef", "png",  "psd",  "raf", "raw", "rw2",
      "rwl", "sr2", "srf",  "srw",  "tif", "tiff", "webp", "x3f"};
  if (extension.empty() || extension.front() != '.') return false;
  extension.erase(0, 1);
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; });
  return Extensions.contains(extension);
}

icu::UnicodeString folded(const std::string& text) {
  icu::UnicodeString unicode = icu::UnicodeString::fromUTF8(text);
  unicode.foldCase();
  return unicode;
}

}  // namespace

// The host's scripts compare text the way AppleScript does by default: ignoring case (by full
// Unicode case folding here), considering everything else.
bool startsWithIgnoringCase(const std::string& text, const std::string& prefix) {
  return folded(text).startsWith(folded(prefix));
}

bool equalIgnoringCase(const std::string& a, const std::string& b) {
  return folded(a) == folded(b);
}

Result<std::vector<Document>> openDocuments(const std::vector<std::string>& folders) {
  std::vector<Document> documents;
  for (const std::string& folder : folders) {
    std::error_code ec;
    fs::path path = fs::absolute(folder, ec).lexically_normal();
    if (!ec && !path.has_filename()) path = path.parent_path();
    if (ec || !fs::is_directory(path, ec)) {
      return Failure{"the document " + folder + " is not a folder"};
    }
    documents.push_back(Document{path, path.filename().string()});
  }
  return documents;
}

Result<const Document*> chooseDocument(const std::vector<Document>& documents,
                                       const std::optional<std::string>& choice) {
  if (documents.empty()) return Failure{"no document is open"};
  if (documents.size() == 1 || !choice) return &documents.front();
  const Document* chosen = nullptr;
  for (const Document& document : documents) {
    if (equalIgnoringCase(document.name, *choice)) chosen = &document;
  }
  if (chosen == nullptr) {
    std::vector<std::string> names;
    for (const Document& document : documents) names.push_back(document.name);
    return Failure{"no open document is named " + *choice + didYouMean(*choice, names) +
                   "; open: " + listOf(names)};
  }
  return chosen;
}

Result<std::vector<CatalogueImage>> currentCollection(const Document& document) {
  std::vector<CatalogueImage> images;
  std::error_code ec;
  for (fs::directory_iterator it(document.folder, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::path& file = it->path();
    const std::string name = file.filename().string();
    std::error_code typeError;
    if (name.starts_with(".") || !isImageExtension(file.extension().string()) ||
        !it->is_regular_file(typeError)) {
      continue;
    }
    images.push_back(CatalogueImage{name, document.folder / (name + ".xmp")});
  }
  if (ec) {
    return Failure{"cannot list the document " + document.folder.string() + ": " + ec.message()};
  }
  std::sort(images.begin(), images.end(),
            [](const CatalogueImage& a, const CatalogueImage& b) { return a.name < b.name; });
  return images;
}

}  // namespace vorelia::host
