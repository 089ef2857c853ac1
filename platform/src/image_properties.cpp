#include "platform/image_properties.h"

#include <sys/stat.h>

#include <csetjmp>
#include <cstdio>
#include <memory>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

namespace vorelia::platform {
namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return. It jumps back into
// readJpegHeader; no C++ object with a destructor lives in the frames it jumps over.
struct JumpingErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

[[noreturn]] void jumpOnError(j_common_ptr info) {
  std::longjmp(reinterpret_cast<JumpingErrorManager*>(info->err)->jump, 1);
}
void ignoreMessage(j_common_ptr, int) {}  // warnings and traces: nothing reaches stderr
void ignoreOutput(j_common_ptr) {}

// Reads the JPEG header from file and fills size. Plain C data only between setjmp and longjmp.
bool readJpegHeader(std::FILE* file, PixelSize* size) {
  jpeg_decompress_struct info{};
  JumpingErrorManager errors{};
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = jumpOnError;
  errors.base.emit_message = ignoreMessage;
  errors.base.output_message = ignoreOutput;
  if (setjmp(errors.jump) != 0) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_stdio_src(&info, file);  // reads in small buffers as the header needs them
  const bool ok = jpeg_read_header(&info, TRUE) == JPEG_HEADER_OK;
  if (ok) {
    size->width = static_cast<int>(info.image_width);
    size->height = static_cast<int>(info.image_height);
  }
  jpeg_destroy_decompress(&info);
  return ok;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};

}  // namespace

std::optional<PixelSize> imagePixelSize(const std::filesystem::path& file) {
  std::unique_ptr<std::FILE, FileCloser> stream(std::fopen(file.c_str(), "rbe"));
  if (!stream) return std::nullopt;
  struct stat info {};
  if (::fstat(::fileno(stream.get()), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  PixelSize size;
  if (!readJpegHeader(stream.get(), &size)) return std::nullopt;
  return size;
}

}  // namespace vorelia::platform
