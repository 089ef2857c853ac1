#include "sdk/co_publishing.h"

#include <fstream>
#include <iterator>

std::shared_ptr<const COImage> COImage::Load(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return nullptr;
  auto image = std::make_shared<COImage>();
  image->path = path;
  image->data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  if (in.bad() || image->data.empty()) return nullptr;
  return image;
}
