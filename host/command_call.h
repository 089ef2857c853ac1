// One command being run by the interpreter: its name and arguments, the result under
// construction, and the readers of its arguments, each of which turns a bad argument into the
// command's usage error. Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"

namespace vorelia::host {

// The domain of the errors cohost itself puts into a result (the plugin's keep their own).
inline constexpr const char* HostErrorDomain = "cohost";

struct CommandCall {
  std::string name;
  std::vector<Token> args;
  std::string action;  // an action command's ACTION argument, read before its handler runs
  Json result;
  Status status = Status::ok;
  bool quit = false;
  bool interrupted = false;
  bool inputRead = false;  // `set ID -` read its line of standard input
  COError error;
  std::shared_ptr<Json> callbacks;  // set by recorder()

  // Marks a usage error; the first one a command meets is the one it reports.
  void usage(const std::string& message);
  // The operation failed; the plugin (or hostError) filled error.
  void fail() { status = worse(status, Status::failed); }
  void hostError(const std::string& description);
  bool ok() const { return status == Status::ok; }

  // Whether the user can choose value in the element identifier of groups; otherwise a usage
  // error. REQUIRES: the groups hold the element.
  bool canChoose(const std::vector<COSettingsElementsGroup>& groups, const std::string& identifier,
                 const COValue& value);
  // Whether the groups hold an element with identifier; otherwise a usage error naming the ones
  // they hold.
  bool holds(const std::vector<COSettingsElementsGroup>& groups, const std::string& identifier,
             const char* where);

  // Argument i as a plain string, or a usage error naming what it should be.
  std::optional<std::string> string(std::size_t i, const char* what);
  // The arguments from i on as the files of a task, or nothing after a usage error.
  std::optional<std::vector<std::string>> files(std::size_t i);
  // Argument i as a value: a JSON string, number, Boolean or array of strings.
  std::optional<COValue> value(std::size_t i);
  // A callback that records each call; the record becomes the "callbacks" member. The record is
  // shared with the callback, so a plugin that kept the callback past the call cannot reach into
  // a finished command.
  COSettingsCallback recorder();
};

}  // namespace vorelia::host
