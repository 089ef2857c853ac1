// Printing results: with --json one JSON object per result on its own line of the output stream,
// otherwise readable indented text. Every line is flushed at once, so a reader of the pipe sees a
// result as soon as the command ends. Results come from the main thread; progress from any.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

#include "sdk_json.h"

namespace vorelia::host {

class Output {
 public:
  // REQUIRES: out and err outlive the Output.
  Output(std::ostream& out, std::ostream& err, bool json);

  bool json() const { return json_; }

  // A command's result (the shape commands.h describes).
  void result(const Json& result);

  // A failure of cohost itself rather than of a command: a bundle that cannot be loaded, a script
  // that cannot be read, a bad command line. In JSON mode it is a result object for command
  // (with extra members merged in), otherwise "cohost: message" on the error stream.
  void hostFailure(const std::string& command, const std::string& message, bool usage,
                   const Json& extra = Json::object());

  // A running task's progress (see progress.h): with --json {"progress": {...}} on the output
  // stream, otherwise a progress bar line on the error stream. Callable from any thread.
  void progress(const Json& progress);

  // The shell's prompt, without a line break.
  void prompt();

 private:
  std::ostream& out_;
  std::ostream& err_;
  bool json_;
  std::mutex mutex_;  // keeps lines whole when a task reports progress from its threads
};

}  // namespace vorelia::host
