// Printing results: with --json one JSON object per result on its own line of the output stream,
// otherwise readable indented text on the output stream and each error, said once, on the error
// stream. Every line is flushed at once, so a reader of the pipe sees a result as soon as the
// command ends. Results come from the main thread; progress from any.
#pragma once

#include <mutex>
#include <ostream>
#include <string>

#include "sdk_json.h"

namespace vorelia::host {

class Output {
 public:
  // REQUIRES: out and err outlive the Output. live: err is a terminal, where progress is one
  // line redrawn in place (human output only).
  Output(std::ostream& out, std::ostream& err, bool json, bool live = false);

  bool json() const { return json_; }
  // Whether progress is redrawn in place.
  bool live() const { return live_; }

  // A command's result (the shape commands.h describes). where ("FILE:LINE", or empty) starts
  // each error line of human output.
  void result(const Json& result, const std::string& where = "");

  // A failure of cohost itself rather than of a command: a bundle that cannot be loaded, a script
  // that cannot be read, a bad command line. In JSON mode it is a result object for command
  // (with extra members merged in), otherwise "cohost: message" on the error stream.
  void hostFailure(const std::string& command, const std::string& message, bool usage,
                   const Json& extra = Json::object());

  // A running task's progress (see progress.h): with --json {"progress": {...}} on the output
  // stream, otherwise a progress bar line on the error stream. Callable from any thread.
  void progress(const Json& progress);

  // "cohost: interrupted" on the error stream, after a progress line drawn in place.
  void interrupted();

 private:
  void endProgressLine();  // REQUIRES: mutex_ held

  std::ostream& out_;
  std::ostream& err_;
  const bool json_;
  const bool live_;
  std::mutex mutex_;  // keeps lines whole when a task reports progress from its threads
  bool progressLineOpen_ = false;  // guarded by mutex_: a live progress line awaits its end
};

}  // namespace vorelia::host
