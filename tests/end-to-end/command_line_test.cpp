// What a user of cohost, cohost-osascript and the sandbox is told to expect of them on the command
// line and at a terminal: exit codes, each error said once on the error stream (with FILE:LINE in a
// script), did-you-mean for near misses, the version, the sandbox's start-up lines and its page for
// an unknown link, the document --choose names; line editing, Ctrl-C at the prompt and progress
// drawn in place when the shell runs on a terminal.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <regex>

#include "publish/catalogue_scripts.h"
#include "support/child_process.h"
#include "support/wait.h"
#include "through_the_host.h"

extern char** environ;

namespace vorelia::testing {
namespace {

using namespace std::string_literals;

// What a program showed: its exit code (the HTTP status for the sandbox's page) and its streams.
struct Seen {
  int code = -1;
  std::string out, err;
};

std::string contents(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Runs program in folder to its end, its streams into files there.
Seen runProgram(const fs::path& program, const std::vector<std::string>& args,
                const fs::path& folder) {
  const fs::path out = folder / "out", err = folder / "err";
  const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  const int code =
      reapChild(spawnChild(program, args, outFd, errFd, folder), std::chrono::seconds(60));
  ::close(outFd);
  ::close(errFd);
  return {code, contents(out), contents(err)};
}

// Runs cohost with options on a new pseudo-terminal: once the transcript since the last match
// shows a step's text, the step's keys are typed. The transcript is out (both streams).
Seen onTerminal(const CohostOptions& options,
                const std::vector<std::pair<std::string, std::string>>& steps) {
  std::vector<std::string> environment = {"TERM=vt100"};
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const std::string text = *entry;
    const std::string name = text.substr(0, text.find('='));
    if (name != "TERM" && !options.environment.contains(name)) environment.push_back(text);
  }
  for (const auto& [name, value] : options.environment) {
    if (value) environment.push_back(name + "=" + *value);
  }
  std::vector<char*> argv = {const_cast<char*>(COHOST_PATH)}, envp;
  for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  winsize size{.ws_row = 40, .ws_col = 200, .ws_xpixel = 0, .ws_ypixel = 0};
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid == 0) {
    execve(COHOST_PATH, argv.data(), envp.data());
    _exit(127);
  }
  Seen seen;
  std::size_t from = 0, step = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
  while (std::chrono::steady_clock::now() < deadline) {
    for (std::size_t at;
         step < steps.size() && (at = seen.out.find(steps[step].first, from)) != std::string::npos;
         ++step) {
      from = at + steps[step].first.size();
      ::write(master, steps[step].second.data(), steps[step].second.size());
    }
    pollfd ready{master, POLLIN, 0};
    if (poll(&ready, 1, 100) <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(master, buffer, sizeof buffer);
    if (n <= 0 && errno != EINTR && errno != EAGAIN) break;  // EIO: cohost has ended
    if (n > 0) seen.out.append(buffer, static_cast<std::size_t>(n));
  }
  seen.code = reapChild(pid, std::chrono::seconds(20));
  ::close(master);
  return seen;
}

TEST_F(ThroughTheHost, CommandLineSandboxAndTerminalKeepTheirWord) {
  const std::string photo = fs::path(photos[0]).filename();
  for (const char* folder : {"A", "B"}) {
    fs::create_directory(home.path() / folder);
    fs::copy_file(photos[0], home.path() / folder / photo);
  }
  std::ofstream(home.path() / "tag.scpt")
      << keywordScript(keywordRecord(fs::path(photo).stem().string() + ".", "snow;", ""));
  std::ofstream(home.path() / "login.cohost")
      << "set userName-input \"two@example.test\"\nset password-input \"wrong\"\n"
         "press login-action\npage\n";
  // cohost in its readable form, in the home folder, against the sandbox.
  const auto readable = [&](const std::vector<std::string>& args) {
    CohostOptions options = pluginRun(sandbox, args);
    options.args.erase(options.args.begin());  // no --json
    return options.inFolder(home.path());
  };
  const auto cohost = [&](std::vector<std::string> args) {
    return [&, args] {
      const CohostRun run = runCohost(readable(args));
      return Seen{run.exitCode, run.out, run.err};
    };
  };
  // cohost-osascript with documents A and B open, choosing one; out names those it tagged.
  const auto tag = [&](std::string choose) {
    return [&, choose] {
      for (const char* folder : {"A", "B"}) fs::remove(home.path() / folder / (photo + ".xmp"));
      Seen seen = runProgram(fs::path(COHOST_PATH).parent_path() / "cohost-osascript",
                             {"--document", "A", "--document", "B", "--choose", choose, "tag.scpt"},
                             home.path());
      for (const char* folder : {"A", "B"}) {
        if (fs::exists(home.path() / folder / (photo + ".xmp"))) seen.out += folder + "\n"s;
      }
      return seen;
    };
  };
  // The sandbox's first lines, then what a browser gets for a link that shares nothing.
  const auto sandboxStart = [&] {
    const fs::path out = home.path() / "sandbox.out";
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    const pid_t pid = spawnChild(VORELIA_SANDBOX_BINARY, {"--port", "0"}, outFd, -1);
    ::close(outFd);
    waitUntil([&] { return std::ranges::count(contents(out), '\n') >= 5; },
              std::chrono::seconds(30));
    Seen seen{0, contents(out), ""};
    std::smatch url;
    if (std::regex_search(seen.out, url, std::regex("http://127\\.0\\.0\\.1:\\d+"))) {
      const auto page = httplib::Client(url.str()).Get("/a/NoSuchCode");
      if (page)
        seen = {page->status, seen.out, page->get_header_value("Content-Type") + page->body};
    }
    ::kill(pid, SIGTERM);
    reapChild(pid, std::chrono::seconds(20));
    return seen;
  };
  const struct {
    std::string name;
    std::function<Seen()> run;
    int code;
    std::string out, err;  // patterns that the whole of each stream matches
  } rows[] = {
      {"a command that went through", cohost({"page"}), 0, "page: ok\n[\\s\\S]*", ""},
      {"a failed command, its error once with the script's file and line",
       cohost({"run", "login.cohost"}), 1, "(set: ok\n[\\s\\S]*){2}press: failed\n[\\s\\S]*",
       "login\\.cohost:3: press: Wrong e-mail or password\n"},
      {"an element that is not on the page", cohost({"set", "pasword-input", "\"x\""}), 2, "",
       "set: [^\n]*\\(did you mean \"password-input\"\\?\\)[^\n]*\n"},
      {"an action that is not offered", cohost({"action-page", "voreliaPublishLogn"}), 2, "",
       "action-page: [^\n]*\\(did you mean \"voreliaPublishLogin\"\\?\\)[^\n]*\n"},
      {"a mistyped command", cohost({"pubish"}), 2, "",
       "cohost: unknown command \"pubish\" \\(did you mean \"publish\"\\?\\); help lists them\n"},
      {"the version", cohost({"--version"}), 0, "cohost " COHOST_VERSION "\n", ""},
      {"the chosen document", tag("b"), 0, "B\n", "[^\n]*complete[^\n]*\n"},
      {"a document that is not open", tag("Bx"), 1, "",
       "[^\n]*no open document is named Bx \\(did you mean \"B\"\\?\\); open: A, B\n"},
      {"the sandbox's start and a link that shares nothing", sandboxStart, 404,
       "listening on (http://127\\.0\\.0\\.1:\\d+)\nexport VORELIA_API_URL='\\1/'\n"
       "export VORELIA_WEB_URL='\\1[^'\n]*'\nexport VORELIA_UPDATE_URL='\\1/[^'\n]+/'\n"
       "export VORELIA_QUEUE_URL='\\1/[^'\n]+'\n",
       "text/html[^<]*<!DOCTYPE html>[\\s\\S]*Not found[\\s\\S]*</html>\n"},
      // Ctrl-U drops "xx", Ctrl-A goes back to put the "p" of "page" in front; a "quit" dropped
      // by Ctrl-C never runs, so the login and the publication after it do.
      {"the shell on a terminal",
       [&] {
         return onTerminal(readable({"--document", session.string(), "shell"}),
                           {{"cohost> ",
                             "xx\x15"
                             "age\x01p\r"},
                            {"cohost> ", "quit"},
                            {"quit", "\x03"},
                            {"cohost> ", "set userName-input \"demo@vorelia.test\"\r"},
                            {"cohost> ", "set password-input \"demo-password\"\r"},
                            {"cohost> ", "press login-action\r"},
                            {"cohost> ", "set accounts-action [\"demo-studio\"]\r"},
                            {"cohost> ", "publish voreliaPublishShare {}" + files(2) + "\r"},
                            {"cohost> ", "quit\r"}});
       },
       0,
       "[\\s\\S]*\r\npage: ok\r\n[\\s\\S]*(\r\\[[^\r\n]*\x1b\\[K){2,}\r\npublish: ok\r\n[\\s\\S]*",
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const Seen seen = row.run();
    EXPECT_EQ(seen.code, row.code) << seen.out << "\n---\n" << seen.err;
    EXPECT_TRUE(std::regex_match(seen.out, std::regex(row.out))) << seen.out;
    EXPECT_TRUE(std::regex_match(seen.err, std::regex(row.err))) << seen.err;
  }
}

}  // namespace
}  // namespace vorelia::testing
