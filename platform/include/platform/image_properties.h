// Image properties read from a file's header, without decoding the pixels.
#pragma once

#include <filesystem>
#include <optional>

namespace vorelia::platform {

struct PixelSize {
  int width = 0;
  int height = 0;
};

// The pixel size of a JPEG file; absent when the file is missing or not a readable JPEG.
std::optional<PixelSize> imagePixelSize(const std::filesystem::path& file);

}  // namespace vorelia::platform
