#include "sandbox/visions.h"

#include "sandbox/secrets.h"

namespace vorelia::sandbox {

namespace {

constexpr std::string_view kContainer = "visions";
constexpr std::chrono::hours kUploadWindow{4};

std::string folderOf(std::string_view visionId) {
  return std::string(kContainer) + "/" + std::string(visionId);
}

}  // namespace

Visions::Visions(BlobStore& store, std::function<std::string()> serviceUrl, NowFunction now)
    : store_(store), serviceUrl_(std::move(serviceUrl)), now_(std::move(now)) {}

SystemClock::time_point Visions::now() const { return now_ ? now_() : SystemClock::now(); }

Result<std::string> Visions::create(std::string_view account) {
  std::string id = randomUuid();
  std::scoped_lock lock(mutex_);
  if (owners_.size() >= kMaxVisions) return Failure{503, "The sandbox holds too many visions"};
  owners_.emplace(id, std::string(account));
  return id;
}

std::optional<std::string> Visions::owner(std::string_view visionId) const {
  std::scoped_lock lock(mutex_);
  const auto it = owners_.find(std::string(visionId));
  if (it == owners_.end()) return std::nullopt;
  return it->second;
}

std::string Visions::storageUrl() const {
  return serviceUrl_() + "/blob/" + std::string(kContainer) + "/";
}

std::string Visions::uploadSas(std::string_view visionId) const {
  return "?" + store_.signFolder(folderOf(visionId), "cw", now() + kUploadWindow);
}

std::optional<std::filesystem::path> Visions::image(std::string_view visionId,
                                                    std::string_view name) const {
  if (!owner(visionId)) return std::nullopt;
  const std::string blobPath = folderOf(visionId) + "/" + std::string(name);
  if (!BlobStore::isValidPath(blobPath) || !store_.size(blobPath)) return std::nullopt;
  return store_.fileOf(blobPath);
}

}  // namespace vorelia::sandbox
