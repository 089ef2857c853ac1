// The fixtures of the plugin's tests: the plugin as the host holds it, its page as lines, and a
// loopback server standing in for the service, the update library and the queue.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>

#include "api/queue_message.h"
#include "model/keychain.h"
#include "model/keys.h"
#include "platform/dispatch.h"
#include "platform/user_defaults.h"
#include "plugin/host_boundary.h"
#include "plugin/update_check.h"
#include "plugin/vorelia_c1_plugin.h"
#include "support/http_test_server.h"
#include "support/temp_home.h"
#include "support/wait.h"

namespace vorelia::testing_plugin {

using platform::UserDefaults;
using testing::TestReply;

inline std::string Key(std::string_view key) { return std::string(key); }
using Texts = std::vector<std::string>;
using Albums = std::map<std::string, Texts>;

// An element as one line: its kind, identifier and what the user sees of it.
inline std::string Describe(const COSettingsElement& element) {
  return std::visit(
      [](const auto& e) -> std::string {
        using T = std::decay_t<decltype(e)>;
        if constexpr (std::is_same_v<T, COSettingsLabelItem>) {
          return "label:" + e.value;
        } else if constexpr (std::is_same_v<T, COSettingsTextItem>) {
          return std::string(e.secure ? "secure:" : "text:") + e.identifier + "=" +
                 e.value.value_or("(none)");
        } else if constexpr (std::is_same_v<T, COSettingsButtonItem>) {
          return "button:" + e.identifier + " " + e.title;
        } else if constexpr (std::is_same_v<T, COSettingsBoolItem>) {
          return "bool:" + e.identifier + (e.value ? "=on" : "=off");
        } else {
          std::string text;
          if constexpr (std::is_same_v<T, COSettingsListItem>) {
            text = "list:" + e.identifier + "=" + e.value.value_or("");
          } else {
            text = "multilist:" + e.identifier + (e.allowsFiltering ? " (filtered)" : "");
          }
          for (const auto& o : e.options)
            text += o.isSeparator ? " --" : " " + o.value + "|" + o.title;
          return text;
        }
      },
      element);
}

inline Texts Lines(const COSettingsElementsGroup& group) {
  Texts lines;
  for (const auto& element : group.elements) lines.push_back(Describe(element));
  return lines;
}

// The groups' titles in brackets, each followed by its elements.
inline Texts Page(const std::vector<COSettingsElementsGroup>& groups) {
  Texts lines;
  for (const auto& group : groups) {
    lines.push_back("[" + group.title + "]");
    for (auto& line : Lines(group)) lines.push_back(std::move(line));
  }
  return lines;
}

class Construction : public ::testing::Test {
 protected:
  testing::TempHome home;
  std::shared_ptr<UserDefaults> defaults = UserDefaults::standard();
  testing::ScopedEnvironment web{"VORELIA_WEB_URL", "https://www.vorelia.test"};
  testing::HttpTestServer service;
  testing::ScopedEnvironment api{"VORELIA_API_URL", service.url("/")};
  testing::ScopedEnvironment updates{"VORELIA_UPDATE_URL", service.url("/updates/")};
  testing::ScopedEnvironment queue{"VORELIA_QUEUE_URL", service.url("/statsc1/messages?sig=s")};
};

inline Texts Identifiers(const std::vector<std::shared_ptr<const COPluginAction>>& actions) {
  Texts ids;
  for (const auto& a : actions) ids.push_back(a->identifier);
  return ids;
}

// The plugin as the host holds it: page events, values and the publishing operations.
class SettingsPage : public Construction {
 protected:
  std::optional<VoreliaC1Plugin> plugin{std::in_place};  // emplace() restarts it
  int reloads = 0;
  COSettingsCallback callback = [this](COSettingsCallbackAction action,
                                       const std::optional<COValue>&) {
    EXPECT_EQ(action, COSettingsCallbackAction::reloadSettings);
    ++reloads;
  };

  void authenticate() {
    plugin->state->setAuthentication("BEARER t", std::chrono::system_clock::now());
  }
  void logIn(const char* account) {
    plugin->state->account.set(account);
    authenticate();
  }
  COPluginAction action(std::string_view identifier) {
    COPluginAction a("test");
    a.identifier = std::string(identifier);
    return a;
  }
  // Clicks the button; the error, if any, goes to `error`.
  bool press(const std::string& id, COError* error = nullptr) {
    return plugin->handle(COSettingsEvent::clicked, COSettingsItem{id}, callback, error);
  }
  void set(const std::string& id, COValue value) {
    EXPECT_TRUE(plugin->didUpdateValue(value, id, callback, nullptr)) << id;
  }
  Texts group(void (VoreliaC1Plugin::*fill)(COSettingsElementsGroup&)) {
    COSettingsElementsGroup g{"", {}};
    ((*plugin).*fill)(g);
    return Lines(g);
  }
};
class HostOperations : public SettingsPage {};

}  // namespace vorelia::testing_plugin
