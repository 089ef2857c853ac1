#include "cohost_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

#include <gtest/gtest.h>

#include "support/child_process.h"
#include "support/sandbox_process.h"
#include "support/wait.h"

extern char** environ;

namespace vorelia::testing {

namespace {

// A pipe whose ends close themselves.
struct Pipe {
  int fds[2] = {-1, -1};
  Pipe() {
    if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe2 failed");
  }
  ~Pipe() {
    closeEnd(0);
    closeEnd(1);
  }
  void closeEnd(int end) {
    if (fds[end] >= 0) close(fds[end]);
    fds[end] = -1;
  }
};

}  // namespace

std::vector<std::string> cohostEnvironment(const CohostOptions& options) {
  std::map<std::string, std::optional<std::string>> changes = {
      {"VORELIA_SECRET_STORE", "file"},
      {"COHOST_BUNDLE", std::nullopt},
      // Nothing a run does may reach past loopback; port 9 refuses connections.
      {"VORELIA_API_URL", "http://127.0.0.1:9/"},
      {"VORELIA_UPDATE_URL", "http://127.0.0.1:9/updates/"},
      {"VORELIA_QUEUE_URL", "http://127.0.0.1:9/queue/messages"},
      {"VORELIA_WEB_URL", "http://127.0.0.1:9"}};
  // A sanitizer's report ends cohost with an exit code no test expects (its default, 1, is one
  // that cohost gives for a failed operation).
  for (const char* sanitizer : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    const char* current = std::getenv(sanitizer);
    changes[sanitizer] = std::string(current != nullptr ? current : "") + ":exitcode=86";
  }
  for (const auto& [name, value] : options.environment) changes[name] = value;
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    if (changes.count(text.substr(0, text.find('='))) == 0) environment.push_back(text);
  }
  for (const auto& [name, value] : changes) {
    if (value) environment.push_back(name + "=" + *value);
  }
  return environment;
}

CohostRun runCohost(const CohostOptions& options) {
  signal(SIGPIPE, SIG_IGN);  // cohost may exit before reading all of its input
  Pipe input, output, errors;
  const pid_t pid = spawnChild(options.program, options.args, output.fds[1], errors.fds[1],
                               options.workingFolder, input.fds[0], cohostEnvironment(options));
  input.closeEnd(0);
  output.closeEnd(1);
  errors.closeEnd(1);
  fcntl(input.fds[1], F_SETFL, O_NONBLOCK);

  CohostRun run;
  std::string pending = options.input;  // what is still to be written
  std::size_t written = 0;
  std::size_t step = 0;  // the next of options.steps
  const auto closeWhenDone = [&] {
    for (; step < options.steps.size(); ++step) {
      const CohostOptions::Step& next = options.steps[step];
      if (next.condition && !next.condition(run)) break;
      pending += next.text;
      if (next.signal != 0) kill(pid, next.signal);
    }
    if (written == pending.size() && input.fds[1] >= 0 && step == options.steps.size()) {
      input.closeEnd(1);
    }
  };
  closeWhenDone();
  const auto deadline = std::chrono::steady_clock::now() + options.timeout;
  while (output.fds[0] >= 0 || errors.fds[0] >= 0) {
    closeWhenDone();
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      run.timedOut = true;
      kill(pid, SIGKILL);
      break;
    }
    if (step < options.steps.size()) {
      left = std::min(left, std::chrono::milliseconds(10));
    }
    const bool writing = input.fds[1] >= 0 && written < pending.size();
    pollfd fds[3] = {{output.fds[0], POLLIN, 0},
                     {errors.fds[0], POLLIN, 0},
                     {writing ? input.fds[1] : -1, POLLOUT, 0}};
    if (poll(fds, 3, static_cast<int>(left.count())) < 0 && errno != EINTR) break;
    if (fds[2].revents != 0) {
      const ssize_t n = write(input.fds[1], pending.data() + written, pending.size() - written);
      if (n > 0) written += static_cast<std::size_t>(n);
      if (n < 0) written = pending.size();  // cohost stopped reading: nothing more can reach it
    }
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      Pipe& pipe = i == 0 ? output : errors;
      char buffer[4096];
      const ssize_t n = read(pipe.fds[0], buffer, sizeof buffer);
      if (n > 0) {
        (i == 0 ? run.out : run.err).append(buffer, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        pipe.closeEnd(0);
      }
    }
  }
  // Both streams closed: cohost is ending. Its exit is awaited within what is left of the time.
  run.exitCode = reapChild(pid, std::max(std::chrono::duration_cast<std::chrono::milliseconds>(
                                             deadline - std::chrono::steady_clock::now()),
                                         std::chrono::milliseconds(0)));
  return run;
}

std::vector<nlohmann::json> CohostRun::lines() const {
  std::vector<nlohmann::json> parsed;
  std::istringstream stream(out);
  std::string line;
  while (std::getline(stream, line)) parsed.push_back(nlohmann::json::parse(line, nullptr, false));
  return parsed;
}

nlohmann::json CohostRun::single() const {
  std::vector<nlohmann::json> all = lines();
  return all.size() == 1 ? all.front() : nlohmann::json(nlohmann::json::value_t::discarded);
}

std::string CohostRun::describe() const {
  std::ostringstream text;
  text << "exit " << exitCode << (timedOut ? ", timed out" : "") << "\n--- stdout\n"
       << out << "--- stderr\n"
       << err;
  return text.str();
}

CohostOptions pluginRun(const SandboxProcess& sandbox, const std::vector<std::string>& args) {
  std::vector<std::string> all = {"--json", "--bundle", PLUGIN_BUNDLE_PATH};
  all.insert(all.end(), args.begin(), args.end());
  const std::string queuePath = sandbox.admin("GET", "/admin/queue").body["queuePath"];
  return std::move(CohostOptions(all)
                       .withVariable("VORELIA_API_URL", sandbox.baseUrl())
                       .withVariable("VORELIA_WEB_URL", std::nullopt)
                       .withVariable("VORELIA_UPDATE_URL", std::nullopt)
                       .withVariable("VORELIA_QUEUE_URL", sandbox.baseUrl() + queuePath.substr(1)));
}

std::map<std::string, std::vector<std::string>> albumItems(const SandboxProcess& sandbox) {
  std::map<std::string, std::vector<std::string>> albums;
  const nlohmann::json state = sandbox.admin("GET", "/admin/state").body;
  for (const auto& account : state["accounts"]) {
    for (const auto& album : account["albums"]) {
      std::vector<std::string>& items = albums[album["name"]];
      for (const auto& item : album["value"]) items.push_back(item["name"]);
    }
  }
  return albums;
}

std::vector<nlohmann::json> results(const CohostRun& run, const std::string& command) {
  std::vector<nlohmann::json> found;
  for (const nlohmann::json& line : run.lines()) {
    if (line.is_object() && line.value("command", "") == command) found.push_back(line);
  }
  return found;
}

std::vector<std::string> drawSampleSession(const std::filesystem::path& folder, int longEdge) {
  const std::string command = std::string(SAMPLE_PHOTOS_PATH) + " '" + folder.string() + "' " +
                              std::to_string(longEdge) + " > /dev/null";
  if (std::system(command.c_str()) != 0) ADD_FAILURE() << "could not draw the sample session";
  std::vector<std::string> photos;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    photos.push_back(entry.path().string());
  }
  std::sort(photos.begin(), photos.end());
  return photos;
}

}  // namespace vorelia::testing
