#include "sandbox/secrets.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>

#include <array>
#include <stdexcept>
#include <vector>

namespace vorelia::sandbox {
namespace {

std::vector<unsigned char> randomBytes(std::size_t count) {
  std::vector<unsigned char> bytes(count);
  if (count > 0 && RAND_bytes(bytes.data(), static_cast<int>(count)) != 1) {
    throw std::runtime_error("the random generator failed");
  }
  return bytes;
}

std::string hex(const unsigned char* data, std::size_t size) {
  constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (std::size_t i = 0; i < size; ++i) {
    out.push_back(kDigits[data[i] >> 4]);
    out.push_back(kDigits[data[i] & 0x0f]);
  }
  return out;
}

}  // namespace

std::string randomToken(std::size_t bytes) {
  constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
  const auto data = randomBytes(bytes);
  std::string out;
  std::size_t bits = 0;
  unsigned int buffer = 0;
  for (unsigned char byte : data) {
    buffer = (buffer << 8) | byte;
    bits += 8;
    while (bits >= 6) {
      bits -= 6;
      out.push_back(kAlphabet[(buffer >> bits) & 0x3f]);
    }
  }
  if (bits > 0) out.push_back(kAlphabet[(buffer << (6 - bits)) & 0x3f]);
  return out;
}

std::string randomUuid() {
  auto data = randomBytes(16);
  data[6] = static_cast<unsigned char>((data[6] & 0x0f) | 0x40);
  data[8] = static_cast<unsigned char>((data[8] & 0x3f) | 0x80);
  const std::string text = hex(data.data(), data.size());
  return text.substr(0, 8) + "-" + text.substr(8, 4) + "-" + text.substr(12, 4) + "-" +
         text.substr(16, 4) + "-" + text.substr(20);
}

std::string randomCode(std::size_t count) {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string out;
  while (out.size() < count) {
    for (unsigned char byte : randomBytes(count)) {
      // 62 * 4 = 248: bytes above that are skipped so that every character is equally likely.
      if (byte < 248 && out.size() < count) out.push_back(kAlphabet[byte % kAlphabet.size()]);
    }
  }
  return out;
}

std::string sha256Hex(std::string_view text) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  if (EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  return hex(digest.data(), size);
}

namespace {

std::array<unsigned char, EVP_MAX_MD_SIZE> hmac(std::string_view key, std::string_view text,
                                                unsigned int& size) {
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  if (HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data(),
           &size) == nullptr) {
    throw std::runtime_error("HMAC-SHA256 failed");
  }
  return digest;
}

}  // namespace

std::string hmacSha256Hex(std::string_view key, std::string_view text) {
  unsigned int size = 0;
  const auto digest = hmac(key, text, size);
  return hex(digest.data(), size);
}

std::string hmacSha256Base64(std::string_view base64Key, std::string_view text) {
  std::string key(3 * (base64Key.size() / 4) + 3, '\0');
  const int decoded = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(key.data()),
                                      reinterpret_cast<const unsigned char*>(base64Key.data()),
                                      static_cast<int>(base64Key.size()));
  if (decoded < 0 || base64Key.size() % 4 != 0) return {};
  std::size_t keySize = static_cast<std::size_t>(decoded);
  // EVP_DecodeBlock counts the padding as zero bytes.
  for (auto it = base64Key.rbegin(); it != base64Key.rend() && *it == '='; ++it) --keySize;
  key.resize(keySize);
  unsigned int size = 0;
  const auto digest = hmac(key, text, size);
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  const int encoded = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), digest.data(),
                                      static_cast<int>(size));
  out.resize(static_cast<std::size_t>(encoded));
  return out;
}

std::string passwordHash(std::string_view salt, std::string_view password) {
  std::string material;
  material.reserve(salt.size() + 1 + password.size());
  material.append(salt).append(":").append(password);
  return sha256Hex(material);
}

bool constantTimeEquals(std::string_view a, std::string_view b) {
  return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace vorelia::sandbox
