#include "sandbox/blob_store.h"

#include <fcntl.h>
#include <unistd.h>

#include <openssl/evp.h>
#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <fstream>
#include <memory>
#include <vector>

#include "sandbox/http_util.h"
#include "sandbox/secrets.h"

namespace vorelia::sandbox {
namespace {

Failure refused(std::string message) { return Failure{403, std::move(message)}; }

std::string digestFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> md(EVP_MD_CTX_new(), &EVP_MD_CTX_free);
  EVP_DigestInit_ex(md.get(), EVP_sha256(), nullptr);
  std::vector<char> buffer(1 << 20);
  while (in) {
    in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
    EVP_DigestUpdate(md.get(), buffer.data(), static_cast<std::size_t>(in.gcount()));
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> digest{};
  unsigned int size = 0;
  EVP_DigestFinal_ex(md.get(), digest.data(), &size);
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned int i = 0; i < size; ++i) {
    out += kDigits[digest[i] >> 4];
    out += kDigits[digest[i] & 15];
  }
  return out;
}

}  // namespace

BlobStore::BlobStore(Options options)
    : options_(std::move(options)),
      secret_(options_.secret.empty() ? randomToken(32) : options_.secret) {}

std::optional<std::string> BlobStore::prepare() {
  std::error_code error;
  std::filesystem::create_directories(options_.folder, error);
  if (error) return "cannot create " + options_.folder.string() + ": " + error.message();
  const std::filesystem::path probe = options_.folder / ".probe";
  std::ofstream out(probe);
  if (!out) return "cannot write into " + options_.folder.string();
  out.close();
  std::filesystem::remove(probe, error);
  return std::nullopt;
}

SystemClock::time_point BlobStore::now() const {
  return options_.now ? options_.now() : SystemClock::now();
}

std::string BlobStore::signature(std::string_view blobPath, std::string_view permissions,
                                 std::string_view expiry) const {
  std::string text;
  text.append(permissions).append("\n").append(expiry).append("\n").append(blobPath);
  return hmacSha256Hex(secret_, text);
}

std::string BlobStore::sign(std::string_view blobPath, std::string_view permissions,
                            SystemClock::time_point expiry) const {
  const std::string seconds = std::to_string(
      std::chrono::duration_cast<std::chrono::seconds>(expiry.time_since_epoch()).count());
  return "se=" + seconds + "&sp=" + std::string(permissions) +
         "&sig=" + signature(blobPath, permissions, seconds);
}

std::string BlobStore::signFolder(std::string_view folder, std::string_view permissions,
                                  SystemClock::time_point expiry) const {
  return sign(std::string(folder) + "/", permissions, expiry) + "&sr=d";
}

Outcome BlobStore::verify(std::string_view blobPath, std::string_view rawQuery,
                          char permission) const {
  const auto query = parseForm(rawQuery);
  // A second copy of a signed value would leave open which one was meant.
  for (const char* name : {"se", "sp", "sig", "sr"}) {
    if (std::count_if(query.begin(), query.end(),
                      [name](const auto& pair) { return pair.first == name; }) > 1) {
      return refused(std::string("The signature's ") + name + " is given twice");
    }
  }
  const auto expiry = formValue(query, "se");
  const auto permissions = formValue(query, "sp");
  const auto given = formValue(query, "sig");
  if (!expiry || !permissions || !given) return refused("The request carries no signature");
  // A folder's signature covers the blobs directly in it: it was made over the folder's path.
  const auto scope = formValue(query, "sr");
  if (scope && *scope != "d") return refused("The signature's scope is not known");
  const std::string_view signedPath =
      scope ? blobPath.substr(0, blobPath.rfind('/') + 1) : blobPath;
  if (!constantTimeEquals(*given, signature(signedPath, *permissions, *expiry))) {
    return refused("The signature does not match the blob");
  }
  long long seconds = 0;
  const auto [end, error] =
      std::from_chars(expiry->data(), expiry->data() + expiry->size(), seconds);
  if (error != std::errc{} || end != expiry->data() + expiry->size()) {
    return refused("The signature's expiry is not a time");
  }
  if (SystemClock::time_point(std::chrono::seconds(seconds)) <= now()) {
    return refused("The signature has expired");
  }
  if (permissions->find(permission) == std::string::npos) {
    return refused("The signature does not allow this operation");
  }
  return std::nullopt;
}

bool BlobStore::isValidPath(std::string_view blobPath) {
  if (blobPath.empty() || blobPath.size() > kMaxBlobPath) return false;
  if (blobPath.find('\0') != std::string_view::npos) return false;
  const auto slash = blobPath.find('/');
  if (slash == 0 || slash == std::string_view::npos || slash + 1 == blobPath.size()) return false;
  std::size_t start = 0;
  while (start <= blobPath.size()) {
    const auto end = std::min(blobPath.find('/', start), blobPath.size());
    const std::string_view segment = blobPath.substr(start, end - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    start = end + 1;
  }
  return true;
}

std::filesystem::path BlobStore::fileOf(std::string_view blobPath) const {
  return options_.folder / (sha256Hex(blobPath) + ".blob");
}

Result<std::unique_ptr<BlobStore::Writer>> BlobStore::open(std::string_view blobPath,
                                                           std::uint64_t size) {
  if (!isValidPath(blobPath)) return Failure{400, "The blob name is not valid"};
  if (size > options_.maxBlobSize) return Failure{413, "The blob is too large"};
  std::uint64_t serial = 0;
  {
    std::scoped_lock lock(mutex_);
    if (sizes_.size() >= kMaxBlobs && !sizes_.contains(std::string(blobPath))) {
      return Failure{503, "The blob store is full"};
    }
    serial = nextTemporary_++;
  }
  const std::filesystem::path temporary =
      options_.folder / (sha256Hex(blobPath) + "." + std::to_string(serial) + ".part");
  const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return Failure{500, "The blob store cannot write: " + std::string(strerror(errno))};
  return std::unique_ptr<Writer>(new Writer(*this, std::string(blobPath), temporary, fd, size));
}

BlobStore::Writer::Writer(BlobStore& store, std::string blobPath, std::filesystem::path temporary,
                          int fd, std::uint64_t expected)
    : store_(store),
      blobPath_(std::move(blobPath)),
      temporary_(std::move(temporary)),
      fd_(fd),
      expected_(expected) {}

BlobStore::Writer::~Writer() {
  if (fd_ >= 0) ::close(fd_);
  if (!committed_) {
    std::error_code ignored;
    std::filesystem::remove(temporary_, ignored);
  }
}

bool BlobStore::Writer::write(const char* data, std::size_t size) {
  if (fd_ < 0 || written_ + size > expected_) return false;
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
    written_ += static_cast<std::uint64_t>(n);
  }
  return true;
}

Outcome BlobStore::Writer::commit() {
  if (fd_ < 0 || committed_) return Failure{500, "The blob was already written"};
  if (written_ != expected_) return Failure{400, "The body ended before its announced length"};
  const int closed = ::close(fd_);
  fd_ = -1;
  if (closed != 0) return Failure{500, "The blob store cannot write"};
  std::error_code error;
  std::filesystem::rename(temporary_, store_.fileOf(blobPath_), error);
  if (error) return Failure{500, "The blob store cannot write: " + error.message()};
  committed_ = true;
  std::scoped_lock lock(store_.mutex_);
  store_.sizes_[blobPath_] = written_;
  return std::nullopt;
}

std::optional<std::uint64_t> BlobStore::size(std::string_view blobPath) const {
  std::scoped_lock lock(mutex_);
  const auto found = sizes_.find(std::string(blobPath));
  if (found == sizes_.end()) return std::nullopt;
  return found->second;
}

nlohmann::json BlobStore::list(bool digests) const {
  std::vector<std::pair<std::string, std::uint64_t>> blobs;
  {
    std::scoped_lock lock(mutex_);
    blobs.assign(sizes_.begin(), sizes_.end());
  }
  std::sort(blobs.begin(), blobs.end());
  nlohmann::json out = nlohmann::json::array();
  for (const auto& [path, size] : blobs) {
    nlohmann::json blob = {{"path", path}, {"size", size}};
    if (digests) blob["sha256"] = digestFile(fileOf(path));
    out.push_back(std::move(blob));
  }
  return {{"blobs", std::move(out)}};
}

}  // namespace vorelia::sandbox
