// Uploads into albums, as the service runs them: a client reserves one upload resource per file
// (an id and a signature for one blob), writes each file's bytes into blob storage itself, then
// triggers the encoding of each resource and long-polls until the resources are done. Encoding
// is simulated: after a set delay an item whose blob really arrived joins its album; a resource
// whose blob is missing when its encoding is triggered fails at once.
//
// Thread-safe. Memory is bounded: at most kMaxUploadResources resources are kept (the oldest
// finished ones make room), and every long poll returns after a bounded hold.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <queue>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "sandbox/result.h"
#include "sandbox/state.h"

namespace vorelia::sandbox {

inline constexpr std::size_t kMaxUploadResources = 400000;
inline constexpr std::size_t kMaxFilesPerReservation = 100000;
inline constexpr std::size_t kMaxItemNameLength = 1024;

// Where reserved uploads go: the sandbox's own blob store or an Azure Storage account. Blob
// names are relative to one container.
class UploadTarget {
 public:
  virtual ~UploadTarget() = default;
  // The container's address, ending with '/': a blob URL is this plus the blob name.
  virtual std::string storageUrl() const = 0;
  // The signature query for writing one blob, with its leading '?'.
  virtual std::string signUpload(const std::string& blobName,
                                 SystemClock::time_point expiry) const = 0;
  // Whether the blob has been written completely.
  virtual bool arrived(const std::string& blobName) const = 0;
  // The signature query for reading one blob, with its leading '?'.
  virtual std::string signRead(const std::string& blobName,
                               SystemClock::time_point expiry) const = 0;
};

struct UploadSettings {
  std::chrono::milliseconds encodingDelay{0};     // per item
  std::optional<std::uint64_t> quotaBytes;        // per account, over its reserved files
  std::chrono::milliseconds longPollHold{20000};  // longest wait of a poll without a change
  std::chrono::seconds signatureLifetime{4 * 3600};
};

enum class UploadStage { kReserved, kEncoding, kEncoded, kFailed };
const char* stageName(UploadStage stage);

class UploadPipeline {
 public:
  UploadPipeline(State& state, const UploadTarget& target, UploadSettings settings,
                 NowFunction now = {});
  ~UploadPipeline();  // stop()
  UploadPipeline(const UploadPipeline&) = delete;
  UploadPipeline& operator=(const UploadPipeline&) = delete;

  struct FileRequest {
    std::string name;  // the item name, as the client escaped it
    std::uint64_t size = 0;
  };
  // Reserves one resource per file: {"hasError": false, "storageUrl", "value": [{"id", "sas",
  // "name", "size", "containerId"}]}. 404 for an unknown album, 400 for a bad name, too many
  // files or a reservation over the account's quota, 503 when the pipeline is full.
  Result<nlohmann::json> reserve(const std::string& account, const std::string& albumId,
                                 const std::vector<FileRequest>& files);

  // Starts the encoding of a reserved resource whose blob has arrived; fails the resource (and
  // answers 409) when its blob is missing. A resource already triggered stays as it is. 404 for
  // a resource the account does not own.
  Result<UploadStage> trigger(const std::string& account, const std::string& resourceId);

  // Holds until one of ids is done (encoded or failed), one of them changes stage, the hold
  // ends or the pipeline stops; then answers {"value": [done ids, in the order asked],
  // "failed": [those of them that failed]}. Unknown ids are never done.
  nlohmann::json poll(const std::vector<std::string>& ids);

  UploadSettings settings() const;
  void setSettings(const UploadSettings& settings);
  // {"settings": {...}, "resources": [{"id", "account", "containerId", "name", "size", "blob",
  // "stage"}]} oldest first.
  nlohmann::json snapshot() const;

  // A signed address from which a browser can read the item's uploaded file for a while; none
  // when the item did not come through this pipeline or its resource has made room since.
  std::optional<std::string> imageUrl(const std::string& itemId) const;

  // Ends every poll under way and later ones at once, and stops the encoder. Idempotent.
  void stop();

 private:
  struct Resource {
    std::string id, account, albumId, name, blobName;
    std::uint64_t size = 0;
    UploadStage stage = UploadStage::kReserved;
  };
  using Clock = std::chrono::steady_clock;
  struct Due {
    Clock::time_point at;
    std::string id;
    bool operator>(const Due& other) const { return at > other.at; }
  };

  void encodeLoop();
  void finishEncoding(const std::string& id);
  bool makeRoomLocked(std::size_t count);
  bool isDone(UploadStage stage) const {
    return stage == UploadStage::kEncoded || stage == UploadStage::kFailed;
  }
  SystemClock::time_point now() const;

  State& state_;
  const UploadTarget& target_;
  const NowFunction now_;

  mutable std::mutex mutex_;
  std::condition_variable changed_;                 // a stage changed, work is due, or stopping
  UploadSettings settings_;                         // guarded by mutex_
  std::unordered_map<std::string, Resource> byId_;  // guarded by mutex_
  std::deque<std::string> order_;                   // ids, oldest first; guarded by mutex_
  std::priority_queue<Due, std::vector<Due>, std::greater<>> due_;  // guarded by mutex_
  std::uint64_t changes_ = 0;                                       // guarded by mutex_
  bool stopping_ = false;                                           // guarded by mutex_
  std::thread encoder_;
};

}  // namespace vorelia::sandbox
