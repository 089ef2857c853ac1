#include "command_call.h"

#include "settings_elements.h"
#include "suggestion.h"

namespace vorelia::host {

void CommandCall::usage(const std::string& message) {
  if (status != Status::usage) result["usage"] = message;
  status = Status::usage;
}

void CommandCall::hostError(const std::string& description) {
  error = COError{HostErrorDomain, 1, description, ""};
  fail();
}

bool CommandCall::canChoose(const std::vector<COSettingsElementsGroup>& groups,
                            const std::string& identifier, const COValue& value) {
  const std::string problem = choiceProblem(*findElement(groups, identifier), value);
  if (!problem.empty()) usage(problem);
  return problem.empty();
}

bool CommandCall::holds(const std::vector<COSettingsElementsGroup>& groups,
                        const std::string& identifier, const char* where) {
  if (findElement(groups, identifier) != nullptr) return true;
  const std::vector<std::string> held = identifiersOf(groups);
  usage("no element \"" + identifier + "\" on " + where + didYouMean(identifier, held) +
        "; it holds: " + listOf(held));
  return false;
}

std::optional<std::string> CommandCall::string(std::size_t i, const char* what) {
  std::optional<std::string> text = args[i].string();
  if (!text) usage(std::string(what) + " is not a valid JSON string");
  return text;
}

std::optional<std::vector<std::string>> CommandCall::files(std::size_t i) {
  std::vector<std::string> paths;
  for (; i < args.size(); ++i) {
    std::optional<std::string> file = string(i, "FILE");
    if (!file) return std::nullopt;
    paths.push_back(std::move(*file));
  }
  return paths;
}

std::optional<COValue> CommandCall::value(std::size_t i) {
  std::optional<COValue> parsed = valueFromJson(Json::parse(args[i].text, nullptr, false));
  if (!parsed) usage("VALUE must be a JSON string, number, Boolean or array of strings");
  return parsed;
}

COSettingsCallback CommandCall::recorder() {
  callbacks = std::make_shared<Json>(Json::array());
  return
      [record = callbacks](COSettingsCallbackAction action, const std::optional<COValue>& value) {
        Json entry = {{"action", static_cast<int>(action)}};
        if (value) entry["value"] = toJson(*value);
        record->push_back(std::move(entry));
      };
}

}  // namespace vorelia::host
