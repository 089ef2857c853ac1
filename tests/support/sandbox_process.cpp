#include "support/sandbox_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "support/child_process.h"
#include "support/wait.h"

namespace vorelia::testing {
namespace {

using Clock = std::chrono::steady_clock;

// Both ends of a pipe, closed when it goes.
struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
    read = fds[0], write = fds[1];
  }
  ~Pipe() {
    closeWrite();
    ::close(read);
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
  void closeWrite() {
    if (write >= 0) ::close(std::exchange(write, -1));
  }
};

std::filesystem::path sandboxBinary() {
  if (const char* fromEnvironment = std::getenv("VORELIA_SANDBOX_BINARY")) return fromEnvironment;
#ifdef VORELIA_SANDBOX_BINARY
  return VORELIA_SANDBOX_BINARY;
#else
  throw std::runtime_error("the path of vorelia-sandbox is not known");
#endif
}

int remainingMs(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

// Reads from fd into text until a line feed arrives; false on end of file or at the deadline.
bool readLine(int fd, Clock::time_point deadline, std::string& text) {
  while (text.find('\n') == std::string::npos) {
    pollfd entry{fd, POLLIN, 0};
    const int ready = ::poll(&entry, 1, remainingMs(deadline));
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    char buffer[512];
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    text.append(buffer, static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

SandboxProcess::SandboxProcess(std::vector<std::string> arguments) {
  arguments.insert(arguments.begin(), {"--port", "0"});
  Pipe output;
  pid_ = spawnChild(sandboxBinary(), arguments, output.write, -1);
  output.closeWrite();

  std::string line;
  const bool announced = readLine(output.read, Clock::now() + std::chrono::seconds(30), line);
  constexpr std::string_view kPrefix = "listening on ";
  line.resize(std::min(line.find('\n'), line.size()));  // the export lines follow
  const auto colon = line.rfind(':');
  if (!announced || !line.starts_with(kPrefix) || colon == std::string::npos) {
    ::kill(pid_, SIGTERM);
    reapChild(pid_, std::chrono::seconds(5));
    throw std::runtime_error("vorelia-sandbox did not announce its port; it printed: " + line);
  }
  url_ = line.substr(kPrefix.size());
  port_ = std::stoi(line.substr(colon + 1));
}

SandboxProcess::~SandboxProcess() { stop(); }

int SandboxProcess::stop() {
  if (!exitStatus_) {
    ::kill(pid_, SIGTERM);
    exitStatus_ = reapChild(pid_, std::chrono::seconds(20));
  }
  return *exitStatus_;
}

std::optional<int> SandboxProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (!exitStatus_)
    waitUntil([&] { return (exitStatus_ = exitedChild(pid_)).has_value(); }, timeout);
  return exitStatus_;
}

SandboxProcess::Answer SandboxProcess::admin(const std::string& method, const std::string& path,
                                             const nlohmann::json& body) const {
  httplib::Client client(url_);
  client.set_connection_timeout(std::chrono::seconds(10));
  client.set_read_timeout(std::chrono::seconds(60));
  const std::string text = body.is_null() ? std::string() : body.dump();
  const auto send = [&]() -> httplib::Result {
    if (method == "GET") return client.Get(path);
    if (method == "POST") return client.Post(path, text, "application/json");
    if (method == "DELETE") return client.Delete(path, text, "application/json");
    throw std::invalid_argument("admin: unsupported method " + method);
  };
  const httplib::Result result = send();
  if (!result) return Answer{};
  return Answer{result->status, nlohmann::json::parse(result->body, nullptr, false)};
}

SandboxProcess::Answer SandboxProcess::checked(const std::string& method, const std::string& path,
                                               const nlohmann::json& body) const {
  Answer answer = admin(method, path, body);
  if (answer.status != 200) {
    ADD_FAILURE() << "vorelia-sandbox refused " << method << " " << path << ": status "
                  << answer.status << " " << answer.body.dump();
  }
  return answer;
}

void SandboxProcess::seedUser(const std::string& email, const std::string& password,
                              const std::vector<std::string>& accounts) const {
  checked("POST", "/admin/users",
          {{"email", email}, {"password", password}, {"accounts", accounts}});
}

nlohmann::json SandboxProcess::seedAlbum(const nlohmann::json& album) const {
  return checked("POST", "/admin/albums", album).body;
}

std::string SandboxProcess::token(const std::string& email) const {
  return checked("POST", "/admin/tokens", {{"email", email}}).body.value("access_token", "");
}

int SandboxProcess::setFault(const nlohmann::json& fault) const {
  return checked("POST", "/admin/faults", fault).body.value("id", 0);
}

nlohmann::json SandboxProcess::requests() const {
  const Answer answer = checked("GET", "/admin/requests", nullptr);
  return answer.body.is_object() ? answer.body.value("requests", nlohmann::json::array())
                                 : nlohmann::json::array();
}

void SandboxProcess::clearRequests() const { checked("DELETE", "/admin/requests", nullptr); }

}  // namespace vorelia::testing
