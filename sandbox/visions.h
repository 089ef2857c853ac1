// Visions: the analysis runs of an account. The plugin creates one per task, uploads its images
// into it, then asks for each image's analysis. The images are blobs of the sandbox's blob store,
// "visions/VISION/NAME"; a vision hands out one signature for its whole folder, good for writing
// any image of that vision (and no other) for four hours.
//
// Thread-safe. Visions live as long as the process; they are not kept in the state file.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "sandbox/blob_store.h"
#include "sandbox/result.h"
#include "sandbox/state.h"

namespace vorelia::sandbox {

inline constexpr std::size_t kMaxVisions = 10000;

class Visions {
 public:
  // serviceUrl gives the server's own address ("http://127.0.0.1:PORT"), known once it listens.
  // REQUIRES: store outlives the Visions.
  Visions(BlobStore& store, std::function<std::string()> serviceUrl, NowFunction now);

  // A new vision of account; its id. 503 when kMaxVisions exist.
  Result<std::string> create(std::string_view account);
  // The account a vision belongs to, if the vision exists.
  std::optional<std::string> owner(std::string_view visionId) const;

  // Where the images go: storageUrl() + id + "/" + name + uploadSas(id).
  std::string storageUrl() const;
  // The signature text, with its leading '?', for writing the vision's images.
  std::string uploadSas(std::string_view visionId) const;

  // The file of an uploaded image of the vision, if it arrived whole.
  std::optional<std::filesystem::path> image(std::string_view visionId,
                                             std::string_view name) const;

 private:
  SystemClock::time_point now() const;

  BlobStore& store_;
  const std::function<std::string()> serviceUrl_;
  const NowFunction now_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::string> owners_;  // account by vision id; guarded by mutex_
};

}  // namespace vorelia::sandbox
