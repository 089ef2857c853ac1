// cohost: loads one plugin bundle and drives it with commands from the command line, a script or an
// interactive shell. `cohost help` tells the whole story.
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "bundle_loader.h"
#include "commands.h"
#include "document_list.h"
#include "help_text.h"
#include "interrupts.h"
#include "line_reader.h"
#include "output.h"
#include "platform/user_directories.h"
#include "script_report.h"

namespace vorelia::host {

namespace {

namespace fs = std::filesystem;

struct Options {
  bool json = false;
  bool keepGoing = false;
  std::optional<std::string> bundle;
  std::vector<std::string> documents;  // --document folders, in order
  std::optional<std::string> choose;   // --choose NAME
  std::string mode;                    // shell, run, help or a command
  std::vector<std::string> args;       // what follows the mode
  std::string error;                   // a usage error in the command line
};

Options parseOptions(int argc, char** argv) {
  Options options;
  int i = 1;
  for (; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--json") {
      options.json = true;
    } else if (arg == "--keep-going") {
      options.keepGoing = true;
    } else if (arg == "--bundle") {
      if (i + 1 == argc || argv[i + 1][0] == '-') {
        options.error = "--bundle needs a PATH";
        return options;
      }
      options.bundle = argv[++i];
    } else if (arg.rfind("--bundle=", 0) == 0) {
      options.bundle = arg.substr(9);
    } else if (arg == "--document" || arg == "--choose") {
      if (i + 1 == argc || argv[i + 1][0] == '-') {  // a flag is no folder's name
        options.error = arg + (arg == "--document" ? " needs a DIR" : " needs a NAME");
        return options;
      }
      if (arg == "--document") {
        options.documents.push_back(argv[++i]);
      } else {
        options.choose = argv[++i];
      }
    } else if (arg.rfind("--document=", 0) == 0) {
      options.documents.push_back(arg.substr(11));
    } else if (arg.rfind("--choose=", 0) == 0) {
      options.choose = arg.substr(9);
    } else if (arg == "--help" || arg == "-h") {
      options.mode = "help";
    } else if (arg == "--version") {
      options.mode = "version";
    } else if (arg.rfind("-", 0) == 0) {
      options.error = "unknown option " + arg + " (cohost help lists them)";
      return options;
    } else {
      break;
    }
  }
  if (options.mode.empty() && i < argc) options.mode = argv[i++];
  options.args.assign(argv + i, argv + argc);
  if (options.mode.empty()) {
    options.error = "no command (cohost help lists them)";
  } else if (options.mode == "run") {
    std::vector<std::string> rest;
    for (const std::string& arg : options.args) {
      if (arg == "--keep-going") {
        options.keepGoing = true;
      } else {
        rest.push_back(arg);
      }
    }
    options.args = rest;
    if (options.args.size() != 1) options.error = "usage: cohost run [--keep-going] FILE";
  } else if (options.mode == "shell" && !options.args.empty()) {
    options.error = "usage: cohost shell";
  } else if (options.mode != "shell" && options.mode != "help" && options.mode != "version" &&
             !CommandInterpreter::isCommand(options.mode)) {
    options.error = CommandInterpreter::unknownCommand(options.mode);
  }
  return options;
}

// Points the plugin's script interpreter at cohost-osascript beside this executable, unless the
// variable already names one or there is no such file.
void useCompanionScriptInterpreter() {
  if (std::getenv("VORELIA_OSASCRIPT") != nullptr) return;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (ec) return;
  const fs::path companion = self.parent_path() / "cohost-osascript";
  if (access(companion.c_str(), X_OK) == 0) setenv("VORELIA_OSASCRIPT", companion.c_str(), 0);
}

// Whether url names a loopback host: 127.0.0.0/8, ::1 or localhost.
bool isLoopbackUrl(const std::string& url) {
  const std::size_t start = url.find("://");
  if (start == std::string::npos) return false;
  std::string host = url.substr(start + 3, url.find_first_of("/?#", start + 3) - start - 3);
  if (host.starts_with("[")) return host.starts_with("[::1]");
  host = host.substr(0, host.find(':'));
  return host == "localhost" || host.starts_with("127.");
}

// A run pointed at a service on this machine (the sandbox) stays on this machine: the update
// library, the statistics queue and the web site that are not set otherwise are looked for beside
// that service rather than at the compiled-in addresses of the real one.
void keepToLoopback() {
  const char* api = std::getenv("VORELIA_API_URL");
  if (api == nullptr || !isLoopbackUrl(api)) return;
  std::string root = api;
  if (!root.ends_with("/")) root += "/";
  setenv("VORELIA_UPDATE_URL", (root + "libraries/captureone/").c_str(), 0);
  setenv("VORELIA_QUEUE_URL", (root + "statsc1/messages").c_str(), 0);
  setenv("VORELIA_WEB_URL", root.substr(0, root.size() - 1).c_str(), 0);
}

// Ends cohost after SIGINT or SIGTERM stopped a command. The plugin may still be at work on
// another thread, so the process ends without unloading it.
[[noreturn]] void endInterrupted(Output& output) {
  output.interrupted();
  std::cout.flush();
  std::_Exit(130);
}

// The host owns its scripts folder, where plugins put the scripts they have it run; like the
// installed application, cohost makes sure the folder is there.
void ensureScriptsFolder() {
  if (platform::homeDirectory().empty()) return;
  const fs::path library = platform::libraryDirectory();
  std::error_code ignored;
  fs::create_directories(library / "Scripts" / "Capture One Scripts", ignored);
}

std::unique_ptr<LoadedPlugin> load(const Options& options, Output& output) {
  fs::path bundle;
  if (options.bundle) {
    bundle = *options.bundle;
  } else if (const char* fromEnvironment = std::getenv("COHOST_BUNDLE");
             fromEnvironment != nullptr && *fromEnvironment != '\0') {
    bundle = fromEnvironment;
  } else {
    Result<fs::path> search = findInstalledBundle();
    if (!search) {
      output.hostFailure("load", search.error(), false);
      return nullptr;
    }
    bundle = *search;
  }
  Result<std::unique_ptr<LoadedPlugin>> loaded = loadBundle(bundle);
  if (!loaded) {
    output.hostFailure("load", loaded.error(), false, {{"bundle", bundle.string()}});
    return nullptr;
  }
  return std::move(*loaded);
}

// Whether line holds a command: neither blank nor a comment.
bool holdsCommand(const std::string& line) {
  const std::size_t first = line.find_first_not_of(" \t\r\n");
  return first != std::string::npos && line[first] != '#';
}

Status runShell(CommandInterpreter& interpreter, Output& output) {
  LineReader reader("cohost> ");
  // On a terminal Ctrl-C never ends the shell: at the prompt it drops the line being typed; while
  // a command other than publish runs, it drops the next one.
  std::optional<InterruptScope> catching;
  if (reader.interactive()) catching.emplace();
  Status status = Status::ok;
  while (const std::optional<std::string> line = reader.next()) {
    if (!holdsCommand(*line)) continue;
    const CommandOutcome outcome = interpreter.execute(*line);
    if (outcome.interrupted) endInterrupted(output);
    output.result(outcome.result);
    status = worse(status, outcome.status);
    if (outcome.quit) break;
  }
  return status;
}

Status runScript(CommandInterpreter& interpreter, Output& output, std::istream& script,
                 const std::string& name, bool keepGoing) {
  Status status = Status::ok;
  std::string line;
  for (int number = 1; std::getline(script, line); ++number) {
    if (!holdsCommand(line)) continue;
    const CommandOutcome outcome = interpreter.execute(line);
    if (outcome.interrupted) endInterrupted(output);
    output.result(outcome.result, name + ":" + std::to_string(number));
    status = worse(status, outcome.status);
    if (outcome.quit || (outcome.status != Status::ok && !keepGoing)) break;
  }
  return status;
}

int run(int argc, char** argv) {
  const Options options = parseOptions(argc, argv);
  Output output(std::cout, std::cerr, options.json, isatty(STDERR_FILENO) == 1);
  if (!options.error.empty()) {
    output.hostFailure(options.mode.empty() ? "cohost" : options.mode, options.error, true);
    return static_cast<int>(Status::usage);
  }
  if (options.mode == "help") {
    output.result({{"command", "help"}, {"ok", true}, {"text", helpText()}, {"error", nullptr}});
    return 0;
  }
  if (options.mode == "version") {
    std::cout << "cohost " << COHOST_VERSION << "\n";
    return 0;
  }
  std::ifstream script;
  if (options.mode == "run") {
    script.open(options.args.front());
    if (!script) {
      output.hostFailure("run", "cannot read " + options.args.front(), true);
      return static_cast<int>(Status::usage);
    }
  }
  // The catalogue's documents reach cohost-osascript through the environment, set before the
  // plugin starts any thread.
  std::vector<std::string> documents;
  for (const std::string& dir : options.documents) {
    Result<std::string> folder = documentFolder(dir);
    if (!folder) {
      output.hostFailure("cohost", "--document " + folder.error(), true);
      return static_cast<int>(Status::usage);
    }
    if (std::find(documents.begin(), documents.end(), *folder) == documents.end()) {
      documents.push_back(std::move(*folder));
    }
  }
  exportDocumentList(documents);
  if (options.choose) setenv(ChooseVariable, options.choose->c_str(), 1);
  openScriptReports();
  useCompanionScriptInterpreter();
  keepToLoopback();
  ensureScriptsFolder();
  const std::unique_ptr<LoadedPlugin> loaded = load(options, output);
  if (!loaded) return static_cast<int>(Status::failed);

  CommandInterpreter interpreter(
      loaded->plugin(), HostContext{{{"path", loaded->bundle().string()},
                                     {"principalClass", loaded->info().principalClass},
                                     {"pluginVersion", loaded->info().pluginVersion},
                                     {"sdkVersion", loaded->info().sdkVersion}},
                                    std::move(documents),
                                    [&output](const Json& progress) { output.progress(progress); },
                                    output.live()});
  Status status = Status::ok;
  if (options.mode == "shell") {
    status = runShell(interpreter, output);
  } else if (options.mode == "run") {
    status = runScript(interpreter, output, script, options.args.front(), options.keepGoing);
  } else {
    std::vector<Token> tokens{Token{options.mode}};
    for (const std::string& arg : options.args) tokens.push_back(Token{arg});
    const CommandOutcome outcome = interpreter.execute(tokens);
    if (outcome.interrupted) endInterrupted(output);
    output.result(outcome.result);
    status = outcome.status;
  }
  // Like an application that quits, cohost runs what is still queued on its main queue (a ratings
  // job the last command queued) before the plugin goes. Shown only when its script failed.
  const CommandOutcome last = interpreter.execute({Token{"wait"}});
  if (last.status != Status::ok) output.result(last.result);
  return static_cast<int>(worse(status, last.status));
}

}  // namespace

}  // namespace vorelia::host

int main(int argc, char** argv) {
  try {
    return vorelia::host::run(argc, argv);
  } catch (const std::exception& e) {
    std::cerr << "cohost: " << e.what() << "\n";
  } catch (...) {
    std::cerr << "cohost: unexpected failure\n";
  }
  return 1;
}
