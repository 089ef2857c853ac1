// Build tool: draws the plugin's icon (a rounded square with a vertical gradient and a white "V")
// at 128 and 256 pixels, encodes each as PNG with libvips and writes them into an ICNS container.
//
// Usage: make_icns OUTPUT.icns
//
// ICNS layout: the magic 'icns' and the big-endian length of the whole file, then one entry per
// image: its four-character type, the big-endian length of the entry including this 8-byte header,
// and the PNG bytes. 'ic07' holds the 128-pixel image, 'ic08' the 256-pixel one.
#include <vips/vips8>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Point {
  double x;
  double y;
};

// The "V", in units of the icon's side, clockwise from the top of its left arm.
constexpr std::array<Point, 7> vShape = {{{0.25, 0.27},
                                          {0.38, 0.27},
                                          {0.50, 0.60},
                                          {0.62, 0.27},
                                          {0.75, 0.27},
                                          {0.565, 0.76},
                                          {0.435, 0.76}}};

// Even-odd rule: whether p lies inside the V.
bool insideV(Point p) {
  bool inside = false;
  for (std::size_t i = 0, j = vShape.size() - 1; i < vShape.size(); j = i++) {
    const Point a = vShape[i];
    const Point b = vShape[j];
    if ((a.y > p.y) != (b.y > p.y) && p.x < (b.x - a.x) * (p.y - a.y) / (b.y - a.y) + a.x) {
      inside = !inside;
    }
  }
  return inside;
}

// Coverage of the pixel at (x, y) by the V, from a 4x4 grid of samples.
double vCoverage(int x, int y, int size) {
  constexpr int samples = 4;
  int hits = 0;
  for (int sy = 0; sy < samples; ++sy) {
    for (int sx = 0; sx < samples; ++sx) {
      const Point p{(x + (sx + 0.5) / samples) / size, (y + (sy + 0.5) / samples) / size};
      if (insideV(p)) ++hits;
    }
  }
  return static_cast<double>(hits) / (samples * samples);
}

// Coverage of the pixel at (x, y) by the rounded square, from its signed distance in pixels.
double squareCoverage(int x, int y, int size) {
  const double half = size * (0.5 - 0.0625);
  const double radius = size * 0.18;
  const double px = std::abs(x + 0.5 - size / 2.0) - (half - radius);
  const double py = std::abs(y + 0.5 - size / 2.0) - (half - radius);
  const double outside = std::hypot(std::max(px, 0.0), std::max(py, 0.0));
  const double distance = outside + std::min(std::max(px, py), 0.0) - radius;
  return std::clamp(0.5 - distance, 0.0, 1.0);
}

// RGBA pixels of the icon at size x size.
std::vector<unsigned char> drawIcon(int size) {
  constexpr std::array<double, 3> top = {52, 120, 226};
  constexpr std::array<double, 3> bottom = {98, 48, 178};
  std::vector<unsigned char> pixels(static_cast<std::size_t>(size) * size * 4);
  for (int y = 0; y < size; ++y) {
    const double t = (y + 0.5) / size;
    for (int x = 0; x < size; ++x) {
      const double v = vCoverage(x, y, size);
      unsigned char* pixel = &pixels[(static_cast<std::size_t>(y) * size + x) * 4];
      for (int c = 0; c < 3; ++c) {
        const double background = top[c] + (bottom[c] - top[c]) * t;
        pixel[c] = static_cast<unsigned char>(std::lround(background + (255 - background) * v));
      }
      pixel[3] = static_cast<unsigned char>(std::lround(255 * squareCoverage(x, y, size)));
    }
  }
  return pixels;
}

std::vector<unsigned char> encodePng(int size) {
  std::vector<unsigned char> pixels = drawIcon(size);
  vips::VImage image =
      vips::VImage::new_from_memory(pixels.data(), pixels.size(), size, size, 4, VIPS_FORMAT_UCHAR)
          .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
  void* buffer = nullptr;
  std::size_t length = 0;
  image.write_to_buffer(".png", &buffer, &length);
  const std::unique_ptr<void, decltype(&g_free)> owned(buffer, &g_free);
  const auto* bytes = static_cast<const unsigned char*>(buffer);
  return std::vector<unsigned char>(bytes, bytes + length);
}

void appendBigEndian(std::vector<unsigned char>& out, std::uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back((value >> shift) & 0xff);
}

void appendType(std::vector<unsigned char>& out, const char (&type)[5]) {
  out.insert(out.end(), type, type + 4);
}

std::vector<unsigned char> makeIcns() {
  struct Entry {
    const char (&type)[5];
    int size;
  };
  const Entry entries[] = {{"ic07", 128}, {"ic08", 256}};
  std::vector<unsigned char> body;
  for (const Entry& entry : entries) {
    const std::vector<unsigned char> png = encodePng(entry.size);
    appendType(body, entry.type);
    appendBigEndian(body, static_cast<std::uint32_t>(png.size() + 8));
    body.insert(body.end(), png.begin(), png.end());
  }
  std::vector<unsigned char> file;
  appendType(file, "icns");
  appendBigEndian(file, static_cast<std::uint32_t>(body.size() + 8));
  file.insert(file.end(), body.begin(), body.end());
  return file;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icns OUTPUT.icns\n");
    return 2;
  }
  if (VIPS_INIT(argv[0]) != 0) {
    std::fprintf(stderr, "make_icns: libvips does not start: %s\n", vips_error_buffer());
    return 1;
  }
  int status = 0;
  try {
    const std::vector<unsigned char> icns = makeIcns();
    std::ofstream out(argv[1], std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(icns.data()),
              static_cast<std::streamsize>(icns.size()));
    out.close();
    if (!out) {
      std::fprintf(stderr, "make_icns: cannot write %s\n", argv[1]);
      std::remove(argv[1]);
      status = 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "make_icns: %s\n", e.what());
    status = 1;
  }
  vips_shutdown();
  return status;
}
