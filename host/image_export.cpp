#include "image_export.h"

#include <stdlib.h>
#include <vips/vips.h>

#include <cstdlib>
#include <mutex>
#include <set>
#include <system_error>

namespace vorelia::host {

namespace {

namespace fs = std::filesystem;

const COProcessValue* find(const COProcessSettings& settings, const COProcessSettingsKey& key) {
  const auto it = settings.find(key);
  return it == settings.end() ? nullptr : &it->second;
}

// An integer whichever way the plugin typed it; nullopt for a Boolean, an array or a dictionary.
std::optional<std::int64_t> integer(const COProcessValue* value) {
  if (value == nullptr) return std::nullopt;
  switch (value->kind()) {
    case COProcessValue::Kind::unsignedInteger:
      if (value->unsignedValue() > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
      return static_cast<std::int64_t>(value->unsignedValue());
    case COProcessValue::Kind::signedInteger:
      return value->signedValue();
    default:
      return std::nullopt;
  }
}

bool flag(const COProcessValue* value, bool fallback) {
  if (value == nullptr) return fallback;
  if (value->kind() == COProcessValue::Kind::boolean) return value->boolValue();
  const std::optional<std::int64_t> number = integer(value);
  return number ? *number != 0 : fallback;
}

// libvips's own message for the last failure, cleared for the next one.
std::string vipsProblem() {
  std::string text = vips_error_buffer();
  vips_error_clear();
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text.empty() ? "unknown libvips error" : text;
}

// libvips's message as a user reads it: without the names of its inner operations
// ("VipsForeignLoad: ...") and without the file name said twice.
std::string readable(std::string text) {
  if (text.find("is not a known file format") != std::string::npos) {
    return "not an image format cohost can read";
  }
  for (std::size_t colon = text.find(": ");
       (text.starts_with("Vips") || text.starts_with("vips")) && colon != std::string::npos;
       colon = text.find(": ")) {
    text.erase(0, colon + 2);
  }
  return text;
}

Result<void> startVips() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    started = VIPS_INIT("cohost") == 0;
    // Every export reads its file once: libvips's operation cache would only keep decoders and
    // their buffers alive from one publication to the next, and a long session's memory growing.
    if (started) vips_cache_set_max(0);
  });
  if (!started) return Failure{"libvips could not start: " + vipsProblem()};
  return {};
}

// "<stem>.jpg", or "<stem>-N.jpg" for the first N from 2 not yet used.
fs::path exportName(const fs::path& source, std::set<std::string>& used) {
  const std::string stem = source.stem().string();
  std::string name = stem + ".jpg";
  for (int n = 2; !used.insert(name).second; ++n) name = stem + "-" + std::to_string(n) + ".jpg";
  return name;
}

Result<void> exportOne(const fs::path& source, const fs::path& target, const ExportRecipe& recipe) {
  VipsImage* image = nullptr;
  int failed = 0;
  if (recipe.longEdge) {
    // The thumbnail operation shrinks on load, so a large JPEG is never decoded at full size.
    failed = vips_thumbnail(source.c_str(), &image, *recipe.longEdge, "height", *recipe.longEdge,
                            "size", recipe.neverUpscale ? VIPS_SIZE_DOWN : VIPS_SIZE_BOTH, nullptr);
  } else {
    image = vips_image_new_from_file(source.c_str(), "access", VIPS_ACCESS_SEQUENTIAL, nullptr);
    failed = image == nullptr;
  }
  if (failed != 0) {
    std::error_code ec;
    return Failure{"cannot read " + source.string() + ": " +
                   (fs::exists(source, ec) ? readable(vipsProblem()) : "no such file")};
  }
  failed = vips_jpegsave(image, target.c_str(), "Q", recipe.quality, "strip",
                         recipe.keepMetadata ? FALSE : TRUE, nullptr);
  g_object_unref(image);
  if (failed != 0) {
    std::error_code ignored;
    fs::remove(target, ignored);  // never leave half an image behind
    return Failure{"cannot export " + source.string() + ": " + readable(vipsProblem())};
  }
  return {};
}

}  // namespace

Result<ExportRecipe> recipeFor(const COProcessSettings& settings) {
  ExportRecipe recipe;
  const std::optional<std::int64_t> format = integer(find(settings, COProcessFileFormatKey));
  if (format && *format != COFileFormatJPEG) {
    return Failure{"cohost exports JPEG only, not file format " + std::to_string(*format)};
  }
  if (const auto quality = integer(find(settings, COProcessJpegQualityKey))) {
    if (*quality < 1 || *quality > 100) {
      return Failure{"JPEG quality " + std::to_string(*quality) + " is not between 1 and 100"};
    }
    recipe.quality = static_cast<int>(*quality);
  }
  recipe.keepMetadata = flag(find(settings, COProcessIncludeKeywordsMetadataKey), true);

  const std::optional<std::int64_t> method = integer(find(settings, COProcessScaleMethodKey));
  if (!method) return recipe;
  if (*method != COScaleMethodLongEdge) {
    return Failure{"cohost cannot scale by method " + std::to_string(*method)};
  }
  const COProcessValue* scale = find(settings, COProcessLongEdgeScaleKey);
  if (scale == nullptr || scale->kind() != COProcessValue::Kind::dictionary) {
    return Failure{"long-edge scaling needs " + COProcessLongEdgeScaleKey};
  }
  const std::optional<std::int64_t> length = integer(scale->member(COProcessScaleLengthKey));
  const std::optional<std::int64_t> unit = integer(scale->member(COProcessScaleUnitKey));
  if (unit.value_or(COScaleUnitPixels) != COScaleUnitPixels) {
    return Failure{"cohost scales in pixels only, not unit " + std::to_string(*unit)};
  }
  if (!length || *length < 1 || *length > 100000) {
    return Failure{"the long-edge length must be between 1 and 100000 pixels"};
  }
  recipe.longEdge = static_cast<int>(*length);
  recipe.neverUpscale = flag(find(settings, COProcessNeverUpscaleKey), false);
  return recipe;
}

Result<ExportFolder> ExportFolder::create() {
  std::error_code error;
  fs::path base = fs::temp_directory_path(error);
  if (error) base = "/tmp";
  platform::removeAbandoned(base, "cohost-export-");
  for (int attempt = 0; attempt < platform::MakeAttempts; ++attempt) {
    std::string pattern = (base / "cohost-export-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) break;
    ExportFolder folder{fs::path(pattern)};
    if (folder.lock_.held()) return folder;
  }
  return Failure{"cannot make an export folder under " + base.string()};
}

ExportFolder::ExportFolder(ExportFolder&& other) noexcept
    : path_(std::move(other.path_)), lock_(std::move(other.lock_)) {
  other.path_.clear();
}

ExportFolder::~ExportFolder() {
  if (path_.empty()) return;
  std::error_code ignored;
  fs::remove_all(path_, ignored);
}

Result<std::vector<ExportedImage>> exportImages(const std::vector<std::string>& sources,
                                                const ExportRecipe& recipe, const fs::path& folder,
                                                const std::function<bool()>& stop) {
  if (Result<void> started = startVips(); !started) return Failure{started.error()};
  std::set<std::string> used;
  std::vector<ExportedImage> exported;
  for (const std::string& source : sources) {
    if (stop && stop()) return Failure{"interrupted"};
    const fs::path target = folder / exportName(source, used);
    if (Result<void> done = exportOne(source, target, recipe); !done) {
      return Failure{done.error()};
    }
    exported.push_back({source, target});
  }
  return exported;
}

}  // namespace vorelia::host
