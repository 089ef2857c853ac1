#include "support/test_bytes.h"

#include <openssl/evp.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <vector>

namespace vorelia::testing {
namespace {

std::uint64_t mix(std::uint64_t x) {
  // splitmix64: cheap and well spread, so a shifted or repeated block changes the digest.
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

constexpr std::size_t kChunk = 1 << 20;

}  // namespace

void fillGenerated(std::uint64_t offset, char* out, std::size_t size) {
  while (size > 0) {
    const std::uint64_t word = mix(offset / 8);
    const std::size_t start = offset % 8;
    const std::size_t take = std::min<std::size_t>(8 - start, size);
    if constexpr (std::endian::native == std::endian::little) {
      if (take == 8) {
        std::memcpy(out, &word, 8);
        out += 8;
        offset += 8;
        size -= 8;
        continue;
      }
    }
    for (std::size_t i = 0; i < take; ++i) {
      out[i] = static_cast<char>((word >> (8 * (start + i))) & 0xff);
    }
    out += take;
    offset += take;
    size -= take;
  }
}

std::string generatedBytes(std::size_t size) {
  std::string bytes(size, '\0');
  fillGenerated(0, bytes.data(), size);
  return bytes;
}

bool writeGeneratedFile(const std::filesystem::path& path, std::uint64_t size) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  std::vector<char> chunk(kChunk);
  for (std::uint64_t offset = 0; offset < size && file;) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - offset));
    fillGenerated(offset, chunk.data(), take);
    file.write(chunk.data(), static_cast<std::streamsize>(take));
    offset += take;
  }
  file.close();
  return !file.fail();
}

struct Sha256::Context {
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md{EVP_MD_CTX_new(), &EVP_MD_CTX_free};
};

Sha256::Sha256() : context_(std::make_unique<Context>()) {
  EVP_DigestInit_ex(context_->md.get(), EVP_sha256(), nullptr);
}

Sha256::~Sha256() = default;

void Sha256::update(const void* data, std::size_t size) {
  EVP_DigestUpdate(context_->md.get(), data, size);
}

std::string Sha256::hex() {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_DigestFinal_ex(context_->md.get(), digest, &length);
  static const char* const kDigits = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += kDigits[digest[i] >> 4];
    text += kDigits[digest[i] & 0xf];
  }
  return text;
}

std::string sha256Hex(std::string_view data) {
  Sha256 digest;
  digest.update(data.data(), data.size());
  return digest.hex();
}

std::string generatedSha256(std::uint64_t size) {
  Sha256 digest;
  std::vector<char> chunk(kChunk);
  for (std::uint64_t offset = 0; offset < size;) {
    const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(kChunk, size - offset));
    fillGenerated(offset, chunk.data(), take);
    digest.update(chunk.data(), take);
    offset += take;
  }
  return digest.hex();
}

std::string fileSha256(const std::filesystem::path& path) {
  std::ifstream file(path, std::ios::binary);
  if (!file) return {};
  Sha256 digest;
  std::vector<char> chunk(kChunk);
  while (file) {
    file.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    digest.update(chunk.data(), static_cast<std::size_t>(file.gcount()));
  }
  return digest.hex();
}

}  // namespace vorelia::testing
