// Settings elements: the building blocks of the plugin's preference page and of an action's panel.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "sdk/co_value.h"

// An entry of a list element: a value and its title, or the separator line.
struct COSettingsListOption {
  std::string value;
  std::string title;
  std::optional<std::string> imagePath;
  bool isSeparator = false;

  static COSettingsListOption Make(std::string value, std::string title) {
    return COSettingsListOption{std::move(value), std::move(title), std::nullopt, false};
  }
  // The separator entry that the host draws as a line.
  static COSettingsListOption separator() {
    return COSettingsListOption{"", "", std::nullopt, true};
  }
};

// A line of text.
struct COSettingsLabelItem {
  std::string value;
};

// An editable text field; secure fields hide what is typed.
struct COSettingsTextItem {
  std::string identifier;
  std::string title;
  std::optional<std::string> value;
  bool secure = false;
};

struct COSettingsButtonItem {
  std::string identifier;
  std::string title;
};

// A check box.
struct COSettingsBoolItem {
  std::string identifier;
  std::string title;
  bool value = false;
};

// A single-choice list; value is the chosen option's value.
struct COSettingsListItem {
  std::string identifier;
  std::string title;
  std::vector<COSettingsListOption> options;
  std::optional<std::string> value;
};

// A multiple-choice list.
struct COSettingsMultipleListItem {
  std::string identifier;
  std::string title;
  std::vector<COSettingsListOption> options;
  bool allowsFiltering = false;
};

using COSettingsElement =
    std::variant<COSettingsLabelItem, COSettingsTextItem, COSettingsButtonItem, COSettingsBoolItem,
                 COSettingsListItem, COSettingsMultipleListItem>;

// A titled group of elements, drawn as one box on the page.
struct COSettingsElementsGroup {
  std::string title;
  std::vector<COSettingsElement> elements;
};

// The element an event is reported for.
struct COSettingsItem {
  std::string identifier;
};

// What happened to an element. The plugin treats every event alike.
enum class COSettingsEvent { clicked = 0, selected = 1, changed = 2 };

// What the host should do after a settings callback. reloadSettings: ask settings() again.
enum class COSettingsCallbackAction : int { none = 0, reloadSettings = 1 };

// What the host should do after an action-settings update. reloadSettings: ask
// settings(for:settings:) again.
enum class COActionSettingsCallbackAction : int { none = 0, reloadSettings = 1 };

using COSettingsCallback =
    std::function<void(COSettingsCallbackAction action, const std::optional<COValue>& value)>;
