#include "model/keychain.h"

#include <cstdint>

#include "platform/secret_store.h"

namespace vorelia {
namespace {

// Secrets are text: bytes that are not UTF-8 read as no secret at all.
bool IsUtf8(const std::string& bytes) {
  std::size_t i = 0;
  while (i < bytes.size()) {
    const auto c = static_cast<unsigned char>(bytes[i]);
    std::size_t length = c < 0x80           ? 1
                         : (c >> 5) == 0x6  ? 2
                         : (c >> 4) == 0xE  ? 3
                         : (c >> 3) == 0x1E ? 4
                                            : 0;
    if (length == 0 || i + length > bytes.size()) return false;
    std::uint32_t codePoint = length == 1 ? c : c & (0x7F >> length);
    for (std::size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(bytes[i + k]);
      if ((next >> 6) != 0x2) return false;
      codePoint = (codePoint << 6) | (next & 0x3F);
    }
    static constexpr std::uint32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < smallest[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

}  // namespace

bool Keychain::save(const std::string& str, std::string_view forKey) {
  return platform::SecretStore::system()->save(std::string(forKey), str);
}

std::optional<std::string> Keychain::load(std::string_view forKey) {
  auto secret = platform::SecretStore::system()->load(std::string(forKey));
  if (secret && !IsUtf8(*secret)) return std::nullopt;
  return secret;
}

bool Keychain::remove(std::string_view forKey) {
  return platform::SecretStore::system()->remove(std::string(forKey));
}

}  // namespace vorelia
