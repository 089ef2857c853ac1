// The command interpreter: one host operation per command, run against the one plugin instance of
// this run. Each command gives one result object (see sdk_json.h for the shapes of its members):
//   {"command": NAME, "ok": true|false, ...members of the command..., "error": null|{...}}
// and, for a usage error, "usage": "what is wrong" instead of the command's members. Call from the
// host's main thread only.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "progress.h"
#include "sdk/co_plugin_base.h"
#include "sdk_json.h"
#include "tokenizer.h"

namespace vorelia::host {

// How a command ended, in increasing severity; also the process's exit code.
enum class Status : int { ok = 0, failed = 1, usage = 2 };

// The more severe of two.
Status worse(Status a, Status b);

struct CommandOutcome {
  Json result;
  Status status = Status::ok;
  bool quit = false;         // the command asks the shell or the script to stop
  bool interrupted = false;  // SIGINT or SIGTERM stopped the command; cohost ends at once
};

// What the host hands the interpreter besides the plugin.
struct HostContext {
  Json bundle = Json::object();        // describes the loaded bundle, for `bundle`
  std::vector<std::string> documents;  // open documents (absolute paths), already in the
                                       // environment (document_list.h)
  ProgressSink progress;               // shows the progress of running tasks
  bool liveProgress = false;           // progress is redrawn in place: refresh it once a second
};

struct CommandCall;  // one command being run (command_call.h)

class CommandInterpreter {
 public:
  // REQUIRES: plugin outlives the interpreter.
  explicit CommandInterpreter(COPluginBase& plugin, HostContext context = {});

  // Whether name is one of the commands.
  static bool isCommand(std::string_view name);
  // The usage error for a name that is no command, with the nearest command when it is close.
  static std::string unknownCommand(const std::string& name);

  // Runs the command tokens[0] with the remaining tokens as its arguments. Never throws: an
  // exception out of the plugin becomes a failed result. REQUIRES: !tokens.empty().
  CommandOutcome execute(const std::vector<Token>& tokens);
  // Splits line into tokens first; a line that does not split is a usage error.
  // REQUIRES: line holds a command (not blank, not a comment).
  CommandOutcome execute(std::string_view line);

 private:
  struct Command;  // a command's name, usage line, number of arguments and handler
  using Call = CommandCall;

  // The preference page as the plugin draws it now.
  struct Page {
    COSettings& settings;
    std::vector<COSettingsElementsGroup> groups;
  };
  // The action an action command names, as the plugin offered it.
  struct Target {
    COPublishingPlugin& publishing;
    std::shared_ptr<const COPluginAction> action;
    const COActionSettingsDictionary* settings;  // null unless the command takes SETTINGS
  };

  static std::span<const Command> commands();
  static const Command* find(std::string_view name);

  void page(Call& call);
  void set(Call& call);
  void press(Call& call);
  void actions(Call& call);
  void actionPage(Call& call);
  void actionSet(Call& call);
  void processing(Call& call);
  void visibility(Call& call);
  void tasks(Call& call);
  void validate(Call& call);
  void publish(Call& call);
  void wait(Call& call);
  void bundle(Call& call);
  void open(Call& call);
  void help(Call& call);
  void quit(Call& call);

  COSettings* settingsOf(Call& call);
  COPublishingPlugin* publishingOf(Call& call);
  // The page when it holds the element identifier, which goes into the result; nullopt after a
  // usage error naming the elements it holds, or when the plugin has no page.
  std::optional<Page> pageHolding(Call& call, const std::string& identifier);
  // The action call.action names, with the settings at argument settingsAt when there is one (see
  // actionSettings), and puts its identifier into the result. Asks the plugin for its actions
  // (for one file) when the action is not among those it offered last. nullopt after a usage
  // error (an action never offered names the offered ones) or when the plugin does not publish.
  std::optional<Target> target(Call& call, std::optional<std::size_t> settingsAt = std::nullopt);
  // Runs one task on a thread of its own and waits for it, or for SIGINT/SIGTERM (then returns
  // nullopt with call.interrupted set, the thread left to end with the process).
  std::optional<COPluginActionPublishResult> runTask(Call& call, COPublishingPlugin& publishing,
                                                     std::shared_ptr<COFileHandlingPluginTask> task,
                                                     std::size_t index, COError* error);
  // The settings argument at index when given (it then replaces the kept settings of the action),
  // else the kept settings. Marks a usage error and returns nullptr when it does not parse.
  const COActionSettingsDictionary* actionSettings(Call& call, std::size_t index,
                                                   const std::string& action);

  COPluginBase& plugin_;
  bool offered_ = false;  // whether publishingActionsFileCount has been called
  std::vector<std::shared_ptr<const COPluginAction>> offeredActions_;
  std::map<std::string, COActionSettingsDictionary> keptSettings_;  // by action identifier
  const Json bundle_;
  std::vector<std::string> documents_;  // the open documents, in the order they were opened
  const ProgressSink progress_;
  const bool liveProgress_;
};

}  // namespace vorelia::host
