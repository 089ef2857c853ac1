// What a publishing workflow receives and returns, independent of the host: the task (its action,
// the exported files, the action's settings), a progress report and the result.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "model/text_list.h"

namespace vorelia {

// An action setting's value: a string, a number, a Boolean or a list of strings.
using SettingValue = std::variant<std::string, double, bool, std::vector<std::string>>;
using PublishSettings = std::map<std::string, SettingValue>;

struct PublishTask {
  std::string actionIdentifier;
  // Absolute paths of the exported files, in upload order; one buffer, not a string each, for a
  // task of a hundred thousand files.
  TextList files;
  PublishSettings settings;
};

// The link to show (absent when there is none) and the message for the user.
struct PublishResult {
  std::optional<std::string> url;
  std::string message;
  // Some files were not published (the message names them), though the task may have a link.
  bool filesLost = false;
};

// (completed, total, text). Called from any thread, one call at a time.
using PublishProgress = std::function<void(std::uint64_t completed, std::uint64_t total,
                                           const std::optional<std::string>& text)>;

// A workflow behind a publishing action. DoPublish runs the whole task on the calling thread and
// returns when the last request has completed.
class PublishService {
 public:
  virtual ~PublishService() = default;
  virtual PublishResult DoPublish(const PublishTask& task, const PublishProgress& progress) = 0;
};

// The string setting under key, when there is one of that type.
std::optional<std::string> StringSetting(const PublishSettings& settings, const std::string& key);
// The Boolean setting under key; false when absent or of another type.
bool BoolSetting(const PublishSettings& settings, const std::string& key);

}  // namespace vorelia
