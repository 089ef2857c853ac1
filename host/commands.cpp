#include "commands.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <limits>
#include <optional>
#include <span>
#include <thread>
#include <utility>

#include <sys/eventfd.h>
#include <unistd.h>

#include "document_images.h"
#include "document_list.h"
#include "help_text.h"
#include "image_export.h"
#include "interrupts.h"
#include "line_reader.h"
#include "platform/dispatch.h"
#include "script_report.h"
#include "settings_elements.h"
#include "suggestion.h"

namespace vorelia::host {

namespace {

constexpr std::size_t Any = std::numeric_limits<std::size_t>::max();

// The domain of the errors cohost itself puts into a result (the plugin's keep their own).
constexpr const char* HostErrorDomain = "cohost";

// A publishing task run on a thread of its own. Shared with that thread, which may outlive an
// interrupted wait: everything it touches lives here.
struct RunningTask {
  RunningTask(std::shared_ptr<COFileHandlingPluginTask> task, ProgressSink sink, std::size_t index)
      : task(std::move(task)), meter(std::move(sink), index) {}
  ~RunningTask() {
    if (done >= 0) close(done);
  }
  std::shared_ptr<COFileHandlingPluginTask> task;
  ProgressMeter meter;
  const int done = eventfd(0, EFD_CLOEXEC);  // readable once the task returned
  // Written by the task's thread before it signals done, read by the waiter after.
  std::optional<COPluginActionPublishResult> outcome;
  COError error;
};

// `set ID -` takes its value from the next line of standard input. When such a line of words (or
// one with a mistyped command) is refused before it read that line, the line is read and dropped
// all the same, so that the value, a password, is never run, and shown, as a command. A terminal
// is left alone: there nothing is typed before the prompt for the value, which a refused line
// never shows.
void dropUnreadInput(std::string_view command, std::string_view last, std::size_t words) {
  if (words >= 2 && last == "-" && (command == "set" || !CommandInterpreter::isCommand(command))) {
    dropInputLine();
  }
}

}  // namespace

struct CommandInterpreter::Call {
  std::string name;
  std::vector<Token> args;
  Json result;
  Status status = Status::ok;
  bool quit = false;
  bool interrupted = false;
  bool inputRead = false;  // `set ID -` read its line of standard input
  COError error;

  void usage(const std::string& message) {
    if (status != Status::usage) result["usage"] = message;
    status = Status::usage;
  }
  // The operation failed; the plugin (or hostError) filled error.
  void fail() { status = worse(status, Status::failed); }
  void hostError(const std::string& description) {
    error = COError{HostErrorDomain, 1, description, ""};
    fail();
  }
  bool ok() const { return status == Status::ok; }
  // Whether the user can choose value in the element identifier of groups; otherwise a usage
  // error. REQUIRES: the groups hold the element.
  bool canChoose(const std::vector<COSettingsElementsGroup>& groups, const std::string& identifier,
                 const COValue& value) {
    const std::string problem = choiceProblem(*findElement(groups, identifier), value);
    if (!problem.empty()) usage(problem);
    return problem.empty();
  }
  // Whether the groups hold an element with identifier; otherwise a usage error naming the ones
  // they hold.
  bool holds(const std::vector<COSettingsElementsGroup>& groups, const std::string& identifier,
             const char* where) {
    if (findElement(groups, identifier) != nullptr) return true;
    const std::vector<std::string> held = identifiersOf(groups);
    usage("no element \"" + identifier + "\" on " + where + didYouMean(identifier, held) +
          "; it holds: " + listOf(held));
    return false;
  }

  // Argument i as a plain string, or a usage error naming what it should be.
  std::optional<std::string> string(std::size_t i, const char* what) {
    std::optional<std::string> text = args[i].string();
    if (!text) usage(std::string(what) + " is not a valid JSON string");
    return text;
  }
  // The arguments from i on as the files of a task, or nothing after a usage error.
  std::optional<std::vector<std::string>> files(std::size_t i) {
    std::vector<std::string> paths;
    for (; i < args.size(); ++i) {
      std::optional<std::string> file = string(i, "FILE");
      if (!file) return std::nullopt;
      paths.push_back(std::move(*file));
    }
    return paths;
  }
  // Argument i as a value: a JSON string, number, Boolean or array of strings.
  std::optional<COValue> value(std::size_t i) {
    std::optional<COValue> parsed = valueFromJson(Json::parse(args[i].text, nullptr, false));
    if (!parsed) usage("VALUE must be a JSON string, number, Boolean or array of strings");
    return parsed;
  }
  // A callback that records each call; the record becomes the "callbacks" member. The record is
  // shared with the callback, so a plugin that kept the callback past the call cannot reach into
  // a finished command.
  COSettingsCallback recorder() {
    callbacks = std::make_shared<Json>(Json::array());
    return
        [record = callbacks](COSettingsCallbackAction action, const std::optional<COValue>& value) {
          Json entry = {{"action", static_cast<int>(action)}};
          if (value) entry["value"] = toJson(*value);
          record->push_back(std::move(entry));
        };
  }
  std::shared_ptr<Json> callbacks;  // set by recorder()
};

struct CommandInterpreter::Command {
  std::string_view name;
  std::string_view usage;
  std::size_t minArgs;
  std::size_t maxArgs;
  void (CommandInterpreter::*run)(Call&);
};

std::span<const CommandInterpreter::Command> CommandInterpreter::commands() {
  using C = CommandInterpreter;
  static const Command table[] = {
      {"page", "page", 0, 0, &C::page},
      {"set", "set ID VALUE", 2, 2, &C::set},
      {"press", "press ID", 1, 1, &C::press},
      {"actions", "actions N", 1, 1, &C::actions},
      {"action-page", "action-page ACTION [SETTINGS]", 1, 2, &C::actionPage},
      {"action-set", "action-set ACTION ID VALUE [SETTINGS]", 3, 4, &C::actionSet},
      {"processing", "processing ACTION", 1, 1, &C::processing},
      {"visibility", "visibility ACTION", 1, 1, &C::visibility},
      {"tasks", "tasks ACTION FILE...", 2, Any, &C::tasks},
      {"validate", "validate ACTION [SETTINGS]", 1, 2, &C::validate},
      {"publish", "publish ACTION SETTINGS FILE...", 3, Any, &C::publish},
      {"wait", "wait", 0, 0, &C::wait},
      {"bundle", "bundle", 0, 0, &C::bundle},
      {"open", "open DIR", 1, 1, &C::open},
      {"help", "help", 0, 0, &C::help},
      {"quit", "quit", 0, 0, &C::quit},
  };
  return table;
}

const CommandInterpreter::Command* CommandInterpreter::find(std::string_view name) {
  const auto table = commands();
  const auto it = std::find_if(table.begin(), table.end(),
                               [&](const Command& command) { return command.name == name; });
  return it == table.end() ? nullptr : &*it;
}

Status worse(Status a, Status b) { return static_cast<int>(a) >= static_cast<int>(b) ? a : b; }

bool CommandInterpreter::isCommand(std::string_view name) { return find(name) != nullptr; }

std::string CommandInterpreter::unknownCommand(const std::string& name) {
  std::vector<std::string> names = {"run", "shell"};  // the modes, mistyped on a command line
  for (const Command& command : commands()) names.emplace_back(command.name);
  return "unknown command \"" + name + "\"" + didYouMean(name, names) + "; help lists them";
}

CommandInterpreter::CommandInterpreter(COPluginBase& plugin, HostContext context)
    : plugin_(plugin),
      bundle_(std::move(context.bundle)),
      documents_(std::move(context.documents)),
      progress_(std::move(context.progress)),
      liveProgress_(context.liveProgress) {}

CommandOutcome CommandInterpreter::execute(std::string_view line) {
  TokenizeResult split = tokenize(line);
  if (!split.error.empty() || split.tokens.empty()) {
    const std::string_view text = line.substr(0, line.find_last_not_of(" \t\r") + 1);
    const std::size_t lastWord = text.find_last_of(" \t") + 1;  // 0: a single word
    if (!split.tokens.empty() && lastWord > 0) {
      dropUnreadInput(split.tokens.front().text, text.substr(lastWord), 2);
    }
    Json result = {{"command", split.tokens.empty() ? "" : split.tokens.front().text},
                   {"ok", false},
                   {"usage", split.error.empty() ? "no command" : split.error},
                   {"error", nullptr}};
    return CommandOutcome{std::move(result), Status::usage, false};
  }
  return execute(split.tokens);
}

CommandOutcome CommandInterpreter::execute(const std::vector<Token>& tokens) {
  Call call;
  call.name = tokens.front().text;
  call.args.assign(tokens.begin() + 1, tokens.end());
  call.result = {{"command", call.name}, {"ok", true}};
  const Command* command = find(call.name);
  if (command == nullptr) {
    call.usage(unknownCommand(call.name));
  } else if (call.args.size() < command->minArgs || call.args.size() > command->maxArgs) {
    call.usage("usage: " + std::string(command->usage));
  } else {
    try {
      (this->*command->run)(call);
    } catch (const std::exception& e) {
      call.hostError(std::string("the command ended with an exception: ") + e.what());
    } catch (...) {
      call.hostError("the command ended with an exception");
    }
  }
  for (const std::string& failure : takeScriptReports()) {
    if (!isSet(call.error)) call.error = {HostErrorDomain, 3, "a catalogue script failed", failure};
    call.fail();
  }
  if (!call.inputRead && !call.ok()) {
    dropUnreadInput(call.name, tokens.back().text, tokens.size());
  }
  if (call.status == Status::usage) {
    Json result = {
        {"command", call.name}, {"ok", false}, {"usage", call.result["usage"]}, {"error", nullptr}};
    return CommandOutcome{std::move(result), Status::usage, false};
  }
  if (call.callbacks) call.result["callbacks"] = *call.callbacks;
  call.result["ok"] = call.ok();
  call.result["error"] = call.ok() && !isSet(call.error) ? Json(nullptr) : toJson(call.error);
  return CommandOutcome{std::move(call.result), call.status, call.quit, call.interrupted};
}

COSettings* CommandInterpreter::settingsOf(Call& call) {
  COSettings* settings = plugin_.asSettings();
  if (settings == nullptr) call.hostError("the plugin has no preference page");
  return settings;
}

COPublishingPlugin* CommandInterpreter::publishingOf(Call& call) {
  COPublishingPlugin* publishing = plugin_.asPublishingPlugin();
  if (publishing == nullptr) call.hostError("the plugin does not publish");
  return publishing;
}

std::shared_ptr<const COPluginAction> CommandInterpreter::resolveAction(
    Call& call, COPublishingPlugin& publishing, const std::string& identifier) {
  const auto find = [&]() -> std::shared_ptr<const COPluginAction> {
    for (const auto& action : offeredActions_) {
      if (action && action->identifier == identifier) return action;
    }
    return nullptr;
  };
  // The plugin offers other actions once the user logged in: a list from before is asked again.
  if (offered_) {
    if (auto action = find()) return action;
  }
  COError ignored;  // no actions: the usage error below names none
  offeredActions_ = publishing.publishingActionsFileCount(1, &ignored);
  offered_ = true;
  if (auto action = find()) return action;
  std::vector<std::string> offered;
  for (const auto& action : offeredActions_) {
    if (action) offered.push_back(action->identifier);
  }
  call.usage("no action \"" + identifier + "\" is offered" + didYouMean(identifier, offered) +
             "; offered: " + listOf(offered));
  return nullptr;
}

const COActionSettingsDictionary* CommandInterpreter::actionSettings(Call& call, std::size_t index,
                                                                     const std::string& action) {
  COActionSettingsDictionary& kept = keptSettings_[action];
  if (index < call.args.size()) {
    std::string problem;
    std::optional<COActionSettingsDictionary> given =
        settingsFromJson(Json::parse(call.args[index].text, nullptr, false), &problem);
    if (!given) {
      call.usage(problem);
      return nullptr;
    }
    kept = std::move(*given);
  }
  return &kept;
}

void CommandInterpreter::page(Call& call) {
  COSettings* settings = settingsOf(call);
  if (settings == nullptr) return;
  const std::vector<COSettingsElementsGroup> groups = settings->settings(&call.error);
  call.result["groups"] = toJson(groups);
  if (groups.empty() && isSet(call.error)) call.fail();
}

void CommandInterpreter::set(Call& call) {
  const std::optional<std::string> identifier = call.string(0, "ID");
  // "-" reads the value from standard input, unechoed on a terminal: a password typed there
  // never shows on the screen, in a script or in the shell's history.
  const bool fromInput = call.args[1].text == "-";
  std::optional<COValue> value = fromInput ? std::optional<COValue>(COValue()) : call.value(1);
  if (!identifier || !value) return;
  COSettings* settings = settingsOf(call);
  if (settings == nullptr) return;
  const std::vector<COSettingsElementsGroup> page = settings->settings(nullptr);
  if (!call.holds(page, *identifier, "the page")) return;
  if (fromInput) {
    const std::optional<std::string> line = readSecretLine(*identifier + ": ");
    call.inputRead = true;
    if (!line) return call.usage("standard input ended before a value for " + *identifier);
    value = *line;
  }
  if (!call.canChoose(page, *identifier, *value)) return;
  const auto* text = std::get_if<COSettingsTextItem>(findElement(page, *identifier));
  call.result["identifier"] = *identifier;
  // What is typed into a secure field is never shown back.
  call.result["value"] = text != nullptr && text->secure ? Json("(hidden)") : toJson(*value);
  COSettingsCallback callback = call.recorder();
  if (!settings->didUpdateValue(*value, *identifier, callback, &call.error)) call.fail();
}

void CommandInterpreter::press(Call& call) {
  const std::optional<std::string> identifier = call.string(0, "ID");
  if (!identifier) return;
  COSettings* settings = settingsOf(call);
  if (settings == nullptr) return;
  if (!call.holds(settings->settings(nullptr), *identifier, "the page")) return;
  call.result["identifier"] = *identifier;
  COSettingsCallback callback = call.recorder();
  if (!settings->handle(COSettingsEvent::clicked, COSettingsItem{*identifier}, callback,
                        &call.error)) {
    call.fail();
  }
}

void CommandInterpreter::actions(Call& call) {
  const std::string& text = call.args[0].text;
  std::uint64_t count = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), count);
  if (ec != std::errc() || end != text.data() + text.size()) {
    call.usage("N must be a whole number of files");
    return;
  }
  COPublishingPlugin* publishing = publishingOf(call);
  if (publishing == nullptr) return;
  offeredActions_ = publishing->publishingActionsFileCount(count, &call.error);
  offered_ = true;
  call.result["fileCount"] = count;
  Json list = Json::array();
  for (const auto& action : offeredActions_) list.push_back(action ? toJson(*action) : Json());
  call.result["actions"] = std::move(list);
  if (offeredActions_.empty() && isSet(call.error)) call.fail();
}

void CommandInterpreter::actionPage(Call& call) {
  const std::optional<std::string> identifier = call.string(0, "ACTION");
  if (!identifier) return;
  const COActionSettingsDictionary* settings = actionSettings(call, 1, *identifier);
  if (settings == nullptr) return;
  COPublishingPlugin* publishing = publishingOf(call);
  if (publishing == nullptr) return;
  const auto action = resolveAction(call, *publishing, *identifier);
  if (!action) return;
  call.result["action"] = *identifier;
  call.result["settings"] = toJson(*settings);
  const auto groups = publishing->settings(*action, *settings, &call.error);
  call.result["groups"] = toJson(groups);
  if (groups.empty() && isSet(call.error)) call.fail();
}

void CommandInterpreter::actionSet(Call& call) {
  const std::optional<std::string> identifier = call.string(0, "ACTION");
  const std::optional<std::string> element = call.string(1, "ID");
  const std::optional<COValue> value = call.value(2);
  if (!identifier || !element || !value) return;
  const COActionSettingsDictionary* settings = actionSettings(call, 3, *identifier);
  if (settings == nullptr) return;
  COPublishingPlugin* publishing = publishingOf(call);
  if (publishing == nullptr) return;
  const auto action = resolveAction(call, *publishing, *identifier);
  if (!action) return;
  const auto panel = publishing->settings(*action, *settings, nullptr);
  if (!call.holds(panel, *element, "the action's panel") ||
      !call.canChoose(panel, *element, *value)) {
    return;
  }
  call.result["action"] = *identifier;
  call.result["identifier"] = *element;
  call.result["value"] = toJson(*value);
  COActionSettingsCallbackAction callbackAction = COActionSettingsCallbackAction::none;
  const bool updated = publishing->didUpdateValue(*value, *element, *action, *settings,
                                                  &callbackAction, &call.error);
  // The host keeps what the user chose once the plugin accepted it.
  if (updated) keptSettings_[*identifier][*element] = *value;
  call.result["callbackAction"] = static_cast<int>(callbackAction);
  call.result["rebuild"] = callbackAction == COActionSettingsCallbackAction::reloadSettings;
  call.result["settings"] = toJson(keptSettings_[*identifier]);
  if (!updated) call.fail();
}

void CommandInterpreter::processing(Call& call) {
  const std::optional<std::string> identifier = call.string(0, "ACTION");
  if (!identifier) return;
  COPublishingPlugin* publishing = publishingOf(call);
  if (publishing == nullptr) return;
  const auto action = resolveAction(call, *publishing, *identifier);
  if (!action) return;
  call.result["action"] = *identifier;
  const std::optional<COProcessSettings> settings =
      publishing->processingSettings(*action, &call.error);
  call.result["settings"] = settings ? toJson(*settings) : Json(nullptr);
  if (!settings) call.fail();
}

void CommandInterpreter::visibility(Call& call) {
  const std::optional<std::string> identifier = call.string(0, "ACTION");
  if (!identifier) return;
  COPublishingPlugin* publishing = publishingOf(call);
  if (publishing == nullptr) return;
  const auto action = resolveAction(call, *publishing, *identifier);
  if (!action) return;
  const COProcessingSettingsVisibilityOptions options =
      publishing->processingSettingsVisibility(*action);
  char hex[2 + 16 + 1];
  std::snprintf(hex, sizeof hex, "0x%016llx", static_cast<unsigned long long>(options));
  call.result["action"] = *identifier;
  call.result["value"] = options;
  call.result["hex"] = hex;
  call.result["bits"] = std::popcount(options);
}

void CommandInterpreter::tasks(Call& call) {
  const std::optional<std::string> identifier = call.string(0, "ACTION");
  if (!identifier) return;
  const std::optional<std::vector<std::string>> files = call.files(1);
  if (!files) return;
  COPublishingPlugin* publishing = publishingOf(call);
  if (publishing == nullptr) return;
  const auto action = resolveAction(call, *publishing, *identifier);
  if (!action) return;
  call.result["action"] = *identifier;
  call.result["files"] = *files;
  const auto tasks = publishing->tasks(action, *files, &call.error);
  Json list = Json::array();
  for (const auto& task : tasks) list.push_back(task ? toJson(*task) : Json());
  call.result["tasks"] = std::move(list);
  if (tasks.empty() && isSet(call.error)) call.fail();
}

void CommandInterpreter::validate(Call& call) {
  const std::optional<std::string> identifier = call.string(0, "ACTION");
  if (!identifier) return;
  const COActionSettingsDictionary* settings = actionSettings(call, 1, *identifier);
  if (settings == nullptr) return;
  COPublishingPlugin* publishing = publishingOf(call);
  if (publishing == nullptr) return;
  const auto action = resolveAction(call, *publishing, *identifier);
  if (!action) return;
  call.result["action"] = *identifier;
  call.result["settings"] = toJson(*settings);
  const bool valid = publishing->validate(*settings, *action, &call.error);
  call.result["valid"] = valid;
  if (!valid) call.fail();
}

// Exports the files as the action's processing settings ask, asks for the tasks over the exported
// copies and runs each to its end, as the host's Publish menu does. The copies go away afterwards,
// also when SIGINT or SIGTERM stops the publication.
void CommandInterpreter::publish(Call& call) {
  const std::optional<std::string> identifier = call.string(0, "ACTION");
  if (!identifier) return;
  const std::optional<std::vector<std::string>> files = call.files(2);
  if (!files) return;
  const COActionSettingsDictionary* settings = actionSettings(call, 1, *identifier);
  if (settings == nullptr) return;
  COPublishingPlugin* publishing = publishingOf(call);
  if (publishing == nullptr) return;
  const auto action = resolveAction(call, *publishing, *identifier);
  if (!action) return;
  call.result["action"] = *identifier;
  call.result["files"] = *files;
  const PublishedDocuments from = documentsToPublishFrom(documents_, *files);
  if (!from.refusal.empty()) return call.usage(from.refusal);
  if (from.documents != documents_) {  // none was open
    documents_ = from.documents;
    exportDocumentList(documents_);
    call.result["opened"] = documents_;
  }
  InterruptScope catching;

  const std::optional<COProcessSettings> processing =
      publishing->processingSettings(*action, &call.error);
  if (!processing) {
    call.fail();
    return;
  }
  const std::variant<ExportRecipe, std::string> recipe = recipeFor(*processing);
  if (const auto* problem = std::get_if<std::string>(&recipe)) {
    call.hostError(*problem);
    return;
  }
  std::string problem;
  std::optional<ExportFolder> folder = ExportFolder::create(&problem);
  if (folder && progress_) progress_({{"exporting", files->size()}});
  const auto exported = folder
                            ? exportImages(*files, std::get<ExportRecipe>(recipe), folder->path(),
                                           &problem, [] { return interrupted(); })
                            : std::nullopt;
  if (interrupted()) {
    call.interrupted = true;
    return;
  }
  if (!exported) {
    call.hostError(problem);
    return;
  }
  std::vector<std::string> exportedFiles;
  for (const ExportedImage& image : *exported) exportedFiles.push_back(image.exported.string());

  const auto tasks = publishing->tasks(action, exportedFiles, &call.error);
  if (tasks.empty() && isSet(call.error)) {
    call.fail();
    return;
  }
  Json results = Json::array();
  for (std::size_t i = 0; i < tasks.size(); ++i) {
    if (!tasks[i]) continue;
    tasks[i]->settings = *settings;
    COError error;
    const std::optional<COPluginActionPublishResult> outcome =
        runTask(call, *publishing, tasks[i], i, &error);
    if (call.interrupted) return;
    Json entry = {{"task", i}};
    if (outcome) {
      entry["url"] = outcome->url ? Json(*outcome->url) : Json(nullptr);
      entry["message"] = outcome->message;
      // An error beside a result: the task ran but lost files (the message names them).
      if (isSet(error)) {
        entry["error"] = toJson(error);
        if (!isSet(call.error)) call.error = error;
        call.fail();
      }
      // A publication is for its link: without one it did not happen, whatever the message says.
      if (!outcome->url && !isSet(call.error)) {
        call.error = COError{HostErrorDomain, 2, "the publication made no link", ""};
      }
      if (!outcome->url) call.fail();
    } else {
      entry["error"] = toJson(error);
      if (!isSet(call.error)) call.error = error;
      call.fail();
    }
    results.push_back(std::move(entry));
  }
  call.result["results"] = std::move(results);
}

std::optional<COPluginActionPublishResult> CommandInterpreter::runTask(
    Call& call, COPublishingPlugin& publishing, std::shared_ptr<COFileHandlingPluginTask> task,
    std::size_t index, COError* error) {
  auto running = std::make_shared<RunningTask>(std::move(task), progress_, index);
  if (running->done < 0) {
    *error = COError{HostErrorDomain, 1, "cannot wait for the task (eventfd failed)", ""};
    return std::nullopt;
  }
  std::thread worker([running, &publishing] {
    try {
      running->outcome =
          publishing.startPublishingTask(*running->task, running->meter.block(), &running->error);
    } catch (const std::exception& e) {
      running->error = COError{HostErrorDomain, 1,
                               std::string("the task ended with an exception: ") + e.what(), ""};
    } catch (...) {
      running->error = COError{HostErrorDomain, 1, "the task ended with an exception", ""};
    }
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = write(running->done, &one, sizeof one);
  });
  while (!waitReadable(running->done, liveProgress_ ? 1000 : -1)) {
    if (interrupted()) {
      // The plugin's task cannot be stopped from outside; it ends with the process.
      worker.detach();
      call.interrupted = true;
      return std::nullopt;
    }
    running->meter.refresh();
  }
  worker.join();
  *error = running->error;
  return running->outcome;
}

void CommandInterpreter::wait(Call& call) {
  call.result["ran"] = platform::MainQueue::shared().drain();
}

void CommandInterpreter::bundle(Call& call) {
  for (const auto& [name, value] : bundle_.items()) call.result[name] = value;
}

void CommandInterpreter::open(Call& call) {
  const std::optional<std::string> dir = call.string(0, "DIR");
  if (!dir) return;
  std::string error;
  const std::optional<std::string> folder = documentFolder(*dir, &error);
  if (!folder) {
    call.hostError(error);
    return;
  }
  // Opening a document that is open already only brings it forward.
  if (std::find(documents_.begin(), documents_.end(), *folder) == documents_.end()) {
    documents_.push_back(*folder);
    exportDocumentList(documents_);
  }
  call.result["document"] = *folder;
  call.result["name"] = std::filesystem::path(*folder).filename().string();
  call.result["documents"] = documents_;
}

void CommandInterpreter::help(Call& call) { call.result["text"] = helpText(); }

void CommandInterpreter::quit(Call& call) { call.quit = true; }

}  // namespace vorelia::host
