#include "sandbox/uploads.h"

#include <algorithm>

#include "sandbox/secrets.h"

namespace vorelia::sandbox {
namespace {

// Item names become part of a blob path: one path segment, nothing that could climb out of it.
bool isValidItemName(const std::string& name) {
  return !name.empty() && name.size() <= kMaxItemNameLength && name != "." && name != ".." &&
         name.find('/') == std::string::npos && name.find('\0') == std::string::npos &&
         name.find('\\') == std::string::npos;
}

nlohmann::json settingsJson(const UploadSettings& settings) {
  return {{"encodingDelayMs", settings.encodingDelay.count()},
          {"quotaBytes", settings.quotaBytes ? nlohmann::json(*settings.quotaBytes) : nullptr},
          {"longPollHoldMs", settings.longPollHold.count()},
          {"signatureLifetimeSeconds", settings.signatureLifetime.count()}};
}

}  // namespace

const char* stageName(UploadStage stage) {
  switch (stage) {
    case UploadStage::kReserved:
      return "reserved";
    case UploadStage::kEncoding:
      return "encoding";
    case UploadStage::kEncoded:
      return "encoded";
    case UploadStage::kFailed:
      return "failed";
  }
  return "unknown";
}

UploadPipeline::UploadPipeline(State& state, const UploadTarget& target, UploadSettings settings,
                               NowFunction now)
    : state_(state), target_(target), now_(std::move(now)), settings_(settings) {
  encoder_ = std::thread([this] { encodeLoop(); });
}

UploadPipeline::~UploadPipeline() { stop(); }

void UploadPipeline::stop() {
  {
    std::scoped_lock lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  if (encoder_.joinable()) encoder_.join();
}

SystemClock::time_point UploadPipeline::now() const { return now_ ? now_() : SystemClock::now(); }

UploadSettings UploadPipeline::settings() const {
  std::scoped_lock lock(mutex_);
  return settings_;
}

void UploadPipeline::setSettings(const UploadSettings& settings) {
  std::scoped_lock lock(mutex_);
  settings_ = settings;
  changed_.notify_all();  // the encoder's next due time may have moved
}

bool UploadPipeline::makeRoomLocked(std::size_t count) {
  // Finished resources leave oldest first; resources still under way are never dropped.
  for (auto it = order_.begin();
       it != order_.end() && byId_.size() + count > kMaxUploadResources;) {
    const auto found = byId_.find(*it);
    if (found != byId_.end() && isDone(found->second.stage)) {
      byId_.erase(found);
      it = order_.erase(it);
    } else {
      ++it;
    }
  }
  return byId_.size() + count <= kMaxUploadResources;
}

Result<nlohmann::json> UploadPipeline::reserve(const std::string& account,
                                               const std::string& albumId,
                                               const std::vector<FileRequest>& files) {
  if (!state_.hasAlbum(account, albumId)) return Failure{404, "The container does not exist"};
  if (files.empty()) return Failure{400, "No file to upload"};
  if (files.size() > kMaxFilesPerReservation) {
    return Failure{
        400, "Too many files in one request: at most " + std::to_string(kMaxFilesPerReservation)};
  }
  std::uint64_t requested = 0;
  for (const FileRequest& file : files) {
    if (!isValidItemName(file.name))
      return Failure{400, "The file name is not valid: " + file.name};
    requested += file.size;
  }

  std::scoped_lock lock(mutex_);
  if (settings_.quotaBytes) {
    std::uint64_t used = 0;
    for (const auto& [id, resource] : byId_) {
      if (resource.account == account && resource.stage != UploadStage::kFailed) {
        used += resource.size;
      }
    }
    if (used + requested > *settings_.quotaBytes) {
      return Failure{
          400, "Not enough storage left in the account: " +
                   std::to_string(*settings_.quotaBytes - std::min(used, *settings_.quotaBytes)) +
                   " bytes free, " + std::to_string(requested) + " bytes asked"};
    }
  }
  if (!makeRoomLocked(files.size())) {
    return Failure{503, "The service is busy with other uploads, retry later"};
  }
  const auto expiry = now() + settings_.signatureLifetime;
  nlohmann::json value = nlohmann::json::array();
  for (const FileRequest& file : files) {
    Resource resource;
    resource.id = randomUuid();
    resource.account = account;
    resource.albumId = albumId;
    resource.name = file.name;
    resource.size = file.size;
    resource.blobName = resource.id + "-o/" + file.name;
    value.push_back({{"id", resource.id},
                     {"sas", target_.signUpload(resource.blobName, expiry)},
                     {"name", resource.name},
                     {"size", resource.size},
                     {"containerId", albumId}});
    order_.push_back(resource.id);
    byId_.emplace(resource.id, std::move(resource));
  }
  return nlohmann::json{
      {"hasError", false}, {"storageUrl", target_.storageUrl()}, {"value", std::move(value)}};
}

Result<UploadStage> UploadPipeline::trigger(const std::string& account,
                                            const std::string& resourceId) {
  std::string blobName;
  {
    std::scoped_lock lock(mutex_);
    const auto found = byId_.find(resourceId);
    if (found == byId_.end() || found->second.account != account) {
      return Failure{404, "No upload resource " + resourceId};
    }
    if (found->second.stage != UploadStage::kReserved) return found->second.stage;
    blobName = found->second.blobName;
  }
  // Asking the store may take a round trip (Azure Storage); no lock meanwhile.
  const bool arrived = target_.arrived(blobName);
  std::scoped_lock lock(mutex_);
  const auto found = byId_.find(resourceId);
  if (found == byId_.end()) return Failure{404, "No upload resource " + resourceId};
  Resource& resource = found->second;
  if (resource.stage != UploadStage::kReserved) return resource.stage;  // a trigger raced us
  resource.stage = arrived ? UploadStage::kEncoding : UploadStage::kFailed;
  ++changes_;
  if (arrived) due_.push(Due{Clock::now() + settings_.encodingDelay, resourceId});
  changed_.notify_all();
  if (!arrived)
    return Failure{409, "The file of upload resource " + resourceId + " has not arrived"};
  return resource.stage;
}

void UploadPipeline::encodeLoop() {
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (due_.empty()) {
      changed_.wait(lock);
      continue;
    }
    const Due next = due_.top();
    if (next.at > Clock::now()) {
      changed_.wait_until(lock, next.at);
      continue;
    }
    due_.pop();
    lock.unlock();
    finishEncoding(next.id);
    lock.lock();
  }
}

void UploadPipeline::finishEncoding(const std::string& id) {
  std::string account, albumId, name;
  {
    std::scoped_lock lock(mutex_);
    const auto found = byId_.find(id);
    if (found == byId_.end() || found->second.stage != UploadStage::kEncoding) return;
    account = found->second.account;
    albumId = found->second.albumId;
    name = found->second.name;
  }
  // The item joins its album under the resource's id, so that the client can order it.
  const bool added = state_.addItem(account, albumId, id, name).ok();
  std::scoped_lock lock(mutex_);
  const auto found = byId_.find(id);
  if (found == byId_.end()) return;
  found->second.stage = added ? UploadStage::kEncoded : UploadStage::kFailed;
  ++changes_;
  changed_.notify_all();
}

nlohmann::json UploadPipeline::poll(const std::vector<std::string>& ids) {
  std::unique_lock lock(mutex_);
  const auto stages = [&] {
    std::vector<std::optional<UploadStage>> out;
    for (const std::string& id : ids) {
      const auto found = byId_.find(id);
      out.push_back(found == byId_.end() ? std::nullopt : std::optional(found->second.stage));
    }
    return out;
  };
  const auto answer = [&] {
    nlohmann::json done = nlohmann::json::array();
    nlohmann::json failed = nlohmann::json::array();
    for (const std::string& id : ids) {
      const auto found = byId_.find(id);
      if (found == byId_.end() || !isDone(found->second.stage)) continue;
      done.push_back(id);
      if (found->second.stage == UploadStage::kFailed) failed.push_back(id);
    }
    return nlohmann::json{{"value", std::move(done)}, {"failed", std::move(failed)}};
  };
  const auto before = stages();
  const bool anyDone = std::any_of(before.begin(), before.end(),
                                   [&](const auto& stage) { return stage && isDone(*stage); });
  if (!anyDone) {
    const auto deadline = Clock::now() + settings_.longPollHold;
    changed_.wait_until(lock, deadline, [&] { return stopping_ || stages() != before; });
  }
  return answer();
}

nlohmann::json UploadPipeline::snapshot() const {
  std::scoped_lock lock(mutex_);
  nlohmann::json resources = nlohmann::json::array();
  for (const std::string& id : order_) {
    const auto found = byId_.find(id);
    if (found == byId_.end()) continue;
    const Resource& r = found->second;
    resources.push_back({{"id", r.id},
                         {"account", r.account},
                         {"containerId", r.albumId},
                         {"name", r.name},
                         {"size", r.size},
                         {"blob", r.blobName},
                         {"stage", stageName(r.stage)}});
  }
  return {{"settings", settingsJson(settings_)}, {"resources", std::move(resources)}};
}

}  // namespace vorelia::sandbox
