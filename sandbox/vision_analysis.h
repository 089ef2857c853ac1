// The sandbox's computer vision: what can honestly be told from an image's pixels alone. The image
// is decoded as a JPEG at an eighth of its size, one row at a time (memory stays small whatever
// the image), and measured: its shape, brightness, contrast, colourfulness, how much fine detail
// it holds, and which named colours cover it. The same file always gives the same answer.
#pragma once

#include <filesystem>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vorelia::sandbox {

struct ImageMeasures {
  int width = 0;  // pixels, as stored
  int height = 0;
  double brightness = 0;  // mean luma, 0 to 1
  double contrast = 0;    // standard deviation of luma, 0 to 0.5
  double saturation = 0;  // mean saturation, 0 to 1
  double detail = 0;      // mean luma difference between neighbouring pixels, 0 to 1
  // Named colours ("blue", "white", ...) with the share of the pixels they cover, largest first;
  // only colours covering at least a tenth of the image.
  std::vector<std::pair<std::string, double>> colours;
};

// Measures the JPEG file at path. Fails (nullopt, error set) when it is not a readable JPEG.
std::optional<ImageMeasures> measureImage(const std::filesystem::path& path, std::string* error);

// The credits one analysis costs with the options of payload ("Categories" or "Tags" 1, "Face" 1,
// "Description" 2.5, "Adult", "Celebrities", "Landmarks", "Wedding", "Food", "Travel", "Apparel",
// "Texture" 1.5 each); a member counts when it is true.
double analysisCost(const nlohmann::json& payload);

// The keywords and description of an image by the options of payload: keywords when "Tags" or
// "Categories" is set (and texture words when "Texture" is), the description when "Description"
// is. Returns {"keywords": [...], "description": text}; options the sandbox cannot see (faces,
// celebrities, ...) add nothing.
nlohmann::json describeImage(const ImageMeasures& measures, const nlohmann::json& payload);

}  // namespace vorelia::sandbox
