#include "platform/image_properties.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/jpeg_writer.h"
#include "support/temp_home.h"

namespace vorelia::platform {
namespace {

namespace fs = std::filesystem;

std::string makeJpeg(int width, int height) {
  return testing::makeJpeg(width, height, [](int x, int y) {
    return testing::Rgb{static_cast<unsigned char>(x * 7), static_cast<unsigned char>(y * 13), 0};
  });
}

// Only the header is read: a file whose compressed pixels are cut short still has its size. What is
// no readable JPEG has none, and no decoder complains on stderr either way.
TEST(ImageProperties, ReadsThePixelSizeFromTheHeaderAlone) {
  testing::TempHome home;
  const auto write = [&](const std::string& name, const std::string& bytes) {
    std::ofstream(home.path() / name, std::ios::binary) << bytes;
    return home.path() / name;
  };
  const std::string jpeg = makeJpeg(17, 9), wide = makeJpeg(65500, 2), tall = makeJpeg(4096, 256);
  const struct {
    std::string name;
    fs::path file;
    std::optional<std::pair<int, int>> size;
  } cases[] = {
      {"17x9", write("a.jpg", jpeg), std::pair{17, 9}},
      {"65500x2", write("b.jpg", wide), std::pair{65500, 2}},
      {"pixels cut short", write("c.jpg", tall.substr(0, tall.size() / 2)), std::pair{4096, 256}},
      {"header cut before the frame", write("d.jpg", jpeg.substr(0, 100)), std::nullopt},
      {"empty", write("e.jpg", ""), std::nullopt},
      {"PNG", write("f.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x11\0\0\0\x09", 24)),
       std::nullopt},
      {"start marker then garbage", write("g.jpg", std::string("\xff\xd8\xff\xc0\x00\x02", 6)),
       std::nullopt},
      {"missing", home.path() / "missing.jpg", std::nullopt},
      {"folder", home.path(), std::nullopt},
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    const auto size = imagePixelSize(c.file);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << c.name;
    EXPECT_EQ(size ? std::optional(std::pair{size->width, size->height}) : std::nullopt, c.size)
        << c.name;
  }
}

}  // namespace
}  // namespace vorelia::platform
