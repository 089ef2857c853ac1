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
#include <utility>

#include "command_call.h"
#include "document_list.h"
#include "help_text.h"
#include "line_reader.h"
#include "platform/dispatch.h"
#include "script_report.h"
#include "settings_elements.h"
#include "suggestion.h"

namespace vorelia::host {

namespace {

constexpr std::size_t Any = std::numeric_limits<std::size_t>::max();

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

struct CommandInterpreter::Command {
  std::string_view name;
  std::string_view usage;
  std::size_t minArgs;
  std::size_t maxArgs;
  void (CommandInterpreter::*run)(Call&);

  // Whether the first argument names an action: execute() reads it before the handler runs.
  bool namesAction() const { return usage.substr(name.size()).starts_with(" ACTION"); }
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
    if (command->namesAction()) call.action = call.string(0, "ACTION").value_or("");
    try {
      if (call.ok()) (this->*command->run)(call);
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

std::optional<CommandInterpreter::Page> CommandInterpreter::pageHolding(
    Call& call, const std::string& identifier) {
  COSettings* settings = settingsOf(call);
  if (settings == nullptr) return std::nullopt;
  Page page{*settings, settings->settings(nullptr)};
  if (!call.holds(page.groups, identifier, "the page")) return std::nullopt;
  call.result["identifier"] = identifier;
  return page;
}

std::optional<CommandInterpreter::Target> CommandInterpreter::target(
    Call& call, std::optional<std::size_t> settingsAt) {
  const COActionSettingsDictionary* settings = nullptr;
  if (settingsAt && (settings = actionSettings(call, *settingsAt, call.action)) == nullptr) {
    return std::nullopt;
  }
  COPublishingPlugin* publishing = publishingOf(call);
  if (publishing == nullptr) return std::nullopt;
  const auto find = [&]() -> std::shared_ptr<const COPluginAction> {
    for (const auto& action : offeredActions_) {
      if (action && action->identifier == call.action) return action;
    }
    return nullptr;
  };
  // The plugin offers other actions once the user logged in: a list from before is asked again.
  std::shared_ptr<const COPluginAction> action = offered_ ? find() : nullptr;
  if (!action) {
    COError ignored;  // no actions: the usage error below names none
    offeredActions_ = publishing->publishingActionsFileCount(1, &ignored);
    offered_ = true;
    action = find();
  }
  if (!action) {
    std::vector<std::string> offered;
    for (const auto& each : offeredActions_) {
      if (each) offered.push_back(each->identifier);
    }
    call.usage("no action \"" + call.action + "\" is offered" + didYouMean(call.action, offered) +
               "; offered: " + listOf(offered));
    return std::nullopt;
  }
  call.result["action"] = call.action;
  return Target{*publishing, std::move(action), settings};
}

const COActionSettingsDictionary* CommandInterpreter::actionSettings(Call& call, std::size_t index,
                                                                     const std::string& action) {
  COActionSettingsDictionary& kept = keptSettings_[action];
  if (index < call.args.size()) {
    Result<COActionSettingsDictionary> given =
        settingsFromJson(Json::parse(call.args[index].text, nullptr, false));
    if (!given) {
      call.usage(given.error());
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
  const std::optional<Page> page =
      identifier && value ? pageHolding(call, *identifier) : std::nullopt;
  if (!page) return;
  if (fromInput) {
    const std::optional<std::string> line = readSecretLine(*identifier + ": ");
    call.inputRead = true;
    if (!line) return call.usage("standard input ended before a value for " + *identifier);
    value = *line;
  }
  if (!call.canChoose(page->groups, *identifier, *value)) return;
  const auto* text = std::get_if<COSettingsTextItem>(findElement(page->groups, *identifier));
  // What is typed into a secure field is never shown back.
  call.result["value"] = text != nullptr && text->secure ? Json("(hidden)") : toJson(*value);
  COSettingsCallback callback = call.recorder();
  if (!page->settings.didUpdateValue(*value, *identifier, callback, &call.error)) call.fail();
}

void CommandInterpreter::press(Call& call) {
  const std::optional<std::string> identifier = call.string(0, "ID");
  const std::optional<Page> page = identifier ? pageHolding(call, *identifier) : std::nullopt;
  if (!page) return;
  COSettingsCallback callback = call.recorder();
  if (!page->settings.handle(COSettingsEvent::clicked, COSettingsItem{*identifier}, callback,
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
  const std::optional<Target> target = this->target(call, 1);
  if (!target) return;
  call.result["settings"] = toJson(*target->settings);
  const auto groups = target->publishing.settings(*target->action, *target->settings, &call.error);
  call.result["groups"] = toJson(groups);
  if (groups.empty() && isSet(call.error)) call.fail();
}

void CommandInterpreter::actionSet(Call& call) {
  const std::optional<std::string> element = call.string(1, "ID");
  const std::optional<COValue> value = call.value(2);
  const std::optional<Target> target = element && value ? this->target(call, 3) : std::nullopt;
  if (!target) return;
  const auto panel = target->publishing.settings(*target->action, *target->settings, nullptr);
  if (!call.holds(panel, *element, "the action's panel") ||
      !call.canChoose(panel, *element, *value)) {
    return;
  }
  call.result["identifier"] = *element;
  call.result["value"] = toJson(*value);
  COActionSettingsCallbackAction callbackAction = COActionSettingsCallbackAction::none;
  const bool updated = target->publishing.didUpdateValue(
      *value, *element, *target->action, *target->settings, &callbackAction, &call.error);
  // The host keeps what the user chose once the plugin accepted it.
  if (updated) keptSettings_[call.action][*element] = *value;
  call.result["callbackAction"] = static_cast<int>(callbackAction);
  call.result["rebuild"] = callbackAction == COActionSettingsCallbackAction::reloadSettings;
  call.result["settings"] = toJson(keptSettings_[call.action]);
  if (!updated) call.fail();
}

void CommandInterpreter::processing(Call& call) {
  const std::optional<Target> target = this->target(call);
  if (!target) return;
  const std::optional<COProcessSettings> settings =
      target->publishing.processingSettings(*target->action, &call.error);
  call.result["settings"] = settings ? toJson(*settings) : Json(nullptr);
  if (!settings) call.fail();
}

void CommandInterpreter::visibility(Call& call) {
  const std::optional<Target> target = this->target(call);
  if (!target) return;
  const COProcessingSettingsVisibilityOptions options =
      target->publishing.processingSettingsVisibility(*target->action);
  char hex[2 + 16 + 1];
  std::snprintf(hex, sizeof hex, "0x%016llx", static_cast<unsigned long long>(options));
  call.result["value"] = options;
  call.result["hex"] = hex;
  call.result["bits"] = std::popcount(options);
}

void CommandInterpreter::tasks(Call& call) {
  const std::optional<std::vector<std::string>> files = call.files(1);
  const std::optional<Target> target = files ? this->target(call) : std::nullopt;
  if (!target) return;
  call.result["files"] = *files;
  const auto tasks = target->publishing.tasks(target->action, *files, &call.error);
  Json list = Json::array();
  for (const auto& task : tasks) list.push_back(task ? toJson(*task) : Json());
  call.result["tasks"] = std::move(list);
  if (tasks.empty() && isSet(call.error)) call.fail();
}

void CommandInterpreter::validate(Call& call) {
  const std::optional<Target> target = this->target(call, 1);
  if (!target) return;
  call.result["settings"] = toJson(*target->settings);
  const bool valid = target->publishing.validate(*target->settings, *target->action, &call.error);
  call.result["valid"] = valid;
  if (!valid) call.fail();
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
  const Result<std::string> folder = documentFolder(*dir);
  if (!folder) return call.hostError(folder.error());
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
