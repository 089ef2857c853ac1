// cohost-sample-photos: draws a small session of photographs for the demo and the tests, so that
// nothing has to be downloaded. Each scene has its own light, colours and orientation, which is
// what the vision analysis reads; the pictures are the same on every run.
//
//   cohost-sample-photos FOLDER [WIDTH]
#include <vips/vips.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace {

struct Colour {
  double r, g, b;
};

Colour mix(Colour a, Colour b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

// x and y run from 0 to 1 across the picture; the result is 0 to 255 per channel.
using Scene = std::function<Colour(double x, double y)>;

struct Photo {
  std::string name;
  bool portrait;
  Scene scene;
};

double disc(double x, double y, double cx, double cy, double radius) {
  const double d = std::hypot(x - cx, y - cy);
  return std::clamp((radius - d) / (radius * 0.08), 0.0, 1.0);
}

std::vector<Photo> photos() {
  return {
      {"Harbour at dusk", false,
       [](double x, double y) {
         if (y > 0.68) return mix({40, 30, 70}, {10, 10, 30}, (y - 0.68) / 0.32);
         Colour sky = mix({250, 150, 60}, {120, 60, 140}, 1.0 - y / 0.68);
         return mix(sky, {255, 220, 120}, disc(x, y, 0.7, 0.55, 0.08));
       }},
      {"Forest trail", false,
       [](double x, double y) {
         const double trunk = std::sin(x * 60.0) > 0.82 ? 1.0 : 0.0;
         Colour leaves = mix({30, 90, 35}, {90, 150, 60}, y);
         return mix(leaves, {70, 50, 30}, trunk * (y > 0.3 ? 1.0 : 0.0));
       }},
      {"Beach morning", false,
       [](double, double y) {
         if (y < 0.5) return mix({150, 200, 250}, {200, 230, 255}, y * 2);
         if (y < 0.6) return Colour{40, 120, 190};
         return mix({230, 210, 160}, {210, 185, 130}, (y - 0.6) / 0.4);
       }},
      {"Anna's portrait", true,
       [](double x, double y) {
         Colour backdrop = mix({90, 90, 95}, {50, 50, 55}, y);
         const double face = disc(x * 1.4, y, 0.7, 0.38, 0.2);
         const double body = y > 0.62 ? disc(x, (y - 0.62) * 0.6 + 0.62, 0.5, 0.9, 0.35) : 0.0;
         return mix(mix(backdrop, {40, 40, 120}, body), {225, 180, 150}, face);
       }},
      {"Café terrace at night", false,
       [](double x, double y) {
         const double lamp = std::max(disc(x, y, 0.25, 0.3, 0.05), disc(x, y, 0.75, 0.3, 0.05));
         const double window = (std::fmod(x * 8, 1.0) < 0.4 && y > 0.45 && y < 0.6) ? 1.0 : 0.0;
         return mix(mix({15, 15, 35}, {200, 140, 50}, window * 0.8), {255, 230, 150}, lamp);
       }},
      {"Snow field", false,
       [](double x, double y) {
         return mix({235, 240, 250}, {200, 215, 235}, std::fabs(std::sin(x * 3 + y * 2)) * 0.5);
       }},
  };
}

bool draw(const Photo& photo, int longEdge, const std::filesystem::path& file) {
  const int width = photo.portrait ? longEdge * 2 / 3 : longEdge;
  const int height = photo.portrait ? longEdge : longEdge * 2 / 3;
  std::vector<std::uint8_t> pixels(static_cast<std::size_t>(width) * height * 3);
  std::uint32_t noise = 2463534242u;  // xorshift: grain that is the same on every run
  for (int row = 0; row < height; ++row) {
    for (int column = 0; column < width; ++column) {
      const Colour c =
          photo.scene(static_cast<double>(column) / width, static_cast<double>(row) / height);
      noise ^= noise << 13, noise ^= noise >> 17, noise ^= noise << 5;
      const double grain = static_cast<double>(noise % 13) - 6.0;
      std::uint8_t* pixel = &pixels[(static_cast<std::size_t>(row) * width + column) * 3];
      pixel[0] = static_cast<std::uint8_t>(std::clamp(c.r + grain, 0.0, 255.0));
      pixel[1] = static_cast<std::uint8_t>(std::clamp(c.g + grain, 0.0, 255.0));
      pixel[2] = static_cast<std::uint8_t>(std::clamp(c.b + grain, 0.0, 255.0));
    }
  }
  VipsImage* image =
      vips_image_new_from_memory(pixels.data(), pixels.size(), width, height, 3, VIPS_FORMAT_UCHAR);
  if (image == nullptr) return false;
  const int failed = vips_jpegsave(image, file.c_str(), "Q", 90, nullptr);
  g_object_unref(image);
  return failed == 0;
}

}  // namespace

int main(int argc, char** argv) {
  constexpr const char* Usage = "usage: cohost-sample-photos FOLDER [LONG_EDGE]\n";
  if (argc >= 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::printf(
        "%s\nDraws six sample photos (JPEG, long edge LONG_EDGE pixels, default 2400) into\n"
        "FOLDER, made if missing, and prints their paths. The same pictures on every run.\n",
        Usage);
    return 0;
  }
  if (argc < 2 || argc > 3 || argv[1][0] == '-') {
    std::fprintf(stderr, "%s", Usage);
    if (argc >= 2 && argv[1][0] == '-') {
      std::fprintf(stderr, "cohost-sample-photos: unknown option %s (a folder named so: ./%s)\n",
                   argv[1], argv[1]);
    }
    return 2;
  }
  const int longEdge = argc == 3 ? std::atoi(argv[2]) : 2400;
  if (longEdge < 16 || longEdge > 12000) {
    std::fprintf(stderr, "cohost-sample-photos: LONG_EDGE must be between 16 and 12000\n");
    return 2;
  }
  if (VIPS_INIT(argv[0]) != 0) {
    std::fprintf(stderr, "cohost-sample-photos: libvips could not start\n");
    return 1;
  }
  const std::filesystem::path folder = argv[1];
  std::error_code error;
  std::filesystem::create_directories(folder, error);
  for (const Photo& photo : photos()) {
    const std::filesystem::path file = folder / (photo.name + ".jpg");
    if (!draw(photo, longEdge, file)) {
      std::fprintf(stderr, "cohost-sample-photos: cannot write %s: %s\n", file.c_str(),
                   vips_error_buffer());
      return 1;
    }
    std::printf("%s\n", file.c_str());
  }
  vips_shutdown();
  return 0;
}
