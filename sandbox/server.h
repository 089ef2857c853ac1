// vorelia-sandbox's server: the loopback stand-in of the Vorelia service, with its admin
// interface. The executable wraps it; tests may also run it inside their own process.
//
// Threads: start, stop, url and port are called from one controlling thread. Requests are served
// on a pool of options.threads threads. requestShutdown may be called from any thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "sandbox/state.h"
#include "sandbox/upload_targets.h"
#include "sandbox/uploads.h"

namespace vorelia::sandbox {

struct ServerOptions {
  std::string host = "127.0.0.1";  // a loopback address: 127.0.0.0/8, ::1 or localhost
  int port = 0;                    // 0: an ephemeral port
  std::optional<std::filesystem::path> stateFile;
  bool seedDemo = false;
  // The plugin reuses a token for ten days; two weeks keep the demo's login across restarts.
  std::chrono::seconds tokenLifetime{std::chrono::hours(24 * 14)};
  std::string webUrl;  // base of share links; empty: the server's own URL
  // The address reservations and visions name for the sandbox's own blob storage, e.g. that of a
  // proxy in front of it; empty: the server's own URL.
  std::string publicUrl;
  std::optional<std::filesystem::path> libraryFolder;  // the update library's files
  std::size_t threads = 32;
  std::size_t requestLogCapacity = 1000;
  std::size_t requestBodyCap = 64 * 1024;
  std::size_t payloadLimit = 64 * 1024 * 1024;          // larger JSON request bodies are refused
  std::uint64_t blobSizeLimit = 5000ull * 1024 * 1024;  // larger blobs are refused
  // Where blobs are kept; empty: a temporary folder, removed when the server is destroyed.
  std::optional<std::filesystem::path> dataFolder;
  UploadSettings uploads;
  // Hand out signatures of this Azure Storage account (Azurite in tests) instead of the
  // sandbox's own blob storage.
  std::optional<AzureStorageOptions> azure;
  NowFunction now;                            // empty: the system clock
  std::function<void()> onShutdownRequested;  // called by requestShutdown, on its thread
};

class Server {
 public:
  explicit Server(ServerOptions options);
  ~Server();  // stops
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  // Checks the host, loads the state file (then seeds the demo when asked), binds and starts
  // serving on a background thread; connections are accepted when it returns. Ignores SIGPIPE
  // for the whole process (writes to vanished clients must fail, not kill). Returns a message on
  // failure. Call once.
  std::optional<std::string> start();

  // After a successful start: the bound port, and "http://HOST:PORT" (no trailing slash).
  int port() const;
  std::string url() const;
  std::string webUrl() const;
  // The statistics queue's Put Message URL, with its add signature.
  std::string queueUrl() const;
  // The folder that holds the blobs.
  std::filesystem::path dataFolder() const;

  // Asks for a stop (POST /admin/shutdown does this): wakes waitForShutdownRequest and calls
  // options.onShutdownRequested. Does not stop by itself, since it may run on a serving thread.
  void requestShutdown();
  // Blocks until requestShutdown has been called.
  void waitForShutdownRequest();

  // Stops serving: requests held by faults lose their connections, idle connections close, and
  // the serving threads are joined. Idempotent; REQUIRES: not called on a serving thread.
  void stop();

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// The address to bind for host when it is a loopback host ("localhost" binds 127.0.0.1);
// nothing for any other host.
std::optional<std::string> loopbackBindAddress(const std::string& host);

}  // namespace vorelia::sandbox
