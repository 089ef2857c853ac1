// Publishing: actions offered in the Publish menu, tasks over exported files, progress and results,
// and the export settings the host applies for an action.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sdk/co_value.h"

// An image resource shown beside an action: the file it was loaded from and its bytes.
struct COImage {
  std::string path;
  std::vector<unsigned char> data;

  // Loads an image file whole (icons are a few kilobytes). Returns nullptr when it cannot be read.
  static std::shared_ptr<const COImage> Load(const std::string& path);
};

// A publishing action. Made with its display name; the plugin then sets identifier and image.
class COPluginAction {
 public:
  explicit COPluginAction(std::string displayName) : displayName(std::move(displayName)) {}

  std::string displayName;
  std::string identifier;
  std::shared_ptr<const COImage> image;
};

// A unit of work the host starts and reports progress for.
class COPluginTask {
 public:
  virtual ~COPluginTask() = default;
};

// A task over the files the host exported for one action, with the action's settings.
class COFileHandlingPluginTask : public COPluginTask {
 public:
  COFileHandlingPluginTask(std::shared_ptr<const COPluginAction> action,
                           std::vector<std::string> files)
      : action(std::move(action)), files(std::move(files)) {}

  std::shared_ptr<const COPluginAction> action;
  std::vector<std::string> files;
  COActionSettingsDictionary settings;
};

// The outcome of a publishing task: a link to show and a message.
struct COPluginActionPublishResult {
  std::optional<std::string> url;
  std::string message;
};

// The host's progress block: (task, completed count, total count, optional text).
using COProgressBlock =
    std::function<void(const COPluginTask& task, std::uint64_t completed, std::uint64_t total,
                       const std::optional<std::string>& message)>;

// Keys of the export settings the host applies before it hands files to a task.
using COProcessSettingsKey = std::string;
inline const COProcessSettingsKey COSupportedFileFormatsKey = "COSupportedFileFormats";
inline const COProcessSettingsKey COProcessFileFormatKey = "COProcessFileFormat";
inline const COProcessSettingsKey COProcessIncludeAnnotationsKey = "COProcessIncludeAnnotations";
inline const COProcessSettingsKey COProcessIncludeKeywordsMetadataKey =
    "COProcessIncludeKeywordsMetadata";
inline const COProcessSettingsKey COProcessScaleMethodKey = "COProcessScaleMethod";
inline const COProcessSettingsKey COProcessNeverUpscaleKey = "COProcessNeverUpscale";
inline const COProcessSettingsKey COProcessLongEdgeScaleKey = "COProcessLongEdgeScale";
inline const COProcessSettingsKey COProcessScaleLengthKey = "COProcessScaleLength";
inline const COProcessSettingsKey COProcessScaleUnitKey = "COProcessScaleUnit";
inline const COProcessSettingsKey COProcessJpegQualityKey = "COProcessJpegQuality";

using COProcessSettings = std::map<COProcessSettingsKey, COProcessValue>;

// The host's numeric values behind the process settings.
enum : std::uint64_t {
  COFileFormatJPEG = 1,       // the format the JPEG quality applies to
  COScaleMethodLongEdge = 5,  // scale so that the long edge has the scale length
  COScaleUnitPixels = 0,
};

// Which export settings the user may see and change in the host, one bit each.
using COProcessingSettingsVisibilityOptions = std::uint64_t;
inline constexpr COProcessingSettingsVisibilityOptions COProcessingSettingsVisibilityAll = ~0ULL;
