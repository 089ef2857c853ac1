#include "support/child_process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>

#include "support/wait.h"

extern char** environ;

namespace vorelia::testing {

pid_t spawnChild(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                 int outFd, int errFd, const std::filesystem::path& workingDirectory, int inFd,
                 std::vector<std::string> environment) {
  std::vector<std::string> argv{program.string()};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  const auto terminated = [](std::vector<std::string>& texts) {
    std::vector<char*> raw;
    for (std::string& text : texts) raw.push_back(text.data());
    raw.push_back(nullptr);
    return raw;
  };
  std::vector<char*> raw = terminated(argv), envp = terminated(environment);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (inFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, inFd, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (outFd >= 0) posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  if (errFd >= 0) posix_spawn_file_actions_adddup2(&actions, errFd, STDERR_FILENO);
  if (!workingDirectory.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, workingDirectory.c_str());
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGINT);
  posix_spawnattr_setsigmask(&attributes, &none);
  posix_spawnattr_setsigdefault(&attributes, &defaults);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  pid_t pid = -1;
  const int error = ::posix_spawn(&pid, argv[0].c_str(), &actions, &attributes, raw.data(),
                                  environment.empty() ? environ : envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (error != 0) {
    throw std::runtime_error("cannot start " + program.string() + ": " + std::strerror(error));
  }
  return pid;
}

std::optional<int> exitedChild(pid_t pid) {
  int status = 0;
  if (::waitpid(pid, &status, WNOHANG) != pid) return std::nullopt;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

int reapChild(pid_t pid, std::chrono::milliseconds timeout) {
  std::optional<int> code;
  if (waitUntil([&] { return (code = exitedChild(pid)).has_value(); }, timeout)) return *code;
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

}  // namespace vorelia::testing
