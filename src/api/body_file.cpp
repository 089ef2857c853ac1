#include "api/body_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

namespace vorelia {

std::unique_ptr<BodyFile> BodyFile::Create() {
  std::error_code error;
  const auto folder = std::filesystem::temp_directory_path(error);
  if (error) return nullptr;
  for (int attempt = 0; attempt < platform::MakeAttempts; ++attempt) {
    std::string name = (folder / (std::string(Prefix) + "XXXXXX")).string();
    const int fd = ::mkostemp(name.data(), O_CLOEXEC);  // mode 0600
    if (fd < 0) return nullptr;
    std::unique_ptr<BodyFile> file(new BodyFile(name, fd));
    if (file->lock_.held()) return file;
  }
  return nullptr;
}

std::shared_ptr<const BodyFile> BodyFile::List(
    std::string_view key, std::size_t count,
    const std::function<void(JSONListWriter& list, std::size_t n)>& add) {
  constexpr std::size_t Piece = 1024;  // elements; some 40 to 64 KiB of ids or orders
  std::shared_ptr<BodyFile> file = Create();
  if (!file) return nullptr;
  JSONListWriter list(key);
  for (std::size_t n = 0; n < count; ++n) {
    add(list, n);
    if ((n + 1) % Piece == 0 && !file->append(list.takeWritten())) return nullptr;
  }
  const auto rest = std::move(list).finish();
  if (!rest || !file->append(*rest) || !file->finish()) return nullptr;
  return file;
}

BodyFile::BodyFile(std::filesystem::path path, int fd)
    : path_(std::move(path)), fd_(fd), lock_(path_) {}

BodyFile::~BodyFile() {
  if (fd_ >= 0) ::close(fd_);
  std::error_code ignored;
  std::filesystem::remove(path_, ignored);
}

bool BodyFile::append(std::string_view bytes) {
  while (written_ && !bytes.empty()) {
    const ssize_t n = fd_ < 0 ? -1 : ::write(fd_, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      written_ = false;
      break;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return written_;
}

bool BodyFile::finish() {
  if (fd_ >= 0 && ::close(std::exchange(fd_, -1)) != 0) written_ = false;
  return written_;
}

}  // namespace vorelia
