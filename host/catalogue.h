// cohost's catalogue: a document is a folder (a session), its current collection is the images in
// it, and each image has one variant whose metadata lives in the XMP sidecar "<image name>.xmp"
// beside it.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "result.h"

namespace vorelia::host {

struct Document {
  std::filesystem::path folder;  // absolute
  std::string name;              // the folder's own name
};

struct CatalogueImage {
  std::string name;               // the image file's name
  std::filesystem::path sidecar;  // the sidecar beside it
};

// The documents for folders, in order. Fails when one is not a folder.
Result<std::vector<Document>> openDocuments(const std::vector<std::string>& folders);

// The document a script works on: the first; when several are open and choice is given, the one
// whose name equals choice (ignoring case; the last of several such), never null. Fails when no
// document is open, or when several are and choice names none of them.
Result<const Document*> chooseDocument(const std::vector<Document>& documents,
                                       const std::optional<std::string>& choice);

// The images of the document's folder, by name: regular files (or links to them) with an image
// extension, hidden files left out. Fails when the folder cannot be listed.
Result<std::vector<CatalogueImage>> currentCollection(const Document& document);

// Whether text starts with prefix, ignoring case as the host's scripts compare text.
bool startsWithIgnoringCase(const std::string& text, const std::string& prefix);
bool equalIgnoringCase(const std::string& a, const std::string& b);

}  // namespace vorelia::host
