// The sandbox's blob storage: a stand-in of Azure Blob Storage for the uploads of the plugin.
// Blobs are addressed by a path "CONTAINER/NAME" (NAME may hold '/'); each lives in a file under
// the store's folder, named by a digest of its path, so no name can reach outside the folder.
//
// Writes are authorised by signatures the store issues itself: the query "se=EXPIRY&sp=PERMS&
// sig=HMAC" where HMAC is HMAC-SHA256 under the store's secret over the permissions, the expiry
// (Unix seconds) and the blob path, so a signature is good for one blob, its permissions and
// until its expiry. A write streams the body into a temporary file beside the blob and renames
// it over the blob only when the whole body has arrived, so a broken upload never leaves a blob
// that looks complete.
//
// Thread-safe; writes to the same blob may overlap (the last to finish wins).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "sandbox/result.h"
#include "sandbox/state.h"

namespace vorelia::sandbox {

inline constexpr std::size_t kMaxBlobs = 400000;
inline constexpr std::size_t kMaxBlobPath = 2048;

class BlobStore {
 public:
  struct Options {
    std::filesystem::path folder;  // created when missing
    std::string secret;            // signing key; empty: a random one
    NowFunction now;               // empty: the system clock
    std::uint64_t maxBlobSize = 5000ull * 1024 * 1024;
  };
  explicit BlobStore(Options options);

  // The folder could be created and written; a message otherwise.
  std::optional<std::string> prepare();

  // The signature query text (no leading '?') for blobPath with permissions ("c", "w", "r", in
  // any combination), good until expiry.
  std::string sign(std::string_view blobPath, std::string_view permissions,
                   SystemClock::time_point expiry) const;
  // The same for every blob directly in folder ("CONTAINER/SOME/FOLDER", no trailing '/'): the
  // query also carries "sr=d". Its signed path ends with '/', which no blob path does, so a
  // folder's signature is never a blob's.
  std::string signFolder(std::string_view folder, std::string_view permissions,
                         SystemClock::time_point expiry) const;
  // Whether rawQuery (as it arrived, percent-encoded) carries a signature for blobPath (or, with
  // "sr=d", for the folder that holds it) that grants permission and has not expired; a 403
  // failure says which check failed otherwise.
  Outcome verify(std::string_view blobPath, std::string_view rawQuery, char permission) const;

  // A blob path is "CONTAINER/NAME": a non-empty container without '/', a non-empty name, no
  // empty, "." or ".." segment, no NUL, at most kMaxBlobPath bytes.
  static bool isValidPath(std::string_view blobPath);

  // One write under way. write() appends; commit() checks that size bytes arrived and puts the
  // blob in place. Destroying an uncommitted writer removes its temporary file.
  class Writer {
   public:
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;
    bool write(const char* data, std::size_t size);
    Outcome commit();

   private:
    friend class BlobStore;
    Writer(BlobStore& store, std::string blobPath, std::filesystem::path temporary, int fd,
           std::uint64_t expected);
    BlobStore& store_;
    const std::string blobPath_;
    const std::filesystem::path temporary_;
    int fd_;
    const std::uint64_t expected_;
    std::uint64_t written_ = 0;
    bool committed_ = false;
  };
  // Starts a write of size bytes. 400 for a bad path, 413 over the size limit, 503 when the
  // store holds kMaxBlobs blobs, 500 when the file cannot be made.
  Result<std::unique_ptr<Writer>> open(std::string_view blobPath, std::uint64_t size);

  // The size of a complete blob; nothing when there is none.
  std::optional<std::uint64_t> size(std::string_view blobPath) const;
  // The file that holds a complete blob (it may be replaced at any time by a new write).
  std::filesystem::path fileOf(std::string_view blobPath) const;
  // {"blobs": [{"path", "size"}]} in path order; with digests also "sha256".
  nlohmann::json list(bool digests) const;

 private:
  SystemClock::time_point now() const;
  std::string signature(std::string_view blobPath, std::string_view permissions,
                        std::string_view expiry) const;

  const Options options_;
  const std::string secret_;
  mutable std::mutex mutex_;
  std::unordered_map<std::string, std::uint64_t> sizes_;  // complete blobs; guarded by mutex_
  std::uint64_t nextTemporary_ = 0;                       // guarded by mutex_
};

}  // namespace vorelia::sandbox
