#include "support/azurite_process.h"

#include <fcntl.h>
#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <system_error>

#include "support/temp_home.h"
#include "support/wait.h"

extern char** environ;

namespace vorelia::testing {
namespace {

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The port of "Azurite <service> service is successfully listening at http://HOST:PORT".
std::optional<int> listeningPort(const std::string& log, const std::string& service) {
  const std::regex line("Azurite " + service +
                        " service is successfully listening at https?://[^:\\s]+:([0-9]+)");
  std::smatch match;
  if (!std::regex_search(log, match, line)) return std::nullopt;
  return std::stoi(match[1].str());
}

pid_t spawnAzurite(const std::filesystem::path& executable,
                   const std::vector<std::string>& arguments, const std::filesystem::path& folder,
                   int logFd) {
  std::vector<std::string> argv{executable.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> raw;
  for (std::string& argument : argv) raw.push_back(argument.data());
  raw.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, logFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, logFd, STDERR_FILENO);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  // In-memory mode keeps nothing on disk but may still write a debug log into its working folder.
  posix_spawn_file_actions_addchdir_np(&actions, folder.c_str());
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int error =
      ::posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, raw.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    throw std::runtime_error("cannot start " + executable.string() + ": " + std::strerror(error));
  }
  return pid;
}

std::string base64(const unsigned char* data, std::size_t size) {
  std::string out(4 * ((size + 2) / 3) + 1, '\0');
  const int n =
      EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data, static_cast<int>(size));
  out.resize(static_cast<std::size_t>(n));
  return out;
}

std::string unbase64(const std::string& text) {
  std::string out(3 * (text.size() / 4) + 3, '\0');
  const int n = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
                                reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) throw std::invalid_argument("the account key is not base64");
  std::size_t size = static_cast<std::size_t>(n);
  // EVP_DecodeBlock counts the padding as zero bytes.
  for (auto it = text.rbegin(); it != text.rend() && *it == '='; ++it) --size;
  out.resize(size);
  return out;
}

std::string hmacSha256Base64(const std::string& base64Key, const std::string& text) {
  const std::string key = unbase64(base64Key);
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &length);
  return base64(digest, length);
}

std::string queryEncode(const std::string& text) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (const unsigned char c : text) {
    if (std::isalnum(c) || c == '-' || c == '_' || c == '.' || c == '~') {
      out.push_back(static_cast<char>(c));
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

std::optional<std::string> put(const std::string& endpoint, const std::string& path) {
  httplib::Client client(endpoint);
  client.set_connection_timeout(std::chrono::seconds(10));
  client.set_read_timeout(std::chrono::seconds(30));
  const auto result = client.Put(path, "", "application/octet-stream");
  if (!result) return std::nullopt;
  return std::to_string(result->status);
}

bool created(const std::optional<std::string>& status) {
  return status && (*status == "201" || *status == "204" || *status == "409");
}

}  // namespace

std::filesystem::path azuriteExecutable() {
  if (const char* fromEnvironment = std::getenv("VORELIA_AZURITE")) return fromEnvironment;
#ifdef VORELIA_SOURCE_DIR
  const std::filesystem::path installed =
      std::filesystem::path(VORELIA_SOURCE_DIR) / "tools/azurite/node_modules/.bin/azurite";
  if (std::filesystem::exists(installed)) return installed;
#endif
  return {};
}

AzuriteProcess::AzuriteProcess(AzuriteOptions options) {
  const std::filesystem::path executable =
      options.executable.empty() ? azuriteExecutable() : options.executable;
  if (executable.empty()) {
    throw std::runtime_error(
        "Azurite is not installed; run scripts/setup.sh or set VORELIA_AZURITE");
  }
  dataDirectory_ = makeTempDirectory("vorelia-azurite");
  const std::filesystem::path log = dataDirectory_ / "azurite.log";
  const int logFd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (logFd < 0) throw std::runtime_error("cannot create " + log.string());

  std::vector<std::string> arguments{"--blobHost",
                                     "127.0.0.1",
                                     "--blobPort",
                                     "0",
                                     "--queueHost",
                                     "127.0.0.1",
                                     "--queuePort",
                                     "0",
                                     "--tableHost",
                                     "127.0.0.1",
                                     "--tablePort",
                                     "0",
                                     "--skipApiVersionCheck",
                                     "--disableTelemetry",
                                     "--silent"};
  if (options.inMemory) {
    arguments.push_back("--inMemoryPersistence");
  } else {
    arguments.insert(arguments.end(), {"--location", (dataDirectory_ / "storage").string()});
  }
  if (options.loose) arguments.push_back("--loose");
  arguments.insert(arguments.end(), options.extraArguments.begin(), options.extraArguments.end());
  try {
    pid_ = spawnAzurite(executable, arguments, dataDirectory_, logFd);
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
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) == pid_) {
          exited = true;
          return true;
        }
        const std::string text = readFile(log);
        const auto blob = listeningPort(text, "Blob");
        const auto queue = listeningPort(text, "Queue");
        if (!blob || !queue) return false;
        blobPort_ = *blob;
        queuePort_ = *queue;
        return true;
      },
      options.startTimeout);
  // Listening is announced from the listen callback; an answer proves the service is serving.
  const bool answering = listening && !exited &&
                         waitUntil(
                             [&] {
                               httplib::Client client("127.0.0.1", blobPort_);
                               client.set_connection_timeout(std::chrono::seconds(2));
                               return static_cast<bool>(client.Get("/"));
                             },
                             options.startTimeout);
  if (!answering) {
    if (exited) pid_ = -1;
    std::string output = readFile(log);
    if (output.size() > 2000) output = output.substr(output.size() - 2000);
    stop(std::chrono::seconds(5));
    std::error_code ignored;
    std::filesystem::remove_all(dataDirectory_, ignored);
    throw std::runtime_error(std::string("Azurite ") + (exited ? "ended early" : "did not answer") +
                             "; it printed: " + output);
  }
}

AzuriteProcess::~AzuriteProcess() {
  stop();
  std::error_code ignored;
  std::filesystem::remove_all(dataDirectory_, ignored);
}

void AzuriteProcess::stop(std::chrono::milliseconds timeout) {
  if (stopped_) return;
  stopped_ = true;
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  if (!waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

std::string AzuriteProcess::blobEndpoint() const {
  return "http://127.0.0.1:" + std::to_string(blobPort_) + "/" + kAzuriteAccountName;
}

std::string AzuriteProcess::queueEndpoint() const {
  return "http://127.0.0.1:" + std::to_string(queuePort_) + "/" + kAzuriteAccountName;
}

bool AzuriteProcess::createContainer(const std::string& name) const {
  const std::string sas = makeAccountSas(accountName(), accountKey(), "rwdlacup",
                                         std::chrono::system_clock::now() + std::chrono::hours(1));
  return created(put("http://127.0.0.1:" + std::to_string(blobPort_),
                     "/" + accountName() + "/" + name + "?restype=container&" + sas));
}

bool AzuriteProcess::createQueue(const std::string& name) const {
  const std::string sas = makeAccountSas(accountName(), accountKey(), "rwdlacup",
                                         std::chrono::system_clock::now() + std::chrono::hours(1));
  return created(put("http://127.0.0.1:" + std::to_string(queuePort_),
                     "/" + accountName() + "/" + name + "?" + sas));
}

std::optional<std::string> AzuriteProcess::readBlob(const std::string& container,
                                                    const std::string& blob) const {
  SasRequest request;
  request.resource = SasResource::kBlob;
  request.container = container;
  request.blob = blob;
  request.permissions = "r";
  request.expiry = std::chrono::system_clock::now() + std::chrono::hours(1);
  httplib::Client client("127.0.0.1", blobPort_);
  client.set_connection_timeout(std::chrono::seconds(10));
  client.set_read_timeout(std::chrono::seconds(60));
  // The blob name travels percent-encoded in the path; the signature covers the plain name.
  std::string path = "/" + accountName() + "/" + container + "/";
  for (const char c : blob) path += c == '/' ? std::string("/") : queryEncode(std::string(1, c));
  const auto result = client.Get(path + "?" + makeServiceSas(request));
  if (!result || result->status != 200) return std::nullopt;
  return result->body;
}

std::string azureTime(std::chrono::system_clock::time_point time) {
  const std::time_t seconds = std::chrono::system_clock::to_time_t(time);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
  return text;
}

std::string makeServiceSas(const SasRequest& request) {
  const std::string start = request.start ? azureTime(*request.start) : std::string();
  const std::string expiry = azureTime(request.expiry);
  std::string canonical, signedResource, toSign;
  if (request.resource == SasResource::kQueue) {
    canonical = "/queue/" + request.accountName + "/" + request.container;
    toSign = request.permissions + "\n" + start + "\n" + expiry + "\n" + canonical + "\n\n\n\n" +
             request.version;
  } else {
    const bool blob = request.resource == SasResource::kBlob;
    canonical = "/blob/" + request.accountName + "/" + request.container +
                (blob ? "/" + request.blob : std::string());
    signedResource = blob ? "b" : "c";
    // permissions, start, expiry, resource, identifier, IP, protocol, version, signed resource,
    // snapshot time, encryption scope, then the five response header overrides.
    toSign = request.permissions + "\n" + start + "\n" + expiry + "\n" + canonical + "\n\n\n\n" +
             request.version + "\n" + signedResource + "\n\n\n\n\n\n\n";
  }
  std::string query = "sv=" + queryEncode(request.version);
  if (!signedResource.empty()) query += "&sr=" + signedResource;
  if (!start.empty()) query += "&st=" + queryEncode(start);
  query += "&se=" + queryEncode(expiry) + "&sp=" + queryEncode(request.permissions);
  query += "&sig=" + queryEncode(hmacSha256Base64(request.accountKey, toSign));
  return query;
}

std::string makeAccountSas(const std::string& accountName, const std::string& accountKey,
                           const std::string& permissions,
                           std::chrono::system_clock::time_point expiry) {
  const std::string version = "2020-12-06";
  const std::string expiryText = azureTime(expiry);
  // account, permissions, services, resource types, start, expiry, IP, protocol, version,
  // encryption scope, and a closing line feed.
  const std::string toSign = accountName + "\n" + permissions + "\nbqt\nsco\n\n" + expiryText +
                             "\n\n\n" + version + "\n\n";
  return "sv=" + version + "&ss=bqt&srt=sco&sp=" + queryEncode(permissions) +
         "&se=" + queryEncode(expiryText) +
         "&sig=" + queryEncode(hmacSha256Base64(accountKey, toSign));
}

}  // namespace vorelia::testing
