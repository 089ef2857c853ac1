// The host's export step: before a task starts, every selected image is written anew as the
// action's processing settings ask (JPEG, quality, long-edge scaling without upscaling, keyword
// metadata kept or not) into a temporary export folder. The user's originals are only read.
#pragma once

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/leftovers.h"
#include "result.h"
#include "sdk/co_publishing.h"

namespace vorelia::host {

struct ExportRecipe {
  int quality = 85;             // JPEG quality, 1 to 100
  std::optional<int> longEdge;  // pixels; absent: the image keeps its size
  bool neverUpscale = false;    // with longEdge: a smaller image keeps its size
  bool keepMetadata = true;     // EXIF, IPTC and XMP (keywords) copied from the original
};

// The recipe for an action's processing settings. Fails saying what cohost cannot honour (a file
// format other than JPEG, a scale method or unit it does not know).
Result<ExportRecipe> recipeFor(const COProcessSettings& settings);

// A fresh folder under the temporary directory ("cohost-export-XXXXXX"), removed with everything in
// it when the object goes, and locked as in use while it lives. Making one first removes the export
// folders that killed runs left (those no live process holds). Moves only.
class ExportFolder {
 public:
  // Fails when the folder cannot be made.
  static Result<ExportFolder> create();
  ExportFolder(ExportFolder&& other) noexcept;
  ExportFolder& operator=(ExportFolder&&) = delete;
  ~ExportFolder();

  const std::filesystem::path& path() const { return path_; }

 private:
  explicit ExportFolder(std::filesystem::path path) : path_(std::move(path)), lock_(path_) {}
  std::filesystem::path path_;
  platform::InUseLock lock_;
};

struct ExportedImage {
  std::filesystem::path source;
  std::filesystem::path exported;
};

// Exports each source into folder as "<stem>.jpg" ("<stem>-2.jpg" and so on when two sources share
// a stem), in the given order. Fails at the first image that cannot be read or written, saying
// which and why, or before the next image once stop returns true; what was exported before stays
// in the folder for the caller to drop.
Result<std::vector<ExportedImage>> exportImages(const std::vector<std::string>& sources,
                                                const ExportRecipe& recipe,
                                                const std::filesystem::path& folder,
                                                const std::function<bool()>& stop = {});

}  // namespace vorelia::host
