// Azurite, the Azure Storage emulator, run as a child process for one test or fixture: started on
// ephemeral loopback ports with a temporary data folder, reached with the well-known development
// account, stopped (and its folder removed) by the destructor.
//
//   vorelia::testing::AzuriteProcess azurite;
//   azurite.createContainer("photos");
//   const std::string sas = vorelia::testing::makeServiceSas({.accountName = azurite.accountName(),
//       .accountKey = azurite.accountKey(), .resource = SasResource::kBlob,
//       .container = "photos", .blob = "a.jpg", .permissions = "cw", .expiry = in(1h)});
//   ... PUT azurite.blobEndpoint() + "/photos/a.jpg?" + sas ...
//
// Azurite itself comes from scripts/setup.sh (tools/azurite under the source tree) and needs
// Node.js. Not thread-safe as an object, except the const helpers, which may run on any thread
// (each opens its own connection).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vorelia::testing {

// The development account every Azurite knows.
inline constexpr const char* kAzuriteAccountName = "devstoreaccount1";
inline constexpr const char* kAzuriteAccountKey =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

// The azurite launcher to run: $VORELIA_AZURITE when set, else tools/azurite/node_modules/.bin/
// azurite under the source tree; empty when neither exists.
std::filesystem::path azuriteExecutable();

struct AzuriteOptions {
  // Keep blobs and messages in memory instead of the data folder (which then holds only the log).
  bool inMemory = false;
  // Loose mode: unsupported headers and parameters are ignored instead of refused.
  bool loose = false;
  std::vector<std::string> extraArguments;  // further azurite flags
  std::filesystem::path executable;         // empty: azuriteExecutable()
  std::chrono::milliseconds startTimeout = std::chrono::seconds(60);
};

class AzuriteProcess {
 public:
  // Starts Azurite (blob, queue and table services, each on an ephemeral port) and waits, at most
  // startTimeout, until the blob and queue services answer. Throws std::runtime_error when it
  // cannot start or does not answer in time; the message carries the end of its output.
  explicit AzuriteProcess(AzuriteOptions options = {});
  ~AzuriteProcess();  // stop(), then the data folder is removed
  AzuriteProcess(const AzuriteProcess&) = delete;
  AzuriteProcess& operator=(const AzuriteProcess&) = delete;

  // "http://127.0.0.1:PORT/devstoreaccount1" (path-style, no trailing slash): a container is
  // blobEndpoint() + "/NAME", a queue queueEndpoint() + "/NAME".
  std::string blobEndpoint() const;
  std::string queueEndpoint() const;
  int blobPort() const { return blobPort_; }
  int queuePort() const { return queuePort_; }
  std::string accountName() const { return kAzuriteAccountName; }
  std::string accountKey() const { return kAzuriteAccountKey; }  // base64, as Azure gives it
  const std::filesystem::path& dataDirectory() const { return dataDirectory_; }
  pid_t pid() const { return pid_; }

  // Create a blob container or a queue (an account signature authorises them); true when it
  // was created or already existed.
  bool createContainer(const std::string& name) const;
  bool createQueue(const std::string& name) const;

  // The bytes of a blob, or nothing when it cannot be read (missing, refused, unreachable).
  // For small blobs: the whole body is held in memory.
  std::optional<std::string> readBlob(const std::string& container, const std::string& blob) const;

  // SIGTERM, a bounded wait for the exit, then SIGKILL. Idempotent.
  void stop(std::chrono::milliseconds timeout = std::chrono::seconds(15));

 private:
  std::filesystem::path dataDirectory_;
  pid_t pid_ = -1;
  int blobPort_ = 0;
  int queuePort_ = 0;
  bool stopped_ = false;
};

// Shared access signatures made with an account key (HMAC-SHA256 over the string Azure Storage
// signs, with OpenSSL). The result is the query text without a leading '?':
// "sv=...&sr=b&sp=cw&se=...&sig=..." with the values percent-encoded.
enum class SasResource { kBlob, kContainer, kQueue };

struct SasRequest {
  std::string accountName = kAzuriteAccountName;
  std::string accountKey = kAzuriteAccountKey;  // base64
  SasResource resource = SasResource::kBlob;
  std::string container;    // the container, or the queue for kQueue
  std::string blob;         // the blob name as stored (unescaped), for kBlob
  std::string permissions;  // e.g. "r", "cw", "racwdl"; for queues "a", "r", "p", "u"
  std::chrono::system_clock::time_point expiry;
  std::optional<std::chrono::system_clock::time_point> start;
  std::string version = "2020-12-06";
};
std::string makeServiceSas(const SasRequest& request);

// An account signature for all services and resource types with permissions, e.g. "rwdlacup".
std::string makeAccountSas(const std::string& accountName, const std::string& accountKey,
                           const std::string& permissions,
                           std::chrono::system_clock::time_point expiry);

// The time as Azure Storage writes it in signatures: "2026-12-06T21:40:00Z".
std::string azureTime(std::chrono::system_clock::time_point time);

}  // namespace vorelia::testing
