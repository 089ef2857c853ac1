#include "support/azurite_process.h"

#include <fcntl.h>
#include <httplib.h>
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>
#include <stdexcept>
#include <system_error>

#include "sandbox/secrets.h"
#include "sandbox/upload_targets.h"
#include "support/child_process.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"
#include "support/wait.h"

namespace vorelia::testing {
namespace {

using sandbox::azureTime;
constexpr const char* kAccountName = sandbox::kAzuriteAccountName;
constexpr const char* kVersion = "2020-12-06";

std::string sign(const std::string& text) {
  return sandbox::hmacSha256Base64(sandbox::kAzuriteAccountKey, text);
}
std::string percentEncode(const std::string& text) { return sandbox::percentEncode(text, false); }

std::filesystem::path azuriteExecutable() {
  if (const char* fromEnvironment = std::getenv("VORELIA_AZURITE")) return fromEnvironment;
#ifdef VORELIA_SOURCE_DIR
  const std::filesystem::path installed =
      std::filesystem::path(VORELIA_SOURCE_DIR) / "tools/azurite/node_modules/.bin/azurite";
  if (std::filesystem::exists(installed)) return installed;
#endif
  return {};
}

// The port of "Azurite <service> service is successfully listening at http://HOST:PORT".
std::optional<int> listeningPort(const std::string& log, const std::string& service) {
  const std::regex line("Azurite " + service +
                        " service is successfully listening at https?://[^:\\s]+:([0-9]+)");
  std::smatch match;
  if (!std::regex_search(log, match, line)) return std::nullopt;
  return std::stoi(match[1].str());
}

// An account signature for every service and resource type, valid for an hour.
std::string accountSas() {
  const std::string expiry = azureTime(std::chrono::system_clock::now() + std::chrono::hours(1));
  // account, permissions, services, resource types, start, expiry, IP, protocol, version,
  // encryption scope, and a closing line feed.
  const std::string toSign = std::string(kAccountName) + "\nrwdlacup\nbqt\nsco\n\n" + expiry +
                             "\n\n\n" + kVersion + "\n\n";
  return std::string("sv=") + kVersion + "&ss=bqt&srt=sco&sp=rwdlacup&se=" + percentEncode(expiry) +
         "&sig=" + percentEncode(sign(toSign));
}

}  // namespace

AzuriteProcess::AzuriteProcess() {
  const std::filesystem::path executable = azuriteExecutable();
  if (executable.empty()) {
    throw std::runtime_error(
        "Azurite is not installed; run scripts/setup.sh or set VORELIA_AZURITE");
  }
  dataDirectory_ = makeTempDirectory("vorelia-azurite");
  const std::filesystem::path log = dataDirectory_ / "azurite.log";
  const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (logFd < 0) throw std::runtime_error("cannot create " + log.string());

  std::vector<std::string> arguments{"--skipApiVersionCheck", "--disableTelemetry", "--silent",
                                     "--location", (dataDirectory_ / "storage").string()};
  for (const std::string service : {"blob", "queue", "table"}) {
    arguments.insert(arguments.end(),
                     {"--" + service + "Host", "127.0.0.1", "--" + service + "Port", "0"});
  }
  try {
    pid_ = spawnChild(executable, arguments, logFd, logFd, dataDirectory_);
  } catch (...) {
    ::close(logFd);
    std::error_code ignored;
    std::filesystem::remove_all(dataDirectory_, ignored);
    throw;
  }
  ::close(logFd);

  bool exited = false;
  const bool listening = waitUntil(
      [&] {
        if (exitedChild(pid_)) return exited = true;
        const std::string text = readFile(log);
        const auto blob = listeningPort(text, "Blob");
        const auto queue = listeningPort(text, "Queue");
        if (!blob || !queue) return false;
        blobPort_ = *blob;
        queuePort_ = *queue;
        return true;
      },
      std::chrono::seconds(60));
  // Listening is announced from the listen callback; an answer proves the service is serving.
  const bool answering = listening && !exited &&
                         waitUntil(
                             [&] {
                               httplib::Client client("127.0.0.1", blobPort_);
                               client.set_connection_timeout(std::chrono::seconds(2));
                               return static_cast<bool>(client.Get("/"));
                             },
                             std::chrono::seconds(60));
  if (!answering) {
    if (exited) pid_ = -1;
    std::string output = readFile(log);
    if (output.size() > 2000) output = output.substr(output.size() - 2000);
    shutDown();
    throw std::runtime_error(std::string("Azurite ") + (exited ? "ended early" : "did not answer") +
                             "; it printed: " + output);
  }
}

AzuriteProcess::~AzuriteProcess() { shutDown(); }

void AzuriteProcess::shutDown() {
  if (pid_ > 0) {
    ::kill(pid_, SIGTERM);
    reapChild(pid_, std::chrono::seconds(15));
    pid_ = -1;
  }
  std::error_code ignored;
  std::filesystem::remove_all(dataDirectory_, ignored);
}

std::string AzuriteProcess::blobEndpoint() const {
  return "http://127.0.0.1:" + std::to_string(blobPort_) + "/" + kAccountName;
}

std::string AzuriteProcess::queueEndpoint() const {
  return "http://127.0.0.1:" + std::to_string(queuePort_) + "/" + kAccountName;
}

std::string AzuriteProcess::accountName() const { return kAccountName; }

bool AzuriteProcess::createQueue(const std::string& name) const {
  httplib::Client client("127.0.0.1", queuePort_);
  client.set_connection_timeout(std::chrono::seconds(10));
  const auto result =
      client.Put("/" + accountName() + "/" + name + "?" + accountSas(), "", "text/plain");
  return result && (result->status == 201 || result->status == 204 || result->status == 409);
}

std::optional<std::string> AzuriteProcess::readBlob(const std::string& container,
                                                    const std::string& blob) const {
  httplib::Client client("127.0.0.1", blobPort_);
  client.set_connection_timeout(std::chrono::seconds(10));
  client.set_read_timeout(std::chrono::seconds(60));
  const auto result = client.Get("/" + accountName() + "/" + container + "/" +
                                 sandbox::percentEncode(blob, true) + "?" + accountSas());
  if (!result || result->status != 200) return std::nullopt;
  return result->body;
}

std::string makeQueueSas(const std::string& queue, const std::string& permissions,
                         std::chrono::system_clock::time_point expiry) {
  const std::string end = azureTime(expiry);
  // permissions, start, expiry, resource, identifier, IP, protocol, version.
  const std::string toSign =
      permissions + "\n\n" + end + "\n/queue/" + kAccountName + "/" + queue + "\n\n\n\n" + kVersion;
  return std::string("sv=") + kVersion + "&se=" + percentEncode(end) +
         "&sp=" + percentEncode(permissions) + "&sig=" + percentEncode(sign(toSign));
}

std::string makeContainerSas(const std::string& container, const std::string& permissions,
                             std::chrono::system_clock::time_point expiry) {
  const std::string end = azureTime(expiry);
  // permissions, start, expiry, resource, identifier, IP, protocol, version, signed resource,
  // snapshot time, encryption scope, then the five response header overrides.
  const std::string toSign = permissions + "\n\n" + end + "\n/blob/" + kAccountName + "/" +
                             container + "\n\n\n\n" + kVersion + "\nc\n\n\n\n\n\n\n";
  return std::string("sv=") + kVersion + "&sr=c&se=" + percentEncode(end) +
         "&sp=" + percentEncode(permissions) + "&sig=" + percentEncode(sign(toSign));
}

}  // namespace vorelia::testing
