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

class ImageProperties : public ::testing::Test {
 protected:
  fs::path write(const std::string& name, const std::string& bytes) {
    std::ofstream(home.path() / name, std::ios::binary) << bytes;
    return home.path() / name;
  }

  testing::TempHome home;
};
// Reads only the header: a file whose compressed pixels are cut short still has its size, and no
// decoder complains on stderr.
TEST_F(ImageProperties, ReadsThePixelSizeFromTheHeaderAlone) {
  const struct {
    int width, height;
    bool cutPixels;
  } cases[] = {{17, 9, false}, {1, 1, false}, {65500, 2, false}, {4096, 256, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    std::string jpeg = makeJpeg(c.width, c.height);
    if (c.cutPixels) jpeg.resize(jpeg.size() / 2);
    const auto file = write("image.jpg", jpeg);
    ::testing::internal::CaptureStderr();
    const auto size = imagePixelSize(file);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    ASSERT_TRUE(size.has_value());
    EXPECT_EQ(size->width, c.width);
    EXPECT_EQ(size->height, c.height);
  }
}

TEST_F(ImageProperties, IsAbsentForWhatIsNotAReadableJpeg) {
  const std::string jpeg = makeJpeg(17, 9);
  const struct {
    std::string name;
    fs::path file;
  } cases[] = {
      {"header cut before the frame", write("a.jpg", jpeg.substr(0, 100))},
      {"empty", write("c.jpg", "")},
      {"PNG", write("d.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x11\0\0\0\x09", 24))},
      {"start marker then garbage", write("f.jpg", std::string("\xff\xd8\xff\xc0\x00\x02", 6))},
      {"missing", home.path() / "missing.jpg"},
      {"folder", home.path()},
  };
  for (const auto& c : cases) {
    ::testing::internal::CaptureStderr();
    const auto size = imagePixelSize(c.file);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << c.name;
    EXPECT_FALSE(size.has_value()) << c.name;
  }
}

}  // namespace
}  // namespace vorelia::platform
