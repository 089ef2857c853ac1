// cohost, cohost-osascript and the sandbox as their users are told to expect them on the command
// line, and the shell on a terminal: line editing, Ctrl-C at the prompt, progress drawn in place.
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <regex>

#include "publish/catalogue_scripts.h"
#include "support/child_process.h"
#include "through_the_host.h"

namespace vorelia::testing {
namespace {

// Runs the program of options on a new pseudo-terminal: once the transcript since the last match
// shows a step's text, the step's keys are typed. The transcript is out (both streams).
CohostRun onTerminal(const CohostOptions& options,
                     const std::vector<std::pair<std::string, std::string>>& steps) {
  const std::vector<std::string> environment = cohostEnvironment(options);
  std::vector<char*> argv = {const_cast<char*>(options.program.c_str())}, envp;
  for (const std::string& arg : options.args) argv.push_back(const_cast<char*>(arg.c_str()));
  for (const std::string& entry : environment) envp.push_back(const_cast<char*>(entry.c_str()));
  argv.push_back(nullptr);
  envp.push_back(nullptr);
  winsize size{.ws_row = 40, .ws_col = 200, .ws_xpixel = 0, .ws_ypixel = 0};
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, &size);
  if (pid == 0) {
    execve(argv[0], argv.data(), envp.data());
    _exit(127);
  }
  CohostRun seen;
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
  seen.exitCode = reapChild(pid, std::chrono::seconds(20));
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
  std::ofstream(home.path() / "login.cohost") << logIn("\"wrong\"");
  // cohost in its readable form, in the home folder, against the sandbox.
  const auto readable = [&](const std::vector<std::string>& args) {
    CohostOptions options = pluginRun(sandbox, args);
    options.args.erase(options.args.begin());  // no --json
    return options.inFolder(home.path());
  };
  const auto cohost = [&](std::vector<std::string> args) {
    return [&, args] { return runCohost(readable(args)); };
  };
  // cohost-osascript with documents A and B open, choosing one; out ends with those tagged so far.
  const auto tag = [&](std::string choose) {
    return [&, choose] {
      CohostOptions options({"--document", "A", "--document", "B", "--choose", choose, "tag.scpt"});
      options.program = fs::path(COHOST_PATH).parent_path() / "cohost-osascript";
      CohostRun run = runCohost(options.inFolder(home.path()));
      for (const char* folder : {"A", "B"}) {
        if (fs::exists(home.path() / folder / (photo + ".xmp")))
          run.out += std::string(folder) + "\n";
      }
      return run;
    };
  };
  // The sandbox's first lines; then what a browser gets for a link that shares nothing: its
  // status as the exit code, its type and page as err.
  const auto sandboxStart = [&] {
    CohostOptions options({"--port", "0"});
    options.program = VORELIA_SANDBOX_BINARY;
    std::optional<httplib::Response> page;
    const auto started = [&](const CohostRun& run) {
      if (std::ranges::count(run.out, '\n') < 5) return false;
      auto got = httplib::Client(run.out.substr(13, run.out.find('\n') - 13)).Get("/a/NoSuchCode");
      if (got) page = *got;
      return true;
    };
    CohostRun run = runCohost(options.then(started, "", SIGTERM));
    run.exitCode = page ? page->status : -1;
    run.err = page ? page->get_header_value("Content-Type") + page->body : "";
    return run;
  };
  const struct {
    std::string name;
    std::function<CohostRun()> run;
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
      {"a document that is not open", tag("Bx"), 1, "",
       "[^\n]*no open document is named Bx \\(did you mean \"B\"\\?\\); open: A, B\n"},
      {"the chosen document", tag("b"), 0, "B\n", "[^\n]*complete[^\n]*\n"},
      {"the sandbox's start and a link that shares nothing", sandboxStart, 404,
       "listening on (http://127\\.0\\.0\\.1:\\d+)\nexport VORELIA_API_URL='\\1/'\n"
       "export VORELIA_WEB_URL='\\1[^'\n]*'\nexport VORELIA_UPDATE_URL='\\1/[^'\n]+/'\n"
       "export VORELIA_QUEUE_URL='\\1/[^'\n]+'\n",
       "text/html[^<]*<!DOCTYPE html>[\\s\\S]*Not found[\\s\\S]*</html>\n"},
      // Ctrl-U drops "xx", Ctrl-A goes back to put the "p" of "page" in front; a "quit" dropped
      // by Ctrl-C never runs, so the login and the publication after it do.
      {"the shell on a terminal",
       [&] {
         return onTerminal(
             readable({"--document", session.string(), "shell"}).withVariable("TERM", "vt100"),
             {{"cohost> ", "xx\025age\001p\r"},
              {"cohost> ", "quit"},
              {"quit", "\x03"},
              {"cohost> ", logIn("\"demo-password\"") + "publish voreliaPublishShare {}" +
                               files(2) + "\nquit\n"}});
       },
       0,
       "[\\s\\S]*\r\npage: ok\r\n[\\s\\S]*(\r\\[[^\r\n]*\x1b\\[K){2,}\r\npublish: ok\r\n[\\s\\S]*",
       ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const CohostRun seen = row.run();
    EXPECT_EQ(seen.exitCode, row.code) << seen.out << "\n---\n" << seen.err;
    EXPECT_TRUE(std::regex_match(seen.out, std::regex(row.out))) << seen.out;
    EXPECT_TRUE(std::regex_match(seen.err, std::regex(row.err))) << seen.err;
  }
}

}  // namespace
}  // namespace vorelia::testing
