#include "platform/image_properties.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>

#include "support/temp_home.h"

namespace vorelia::platform {
namespace {

namespace fs = std::filesystem;

// A real JPEG of width x height, made with libjpeg's compressor.
std::string makeJpeg(int width, int height, int components) {
  jpeg_compress_struct info{};
  jpeg_error_mgr errors{};
  info.err = jpeg_std_error(&errors);
  jpeg_create_compress(&info);
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = components;
  info.in_color_space = components == 1 ? JCS_GRAYSCALE : JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_start_compress(&info, TRUE);
  std::vector<JSAMPLE> row(static_cast<size_t>(width * components));
  for (int y = 0; y < height; ++y) {
    for (size_t x = 0; x < row.size(); ++x) row[x] = static_cast<JSAMPLE>((x * 7 + y * 13) % 256);
    JSAMPROW rows[] = {row.data()};
    jpeg_write_scanlines(&info, rows, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  std::string bytes(reinterpret_cast<const char*>(buffer), size);
  std::free(buffer);
  return bytes;
}

class ImageProperties : public ::testing::Test {
 protected:
  fs::path write(const std::string& name, const std::string& bytes) {
    const fs::path file = folder_ / name;
    std::ofstream(file, std::ios::binary) << bytes;
    return file;
  }
  ~ImageProperties() override {
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
  }

  const fs::path folder_ = testing::makeTempDirectory("vorelia-images");
};

// Reads only the header: a file whose compressed pixels are cut short still has its size, and no
// decoder complains on stderr.
TEST_F(ImageProperties, ReadsThePixelSizeFromTheHeaderAlone) {
  const struct {
    int width, height, components;
    bool cutPixels;
  } cases[] = {{17, 9, 1, false}, {1, 1, 3, false}, {65500, 2, 1, false}, {4096, 256, 3, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
    std::string jpeg = makeJpeg(c.width, c.height, c.components);
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
  const std::string jpeg = makeJpeg(17, 9, 1);
  const struct {
    std::string name;
    fs::path file;
  } cases[] = {
      {"header cut before the frame", write("a.jpg", jpeg.substr(0, 100))},
      {"empty", write("c.jpg", "")},
      {"PNG", write("d.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x11\0\0\0\x09", 24))},
      {"start marker then garbage", write("f.jpg", std::string("\xff\xd8\xff\xc0\x00\x02", 6))},
      {"missing", folder_ / "missing.jpg"},
      {"folder", folder_},
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
