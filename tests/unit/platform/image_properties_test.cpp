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

TEST_F(ImageProperties, ReadsThePixelSizeOfJpegs) {
  struct Case {
    int width, height, components;
  };
  const Case cases[] = {{17, 9, 1}, {4096, 256, 3}, {1, 1, 3}, {65500, 2, 1}, {9, 3000, 3}};
  for (const auto& c : cases) {
    const auto file = write("image.jpg", makeJpeg(c.width, c.height, c.components));
    const auto size = imagePixelSize(file);
    ASSERT_TRUE(size.has_value()) << c.width << "x" << c.height;
    EXPECT_EQ(size->width, c.width) << c.width << "x" << c.height;
    EXPECT_EQ(size->height, c.height) << c.width << "x" << c.height;
  }
}

TEST_F(ImageProperties, ReadsOnlyTheHeader) {
  // The compressed pixels are cut short: a decoder would stumble, the header is all there.
  const std::string jpeg = makeJpeg(4096, 256, 3);
  const auto file = write("cut.jpg", jpeg.substr(0, jpeg.size() / 2));
  ::testing::internal::CaptureStderr();
  const auto size = imagePixelSize(file);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  ASSERT_TRUE(size.has_value());
  EXPECT_EQ(size->width, 4096);
  EXPECT_EQ(size->height, 256);
}

TEST_F(ImageProperties, IsAbsentForWhatIsNotAReadableJpeg) {
  const std::string jpeg = makeJpeg(17, 9, 1);
  struct Case {
    std::string name;
    fs::path file;
  };
  const Case cases[] = {
      {"header cut before the frame", write("a.jpg", jpeg.substr(0, 100))},
      {"only the start marker", write("b.jpg", jpeg.substr(0, 2))},
      {"empty", write("c.jpg", "")},
      {"PNG", write("d.png", std::string("\x89PNG\r\n\x1a\n\0\0\0\rIHDR\0\0\0\x11\0\0\0\x09", 24))},
      {"text", write("e.jpg", "not an image at all\n")},
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
