// Running cohost as a child process for a test: arguments, standard input, working folder and
// environment in; exit status, standard output and standard error out. The wait is bounded: a
// cohost that does not finish in time is killed and the run says so.
#pragma once

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace vorelia::testing {

class SandboxProcess;
struct CohostRun;

struct CohostOptions {
  CohostOptions(std::initializer_list<std::string> arguments) : args(arguments) {}
  explicit CohostOptions(std::vector<std::string> arguments) : args(std::move(arguments)) {}

  // Written to cohost's standard input, then closed.
  CohostOptions& withInput(std::string text) {
    input = std::move(text);
    return *this;
  }
  // Once condition holds for what cohost has written so far (asked every few milliseconds), writes
  // text to its input and sends it signal (0: none). Steps fire in order, each once; input closes
  // after the last, so that cohost keeps running, with its plugin loaded, until then.
  CohostOptions& then(std::function<bool(const CohostRun&)> condition, std::string text,
                      int signal = 0) {
    steps.push_back({std::move(condition), std::move(text), signal});
    return *this;
  }
  // Runs cohost in folder rather than in the test's working folder.
  CohostOptions& inFolder(std::filesystem::path folder) {
    workingFolder = std::move(folder);
    return *this;
  }
  // Sets the variable for the run, or removes it when value is nullopt.
  CohostOptions& withVariable(const std::string& name, std::optional<std::string> value) {
    environment[name] = std::move(value);
    return *this;
  }

  std::vector<std::string> args;
  std::string input;
  struct Step {
    std::function<bool(const CohostRun&)> condition;
    std::string text;
    int signal = 0;
  };
  std::vector<Step> steps;
  std::filesystem::path workingFolder;
  // Changes to the test's environment. Every run also gets VORELIA_SECRET_STORE=file, loopback
  // service addresses and no COHOST_BUNDLE unless set here. HOME is inherited (a TempHome sets it).
  std::map<std::string, std::optional<std::string>> environment;
  std::chrono::seconds timeout{180};
  // What runs: cohost, or one of the programs a user runs beside it.
  std::filesystem::path program = COHOST_PATH;
};

struct CohostRun {
  int exitCode = -1;  // -1 when cohost did not exit normally (a signal, or killed at the time-out)
  bool timedOut = false;
  std::string out;
  std::string err;

  // Each line of out parsed as JSON; a line that is not JSON becomes a discarded value.
  std::vector<nlohmann::json> lines() const;
  // The one result line, or a discarded value when out does not hold exactly one line.
  nlohmann::json single() const;
  // For failure messages: the exit status and both streams.
  std::string describe() const;
};

CohostRun runCohost(const CohostOptions& options);
// The environment of a run with options ("NAME=value" entries).
std::vector<std::string> cohostEnvironment(const CohostOptions& options);

// A --json run of the real bundle with args against the sandbox: the API and the usage queue (with
// its signature) point at it, and cohost looks for the update library and the web site beside it.
CohostOptions pluginRun(const SandboxProcess& sandbox, const std::vector<std::string>& args);

// The item names of each album on the sandbox, by album name.
std::map<std::string, std::vector<std::string>> albumItems(const SandboxProcess& sandbox);

// The result lines of one command of a --json run, in the order of the script's lines.
std::vector<nlohmann::json> results(const CohostRun& run, const std::string& command);

// Draws the sample session into folder (cohost-sample-photos, with that long edge) and returns its
// photos' paths in name order.
std::vector<std::string> drawSampleSession(const std::filesystem::path& folder, int longEdge = 400);

}  // namespace vorelia::testing
