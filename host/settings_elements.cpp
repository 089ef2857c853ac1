#include "settings_elements.h"

#include <algorithm>

#include "suggestion.h"

namespace vorelia::host {

namespace {

// The identifier of an element; empty for a label, which has none.
std::string identifierOf(const COSettingsElement& element) {
  return std::visit(
      [](const auto& item) -> std::string {
        if constexpr (requires { item.identifier; }) {
          return item.identifier;
        } else {
          return "";
        }
      },
      element);
}

}  // namespace

const COSettingsElement* findElement(const std::vector<COSettingsElementsGroup>& groups,
                                     const std::string& identifier) {
  for (const auto& group : groups) {
    for (const auto& element : group.elements) {
      if (identifierOf(element) == identifier) return &element;
    }
  }
  return nullptr;
}

std::vector<std::string> identifiersOf(const std::vector<COSettingsElementsGroup>& groups) {
  std::vector<std::string> identifiers;
  for (const auto& group : groups) {
    for (const auto& element : group.elements) {
      if (std::string id = identifierOf(element); !id.empty()) identifiers.push_back(std::move(id));
    }
  }
  return identifiers;
}

std::string choiceProblem(const COSettingsElement& element, const COValue& value) {
  const auto* list = std::get_if<COSettingsListItem>(&element);
  const auto* multiple = std::get_if<COSettingsMultipleListItem>(&element);
  if (list == nullptr && multiple == nullptr) return "";
  const std::string& identifier = list != nullptr ? list->identifier : multiple->identifier;
  std::vector<std::string> values, shown;  // shown: each value with its title when that differs
  for (const COSettingsListOption& option : list != nullptr ? list->options : multiple->options) {
    if (option.isSeparator) continue;
    values.push_back(option.value);
    shown.push_back(option.title.empty() || option.title == option.value
                        ? option.value
                        : option.value + " (" + option.title + ")");
  }
  const std::string options = "; its options: " + listOf(shown);
  std::vector<std::string> chosen;
  if (const auto* text = std::get_if<std::string>(&value); list != nullptr && text != nullptr) {
    chosen.push_back(*text);
  } else if (const auto* texts = std::get_if<std::vector<std::string>>(&value);
             multiple != nullptr && texts != nullptr) {
    chosen = *texts;
  } else {
    return identifier +
           (list != nullptr ? " is a list: its VALUE is one option's value, a JSON string"
                            : " is a multiple-choice list: its VALUE is an array of options' "
                              "values") +
           options;
  }
  for (const std::string& choice : chosen) {
    if (std::find(values.begin(), values.end(), choice) == values.end()) {
      return "\"" + choice + "\" is not an option of " + identifier + didYouMean(choice, values) +
             options;
    }
  }
  return "";
}

}  // namespace vorelia::host
