// Image properties read from a file's header, without decoding the pixels.
#pragma once

#include <filesystem>
#include <optional>

namespace vorelia::platform {

struct PixelSize {
  int width = 0;
  int height = 0;
};

// The pixel size of a JPEG file, read from its header without decoding (or reading) the pixels;
// absent when the file is missing, not a regular file, or not a JPEG whose header reads. Prints
// nothing. Any thread may call it.
std::optional<PixelSize> imagePixelSize(const std::filesystem::path& file);

}  // namespace vorelia::platform
