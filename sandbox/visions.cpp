#include "sandbox/visions.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "sandbox/http_util.h"
#include "sandbox/secrets.h"

namespace vorelia::sandbox {

namespace fs = std::filesystem;

namespace {

// Writes bytes to a file of its own beside path (two uploads of one name never share it), then
// renames it over path: a reader sees the old image or the new one, never a part.
bool replaceFile(const fs::path& path, std::string_view bytes) {
  std::string temporary = path.string() + ".XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) return false;
  bool ok = true;
  for (std::size_t done = 0; ok && done < bytes.size();) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<std::size_t>(n);
  }
  ok = ::close(fd) == 0 && ok;
  ok = ok && ::rename(temporary.c_str(), path.c_str()) == 0;
  if (!ok) ::unlink(temporary.c_str());
  return ok;
}

}  // namespace

Visions::Visions(Options options) : options_(std::move(options)), secret_(randomToken()) {}

Visions::~Visions() {
  if (folder_.empty()) return;
  std::error_code ignored;
  fs::remove_all(folder_, ignored);
}

std::optional<std::string> Visions::prepare() {
  std::error_code ec;
  std::string pattern = (fs::temp_directory_path(ec) / "vorelia-sandbox-visions-XXXXXX").string();
  if (ec || ::mkdtemp(pattern.data()) == nullptr) {
    return "cannot make a folder for the visions' images";
  }
  folder_ = pattern;
  return std::nullopt;
}

SystemClock::time_point Visions::now() const {
  return options_.now ? options_.now() : SystemClock::now();
}

Result<std::string> Visions::create(std::string_view account) {
  std::string id = randomUuid();
  std::error_code ec;
  if (!fs::create_directory(folder_ / id, ec)) {
    return Failure{500, "The vision's storage cannot be made"};
  }
  std::scoped_lock lock(mutex_);
  if (visions_.size() >= kMaxVisions) {
    fs::remove(folder_ / id, ec);
    return Failure{503, "The sandbox holds too many visions"};
  }
  visions_.emplace(id, Vision{std::string(account), {}});
  return id;
}

std::optional<std::string> Visions::owner(std::string_view visionId) const {
  std::scoped_lock lock(mutex_);
  const auto it = visions_.find(std::string(visionId));
  if (it == visions_.end()) return std::nullopt;
  return it->second.account;
}

std::string Visions::signature(std::string_view visionId, std::string_view expiry) const {
  const std::string message = std::string(visionId) + "\n" + std::string(expiry);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), secret_.data(), static_cast<int>(secret_.size()),
       reinterpret_cast<const unsigned char*>(message.data()), message.size(), digest, &length);
  static constexpr char Hex[] = "0123456789abcdef";
  std::string text;
  for (unsigned int i = 0; i < length; ++i) {
    text += Hex[digest[i] >> 4];
    text += Hex[digest[i] & 0x0F];
  }
  return text;
}

std::string Visions::uploadSas(std::string_view visionId) const {
  const auto expiry = std::chrono::duration_cast<std::chrono::seconds>(
                          (now() + options_.sasLifetime).time_since_epoch())
                          .count();
  const std::string se = std::to_string(expiry);
  return "?se=" + se + "&sig=" + signature(visionId, se);
}

Outcome Visions::verify(std::string_view visionId, std::string_view rawQuery) const {
  const auto form = parseForm(rawQuery);
  const auto se = formValue(form, "se");
  const auto sig = formValue(form, "sig");
  if (!se || !sig) return Failure{403, "The request carries no signature"};
  if (!constantTimeEquals(*sig, signature(visionId, *se))) {
    return Failure{403, "The signature does not match"};
  }
  long long expiry = 0;
  try {
    expiry = std::stoll(*se);
  } catch (...) {
    return Failure{403, "The signature's expiry is not a time"};
  }
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(now().time_since_epoch()).count();
  if (expiry <= seconds) return Failure{403, "The signature has expired"};
  return std::nullopt;
}

fs::path Visions::fileOf(std::string_view visionId, std::string_view name) const {
  return folder_ / std::string(visionId) / sha256Hex(name);
}

Outcome Visions::store(std::string_view visionId, std::string_view name, std::string_view bytes) {
  if (name.empty() || name.size() > kMaxImageName) {
    return Failure{400, "An image name has 1 to 1024 bytes"};
  }
  {
    std::scoped_lock lock(mutex_);
    const auto it = visions_.find(std::string(visionId));
    if (it == visions_.end()) return Failure{404, "The vision does not exist"};
    if (!it->second.images.contains(name) && it->second.images.size() >= kMaxImagesPerVision) {
      return Failure{503, "The vision holds too many images"};
    }
  }
  // Written outside the lock: a large image must not hold up other requests.
  if (!replaceFile(fileOf(visionId, name), bytes)) {
    return Failure{500, "The image cannot be stored"};
  }
  std::scoped_lock lock(mutex_);
  const auto it = visions_.find(std::string(visionId));
  if (it != visions_.end()) it->second.images.emplace(name);
  return std::nullopt;
}

std::optional<fs::path> Visions::image(std::string_view visionId, std::string_view name) const {
  {
    std::scoped_lock lock(mutex_);
    const auto it = visions_.find(std::string(visionId));
    if (it == visions_.end() || !it->second.images.contains(name)) return std::nullopt;
  }
  return fileOf(visionId, name);
}

}  // namespace vorelia::sandbox
