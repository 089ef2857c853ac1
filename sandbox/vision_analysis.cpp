#include "sandbox/vision_analysis.h"

#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csetjmp>
#include <cstdint>
#include <cstdio>
#include <memory>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace vorelia::sandbox {
namespace {

constexpr std::array<const char*, 12> ColourNames = {"black",  "gray",  "white",  "red",
                                                     "orange", "brown", "yellow", "green",
                                                     "teal",   "blue",  "purple", "pink"};

// The named colour of one pixel.
int colourOf(double r, double g, double b) {
  const double high = std::max({r, g, b});
  const double low = std::min({r, g, b});
  const double chroma = high - low;
  const double saturation = high > 0 ? chroma / high : 0;
  if (high < 0.18) return 0;
  if (saturation < 0.18 || chroma < 0.08) return high > 0.82 ? 2 : 1;
  double hue = 0;
  if (high == r) {
    hue = 60 * std::fmod((g - b) / chroma + 6, 6);
  } else if (high == g) {
    hue = 60 * ((b - r) / chroma + 2);
  } else {
    hue = 60 * ((r - g) / chroma + 4);
  }
  if (hue < 15 || hue >= 340) return 3;
  if (hue < 45) return high < 0.6 ? 5 : 4;
  if (hue < 70) return high < 0.45 ? 5 : 6;
  if (hue < 165) return 7;
  if (hue < 195) return 8;
  if (hue < 260) return 9;
  if (hue < 290) return 10;
  return 11;
}

// Sums over the decoded pixels. Plain data: it lives across setjmp.
struct Sums {
  std::uint64_t pixels = 0;
  std::uint64_t neighbours = 0;
  double luma = 0;
  double lumaSquared = 0;
  double saturation = 0;
  double difference = 0;
  std::uint64_t colours[ColourNames.size()] = {};
};

struct JumpingErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

[[noreturn]] void jumpOnError(j_common_ptr info) {
  auto* errors = reinterpret_cast<JumpingErrorManager*>(info->err);
  (*info->err->format_message)(info, errors->message);
  std::longjmp(errors->jump, 1);
}
void ignoreMessage(j_common_ptr, int) {}
void ignoreOutput(j_common_ptr) {}

// Decodes file at an eighth of its size and fills sums, width and height. Only plain data between
// setjmp and longjmp; the rows come from libjpeg's own pool, freed with the decompressor.
bool decode(std::FILE* file, Sums* sums, int* width, int* height, char* message) {
  jpeg_decompress_struct info{};
  JumpingErrorManager errors{};
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = jumpOnError;
  errors.base.emit_message = ignoreMessage;
  errors.base.output_message = ignoreOutput;
  if (setjmp(errors.jump) != 0) {
    std::snprintf(message, JMSG_LENGTH_MAX, "%s", errors.message);
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  *width = static_cast<int>(info.image_width);
  *height = static_cast<int>(info.image_height);
  info.out_color_space = JCS_RGB;
  info.scale_num = 1;
  info.scale_denom = 8;
  jpeg_start_decompress(&info);
  const JDIMENSION columns = info.output_width;
  JSAMPARRAY rows =
      (*info.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&info), JPOOL_IMAGE, columns * 3, 2);
  while (info.output_scanline < info.output_height) {
    const JDIMENSION y = info.output_scanline;
    JSAMPROW row = rows[y % 2];
    jpeg_read_scanlines(&info, &row, 1);
    const JSAMPROW above = rows[(y + 1) % 2];
    for (JDIMENSION x = 0; x < columns; ++x) {
      const double r = row[3 * x] / 255.0, g = row[3 * x + 1] / 255.0, b = row[3 * x + 2] / 255.0;
      const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
      const double high = std::max({r, g, b});
      sums->pixels += 1;
      sums->luma += luma;
      sums->lumaSquared += luma * luma;
      sums->saturation += high > 0 ? (high - std::min({r, g, b})) / high : 0;
      sums->colours[colourOf(r, g, b)] += 1;
      const auto lumaAt = [](JSAMPROW p, JDIMENSION i) {
        return (0.2126 * p[3 * i] + 0.7152 * p[3 * i + 1] + 0.0722 * p[3 * i + 2]) / 255.0;
      };
      if (x > 0) {
        sums->difference += std::fabs(luma - lumaAt(row, x - 1));
        sums->neighbours += 1;
      }
      if (y > 0) {
        sums->difference += std::fabs(luma - lumaAt(above, x));
        sums->neighbours += 1;
      }
    }
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

std::string orientationWord(const ImageMeasures& m) {
  if (m.width * 10 > m.height * 11) return "landscape";
  if (m.height * 10 > m.width * 11) return "portrait";
  return "square";
}

}  // namespace

std::optional<ImageMeasures> measureImage(const std::filesystem::path& path, std::string* error) {
  std::unique_ptr<std::FILE, FileCloser> stream(std::fopen(path.c_str(), "rbe"));
  struct stat status {};
  if (!stream || ::fstat(::fileno(stream.get()), &status) != 0 || !S_ISREG(status.st_mode)) {
    *error = "The image cannot be read";
    return std::nullopt;
  }
  Sums sums;
  ImageMeasures measures;
  char message[JMSG_LENGTH_MAX] = {};
  if (!decode(stream.get(), &sums, &measures.width, &measures.height, message) ||
      sums.pixels == 0) {
    *error = std::string("The file is not an image that can be analysed: ") + message;
    return std::nullopt;
  }
  const double n = static_cast<double>(sums.pixels);
  measures.brightness = sums.luma / n;
  measures.contrast =
      std::sqrt(std::max(0.0, sums.lumaSquared / n - measures.brightness * measures.brightness));
  measures.saturation = sums.saturation / n;
  measures.detail = sums.neighbours > 0 ? sums.difference / sums.neighbours : 0;
  for (std::size_t i = 0; i < ColourNames.size(); ++i) {
    const double share = sums.colours[i] / n;
    if (share >= 0.1) measures.colours.emplace_back(ColourNames[i], share);
  }
  // Largest first; equal shares by name, so the order never depends on anything else.
  std::sort(measures.colours.begin(), measures.colours.end(), [](const auto& a, const auto& b) {
    return a.second != b.second ? a.second > b.second : a.first < b.first;
  });
  return measures;
}

double analysisCost(const nlohmann::json& payload) {
  const auto set = [&](const char* key) {
    const auto it = payload.find(key);
    return it != payload.end() && it->is_boolean() && it->get<bool>();
  };
  double cost = set("Categories") || set("Tags") ? 1.0 : 0.0;
  if (set("Face")) cost += 1.0;
  if (set("Description")) cost += 2.5;
  for (const char* key :
       {"Adult", "Celebrities", "Landmarks", "Wedding", "Food", "Travel", "Apparel", "Texture"}) {
    if (set(key)) cost += 1.5;
  }
  return cost;
}

nlohmann::json describeImage(const ImageMeasures& m, const nlohmann::json& payload) {
  const auto set = [&](const char* key) {
    const auto it = payload.find(key);
    return it != payload.end() && it->is_boolean() && it->get<bool>();
  };
  const std::string shape = orientationWord(m);
  const char* light = m.brightness > 0.65 ? "bright" : m.brightness < 0.3 ? "dark" : nullptr;
  const char* range = m.contrast > 0.28   ? "high contrast"
                      : m.contrast < 0.08 ? "low contrast"
                                          : nullptr;
  const char* colour = m.saturation > 0.45   ? "colorful"
                       : m.saturation < 0.06 ? "monochrome"
                                             : nullptr;
  const char* texture = m.detail > 0.08 ? "detailed" : m.detail < 0.02 ? "smooth" : nullptr;

  nlohmann::json keywords = nlohmann::json::array();
  if (set("Tags") || set("Categories")) {
    keywords.push_back(shape);
    for (std::size_t i = 0; i < m.colours.size() && i < 3; ++i)
      keywords.push_back(m.colours[i].first);
    for (const char* word : {light, range, colour}) {
      if (word != nullptr) keywords.push_back(word);
    }
  }
  if (set("Texture") && texture != nullptr) keywords.push_back(std::string(texture) + " texture");

  std::string description;
  if (set("Description")) {
    description = std::string("A ") + (light ? std::string(light) + " " : "") + shape + " image";
    if (!m.colours.empty()) {
      description += " with mostly " + m.colours[0].first;
      if (m.colours.size() > 1) description += " and " + m.colours[1].first;
      description += " tones";
    }
    if (range != nullptr) description += std::string(", ") + range;
    if (colour != nullptr) description += std::string(", ") + colour;
    description += ".";
  }
  return {{"keywords", std::move(keywords)}, {"description", std::move(description)}};
}

}  // namespace vorelia::sandbox
