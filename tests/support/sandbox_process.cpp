#include "support/sandbox_process.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "support/wait.h"

extern char** environ;

namespace vorelia::testing {
namespace {

using Clock = std::chrono::steady_clock;

// An owned file descriptor.
class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&& other) noexcept {
    if (this != &other) {
      reset();
      fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
  }
  int get() const { return fd_; }
  void reset() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
  }

 private:
  int fd_ = -1;
};

struct Pipe {
  Fd read, write;
};

Pipe makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  return Pipe{Fd(fds[0]), Fd(fds[1])};
}

// Starts binary with arguments; its standard output (and, when errFd >= 0, its standard error)
// go to the given descriptors. The stop signals get their default handling and no blocking.
pid_t spawn(const std::filesystem::path& binary, const std::vector<std::string>& arguments,
            int outFd, int errFd) {
  std::vector<std::string> argv{binary.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> raw;
  for (std::string& argument : argv) raw.push_back(argument.data());
  raw.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
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
    throw std::runtime_error("cannot start " + binary.string() + ": " + std::strerror(error));
  }
  return pid;
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

int exitCodeOf(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

// Waits for pid to end, at most timeout; then kills it. Returns its exit code (-1: killed).
int reap(pid_t pid, std::chrono::milliseconds timeout) {
  int status = 0;
  const bool ended = waitUntil([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, timeout);
  if (ended) return exitCodeOf(status);
  ::kill(pid, SIGKILL);
  ::waitpid(pid, &status, 0);
  return -1;
}

}  // namespace

std::filesystem::path sandboxBinary() {
  if (const char* fromEnvironment = std::getenv("VORELIA_SANDBOX_BINARY")) return fromEnvironment;
#ifdef VORELIA_SANDBOX_BINARY
  return VORELIA_SANDBOX_BINARY;
#else
  return {};
#endif
}

SandboxProcess::SandboxProcess(SandboxOptions options) {
  const std::filesystem::path binary = options.binary.empty() ? sandboxBinary() : options.binary;
  if (binary.empty()) throw std::runtime_error("the path of vorelia-sandbox is not known");
  std::vector<std::string> arguments{"--port", "0"};
  arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
  Pipe output = makePipe();
  pid_ = spawn(binary, arguments, output.write.get(), -1);
  output.write.reset();

  std::string line;
  const auto deadline = Clock::now() + options.startTimeout;
  const bool announced = readLine(output.read.get(), deadline, line);
  constexpr std::string_view kPrefix = "listening on ";
  const auto colon = line.rfind(':');
  if (!announced || !line.starts_with(kPrefix) || colon == std::string::npos) {
    stop(std::chrono::seconds(5));
    throw std::runtime_error("vorelia-sandbox did not announce its port; it printed: " + line);
  }
  line.resize(line.find('\n'));
  url_ = line.substr(kPrefix.size());
  port_ = std::stoi(line.substr(colon + 1));
}

SandboxProcess::~SandboxProcess() { stop(); }

int SandboxProcess::stop(std::chrono::milliseconds timeout) {
  if (exitStatus_) return *exitStatus_;
  if (pid_ <= 0) return -1;
  ::kill(pid_, SIGTERM);
  exitStatus_ = reap(pid_, timeout);
  return *exitStatus_;
}

std::optional<int> SandboxProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (exitStatus_ || pid_ <= 0) return exitStatus_;
  int status = 0;
  if (waitUntil([&] { return ::waitpid(pid_, &status, WNOHANG) == pid_; }, timeout)) {
    exitStatus_ = exitCodeOf(status);
  }
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
    if (method == "PUT") return client.Put(path, text, "application/json");
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

void SandboxProcess::clearFaults() const { checked("DELETE", "/admin/faults", nullptr); }

nlohmann::json SandboxProcess::requests() const {
  const Answer answer = checked("GET", "/admin/requests", nullptr);
  return answer.body.is_object() ? answer.body.value("requests", nlohmann::json::array())
                                 : nlohmann::json::array();
}

void SandboxProcess::clearRequests() const { checked("DELETE", "/admin/requests", nullptr); }

SandboxRun runSandboxToEnd(const std::vector<std::string>& arguments,
                           std::chrono::milliseconds timeout) {
  Pipe output = makePipe();
  Pipe errors = makePipe();
  const pid_t pid = spawn(sandboxBinary(), arguments, output.write.get(), errors.write.get());
  output.write.reset();
  errors.write.reset();
  SandboxRun run;
  const auto deadline = Clock::now() + timeout;
  std::vector<std::pair<int, std::string*>> open{{output.read.get(), &run.output},
                                                 {errors.read.get(), &run.errors}};
  while (!open.empty() && Clock::now() < deadline) {
    std::vector<pollfd> entries;
    for (const auto& [fd, sink] : open) entries.push_back({fd, POLLIN, 0});
    if (::poll(entries.data(), entries.size(), remainingMs(deadline)) <= 0) continue;
    for (std::size_t i = entries.size(); i-- > 0;) {
      if (entries[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(entries[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        open[i].second->append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  run.exitCode = reap(pid, std::chrono::milliseconds(remainingMs(deadline)));
  return run;
}

}  // namespace vorelia::testing
