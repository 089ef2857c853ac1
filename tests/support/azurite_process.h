// Azurite, the Azure Storage emulator, run as a child process for one test: started on ephemeral
// loopback ports with a temporary data folder, reached with the well-known development account,
// stopped (and its folder removed) by the destructor.
//
//   vorelia::testing::AzuriteProcess azurite;
//   azurite.createQueue("stats");
//   ... POST azurite.queueEndpoint() + "/stats/messages?" + makeQueueSas("stats", "a", in(1h)) ...
//
// Azurite comes from scripts/setup.sh (tools/azurite under the source tree, or $VORELIA_AZURITE)
// and needs Node.js. The const members may run on any thread (each opens its own connection).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

namespace vorelia::testing {

class AzuriteProcess {
 public:
  // Starts Azurite and waits until its blob and queue services answer. Throws std::runtime_error
  // when it cannot start or does not answer in time; the message carries the end of its output.
  AzuriteProcess();
  ~AzuriteProcess();
  AzuriteProcess(const AzuriteProcess&) = delete;
  AzuriteProcess& operator=(const AzuriteProcess&) = delete;

  // "http://127.0.0.1:PORT/devstoreaccount1" (path-style, no trailing slash): a container is
  // blobEndpoint() + "/NAME", a queue queueEndpoint() + "/NAME".
  std::string blobEndpoint() const;
  std::string queueEndpoint() const;
  int queuePort() const { return queuePort_; }
  std::string accountName() const;

  // True when the queue was created or already existed.
  bool createQueue(const std::string& name) const;
  // The bytes of a (small) blob, or nothing when it cannot be read.
  std::optional<std::string> readBlob(const std::string& container, const std::string& blob) const;

 private:
  void shutDown();  // stops Azurite and removes the data folder

  std::filesystem::path dataDirectory_;
  pid_t pid_ = -1;
  int blobPort_ = 0;
  int queuePort_ = 0;
};

// A service signature for one queue of the development account, as the query text without a
// leading '?': "sv=...&se=...&sp=...&sig=...". Permissions are e.g. "a", "r", "p", "u".
std::string makeQueueSas(const std::string& queue, const std::string& permissions,
                         std::chrono::system_clock::time_point expiry);
// The same for one blob container, e.g. permissions "racwdl" for a client that lists and writes.
std::string makeContainerSas(const std::string& container, const std::string& permissions,
                             std::chrono::system_clock::time_point expiry);

}  // namespace vorelia::testing
