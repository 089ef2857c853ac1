// Visions: the analysis runs of an account. The plugin creates one per task, uploads its images
// into it under a signature the vision hands out, then asks for each image's analysis. The images
// live in files under a temporary folder of the sandbox (one folder per vision, each file named
// by a digest of the image's name, so no name reaches outside), removed with the Visions.
//
// Upload signatures: "?se=EXPIRY&sig=HMAC", HMAC-SHA256 under a secret of this process over the
// vision id and the expiry (Unix seconds): good for any image of that one vision until expiry.
//
// Thread-safe. Nothing of it is kept in the state file: visions live as long as the process.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>

#include "sandbox/result.h"
#include "sandbox/state.h"

namespace vorelia::sandbox {

inline constexpr std::size_t kMaxVisions = 10000;
inline constexpr std::size_t kMaxImagesPerVision = 10000;
inline constexpr std::size_t kMaxImageName = 1024;

class Visions {
 public:
  struct Options {
    NowFunction now;  // empty: the system clock
    std::chrono::seconds sasLifetime{std::chrono::hours(4)};
  };
  explicit Visions(Options options);
  ~Visions();  // removes the folder and the images in it
  Visions(const Visions&) = delete;
  Visions& operator=(const Visions&) = delete;

  // Makes the folder of the images; a message when it cannot. Call once, before serving.
  std::optional<std::string> prepare();

  // A new vision of account; its id. 503 when kMaxVisions exist.
  Result<std::string> create(std::string_view account);
  // The account a vision belongs to, if the vision exists.
  std::optional<std::string> owner(std::string_view visionId) const;

  // The signature text (with its leading '?') for uploads into the vision.
  std::string uploadSas(std::string_view visionId) const;
  // Whether rawQuery (as it arrived) carries a signature for the vision that has not expired; a
  // 403 failure otherwise.
  Outcome verify(std::string_view visionId, std::string_view rawQuery) const;

  // Stores bytes as the image name of the vision, replacing one of the same name atomically. 404
  // for an unknown vision, 400 for an empty or too long name, 503 when the vision is full, 500
  // when the file cannot be written.
  Outcome store(std::string_view visionId, std::string_view name, std::string_view bytes);
  // The file of an uploaded image, if there is one.
  std::optional<std::filesystem::path> image(std::string_view visionId,
                                             std::string_view name) const;

 private:
  struct Vision {
    std::string account;
    std::set<std::string, std::less<>> images;  // names of the uploaded images
  };
  SystemClock::time_point now() const;
  std::string signature(std::string_view visionId, std::string_view expiry) const;
  std::filesystem::path fileOf(std::string_view visionId, std::string_view name) const;

  const Options options_;
  const std::string secret_;
  std::filesystem::path folder_;  // set by prepare, read-only after
  mutable std::mutex mutex_;
  std::unordered_map<std::string, Vision> visions_;  // guarded by mutex_
};

}  // namespace vorelia::sandbox
