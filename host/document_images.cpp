#include "document_images.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <optional>

#include "catalogue.h"
#include "document_list.h"
#include "suggestion.h"

namespace vorelia::host {

namespace {

namespace fs = std::filesystem;

std::string quoted(const std::string& file) { return "\"" + file + "\""; }

// The folders of files that are folders, absolute, in order, each once.
std::vector<std::string> foldersOf(const std::vector<std::string>& files) {
  std::vector<std::string> folders;
  for (const std::string& file : files) {
    const fs::path parent = fs::path(file).parent_path();
    // A folder that is not there opens nothing; its files are refused.
    const Result<std::string> folder = documentFolder(parent.empty() ? "." : parent.string());
    if (folder && std::find(folders.begin(), folders.end(), *folder) == folders.end()) {
      folders.push_back(*folder);
    }
  }
  return folders;
}

}  // namespace

Result<std::vector<std::string>> documentsToPublishFrom(const std::vector<std::string>& open,
                                                        const std::vector<std::string>& files) {
  std::vector<std::string> accepted = open.empty() ? foldersOf(files) : open;
  const Result<std::vector<Document>> documents = openDocuments(accepted);
  if (!documents) return Failure{documents.error()};
  if (documents->empty()) return Failure{quoted(files.front()) + " is in no folder to open"};
  std::optional<std::string> choice;
  if (const char* chosen = std::getenv(ChooseVariable); chosen != nullptr && *chosen != '\0') {
    choice = chosen;
  }
  const Result<const Document*> chosen = chooseDocument(*documents, choice);
  if (!chosen) return Failure{"the document to publish from: " + chosen.error()};
  const Document* document = *chosen;
  const Result<std::vector<CatalogueImage>> images = currentCollection(*document);
  if (!images) return Failure{images.error()};
  std::vector<std::string> names;
  for (const CatalogueImage& image : *images) names.push_back(image.name);

  for (const std::string& file : files) {
    std::error_code ec;
    const fs::path path = fs::absolute(file, ec);
    const fs::path folder = ec ? fs::path() : fs::canonical(path.parent_path(), ec);
    if (ec || folder != document->folder) {
      return Failure{quoted(file) + " is not in the document " + document->name + " (" +
                     document->folder.string() +
                     "): the host publishes images of the document it works on only" +
                     (documents->size() > 1 ? " (the first open, or the one --choose names)" : "")};
    }
    const std::string name = path.filename().string();
    if (std::find(names.begin(), names.end(), name) == names.end()) {
      return Failure{quoted(file) + " is not an image of the document " + document->name +
                     didYouMean(name, names)};
    }
  }
  return accepted;
}

}  // namespace vorelia::host
