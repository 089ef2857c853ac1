#include "output.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "commands.h"
#include "progress.h"

namespace vorelia::host {

namespace {

// A JSON value as a person reads it: strings without quotes, the rest as compact JSON.
std::string plain(const Json& value) {
  return value.is_string() ? value.get<std::string>() : value.dump();
}

std::string quoted(const Json& value) { return value.is_null() ? "(none)" : value.dump(); }

void printOptions(std::ostream& out, const Json& options) {
  for (const Json& option : options) {
    if (option.value("separator", false)) {
      out << "        ----\n";
      continue;
    }
    out << "        option " << quoted(option["value"]) << " " << quoted(option["title"]);
    if (option.contains("imagePath")) out << " image " << plain(option["imagePath"]);
    out << "\n";
  }
}

void printGroups(std::ostream& out, const Json& groups) {
  if (groups.empty()) out << "  (no groups)\n";
  for (const Json& group : groups) {
    out << "  group " << quoted(group["title"]) << "\n";
    for (const Json& element : group["elements"]) {
      const std::string kind = element.value("kind", "?");
      out << "    " << kind;
      if (kind == "label") {
        out << " " << quoted(element["value"]) << "\n";
        continue;
      }
      out << " " << plain(element["identifier"]) << " " << quoted(element["title"]);
      if (element.contains("value")) out << " = " << quoted(element["value"]);
      if (element.value("secure", false)) out << " [secure]";
      if (element.value("allowsFiltering", false)) out << " [filtering]";
      out << "\n";
      if (element.contains("options")) printOptions(out, element["options"]);
    }
  }
}

void printActions(std::ostream& out, const Json& actions) {
  if (actions.empty()) out << "  (no actions)\n";
  for (const Json& action : actions) {
    out << "  action " << plain(action["identifier"]) << " " << quoted(action["displayName"]);
    const Json& image = action["image"];
    if (image.is_null()) {
      out << ", no image\n";
    } else {
      out << ", image " << plain(image["path"]) << " (" << image["bytes"].dump() << " bytes)\n";
    }
  }
}

std::string_view callbackName(int action) {
  return action == 0 ? "none" : action == 1 ? "reload settings" : "unknown";
}

void printCallbacks(std::ostream& out, const Json& callbacks) {
  if (callbacks.empty()) out << "  callback: not called\n";
  for (const Json& callback : callbacks) {
    const int action = callback["action"].get<int>();
    out << "  callback: called with action " << action << " (" << callbackName(action) << ")";
    if (callback.contains("value")) out << ", value " << callback["value"].dump();
    out << "\n";
  }
}

void printTasks(std::ostream& out, const Json& tasks) {
  if (tasks.empty()) out << "  (no tasks)\n";
  for (const Json& task : tasks) {
    out << "  task for " << quoted(task["action"]) << "\n";
    for (const Json& file : task["files"]) out << "    file " << plain(file) << "\n";
    if (!task["settings"].empty()) out << "    settings " << task["settings"].dump() << "\n";
  }
}

// A typed process value without its kinds: 5, true, [1, 7], {key: value}.
std::string processValue(const Json& typed) {
  const Json& value = typed["value"];
  if (typed["kind"] == "array") {
    std::string text = "[";
    for (const Json& item : value) text += (text.size() > 1 ? ", " : "") + processValue(item);
    return text + "]";
  }
  if (typed["kind"] == "dictionary") {
    std::string text = "{";
    for (const auto& [key, member] : value.items()) {
      text += (text.size() > 1 ? ", " : "") + key + ": " + processValue(member);
    }
    return text + "}";
  }
  return value.dump();
}

void printProcessSettings(std::ostream& out, const Json& settings) {
  if (settings.is_null()) {
    out << "  settings: (none)\n";
    return;
  }
  for (const auto& [key, value] : settings.items()) {
    out << "  " << key << " = " << processValue(value) << " (" << plain(value["kind"]) << ")\n";
  }
}

// What each task of a publish run gave back: its link and message (its error goes to the error
// stream).
void printResults(std::ostream& out, const Json& results) {
  if (results.empty()) out << "  (no tasks were started)\n";
  for (const Json& result : results) {
    out << "  task " << result["task"].dump() << ":\n";
    if (result.contains("url")) out << "    link: " << quoted(result["url"]) << "\n";
    if (result.contains("message")) out << "    message: " << plain(result["message"]) << "\n";
    if (result.contains("error")) out << "    failed\n";
  }
}

// An error as a person reads it: its description, then its failure reason when that says more.
std::string errorText(const Json& error) {
  std::string text = error.value("localizedDescription", "");
  const std::string reason = error.value("failureReason", "");
  if (!reason.empty() && reason != text) {
    if (text.empty()) return reason;
    text += text.find_last_of(".!?") == text.size() - 1 ? " " : ": ";
    text += reason;
  }
  return text.empty() ? "failed" : text;
}

// The lines of the error stream for a result: each error once, the tasks' first.
std::vector<std::string> errorLines(const Json& result) {
  std::vector<std::string> lines;
  const auto add = [&lines](const std::string& line) {
    if (std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
  };
  if (result.contains("results")) {
    for (const Json& task : result["results"]) {
      if (task.contains("error") && task["error"].is_object()) add(errorText(task["error"]));
    }
  }
  if (result.contains("error") && result["error"].is_object()) add(errorText(result["error"]));
  return lines;
}

}  // namespace

Output::Output(std::ostream& out, std::ostream& err, bool json, bool live)
    : out_(out), err_(err), json_(json), live_(live && !json) {}

void Output::result(const Json& result, const std::string& where) {
  std::lock_guard lock(mutex_);
  endProgressLine();
  if (json_) {
    out_ << result.dump(-1, ' ', false, Json::error_handler_t::replace) << "\n";
    out_.flush();
    return;
  }
  const std::string command = plain(result["command"]);
  const std::string prefix = (where.empty() ? "" : where + ": ") +
                             (CommandInterpreter::isCommand(command) ? command + ": " : "");
  if (command == "help" && result.contains("text")) {
    out_ << plain(result["text"]);
    out_.flush();
    return;
  }
  if (result.contains("usage")) {
    err_ << prefix << plain(result["usage"]) << "\n";
    err_.flush();
    return;
  }
  out_ << command << ": " << (result.value("ok", false) ? "ok" : "failed") << "\n";
  for (const auto& [key, value] : result.items()) {
    if (key == "command" || key == "ok" || key == "error") continue;
    if (key == "groups") {
      printGroups(out_, value);
    } else if (key == "actions") {
      printActions(out_, value);
    } else if (key == "callbacks") {
      printCallbacks(out_, value);
    } else if (key == "tasks") {
      printTasks(out_, value);
    } else if (key == "settings" && command == "processing") {
      printProcessSettings(out_, value);
    } else if (key == "opened") {
      for (const Json& folder : value) out_ << "  opened as a document: " << plain(folder) << "\n";
    } else if (key == "results") {
      printResults(out_, value);
    } else if (key == "callbackAction") {
      out_ << "  callback action: " << value.dump() << " (" << callbackName(value.get<int>())
           << ")\n";
    } else {
      out_ << "  " << key << ": " << plain(value) << "\n";
    }
  }
  out_.flush();
  for (const std::string& line : errorLines(result)) err_ << prefix << line << "\n";
  err_.flush();
}

void Output::hostFailure(const std::string& command, const std::string& message, bool usage,
                         const Json& extra) {
  if (!json_) {
    std::lock_guard lock(mutex_);
    endProgressLine();
    err_ << "cohost: " << message << "\n";
    err_.flush();
    return;
  }
  Json object = {{"command", command}, {"ok", false}};
  for (const auto& [key, value] : extra.items()) object[key] = value;
  if (usage) {
    object["usage"] = message;
    object["error"] = nullptr;
  } else {
    object["error"] = toJson(COError{"cohost", 1, message, ""});
  }
  result(object);
}

void Output::progress(const Json& progress) {
  std::lock_guard lock(mutex_);
  if (json_) {
    out_ << Json{{"progress", progress}}.dump(-1, ' ', false, Json::error_handler_t::replace)
         << "\n";
    out_.flush();
    return;
  }
  if (live_ && !progress.contains("exporting")) {
    // Back to the start of the line, the new text, the rest of the old one cleared.
    err_ << "\r" << progressLine(progress) << "\x1b[K";
    progressLineOpen_ = true;
  } else {
    endProgressLine();
    err_ << progressLine(progress) << "\n";
  }
  err_.flush();
}

void Output::interrupted() {
  std::lock_guard lock(mutex_);
  endProgressLine();
  err_ << "cohost: interrupted\n";
  err_.flush();
}

void Output::endProgressLine() {
  if (!progressLineOpen_) return;
  err_ << "\n";
  progressLineOpen_ = false;
}

}  // namespace vorelia::host
