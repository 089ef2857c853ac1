// How cohost learns that a catalogue script failed. The plugin runs its scripts and never reads
// how they ended, while the real host fails the work whose script fails; so cohost opens a pipe
// whose write end its children inherit and names it in COHOST_SCRIPT_REPORT, and cohost-osascript
// writes the error of a script it refused or could not carry out there instead of on its error
// stream. cohost reads the errors after each command and fails the command with them.
#pragma once

#include <string>
#include <vector>

namespace vorelia::host {

inline constexpr const char* ScriptReportVariable = "COHOST_SCRIPT_REPORT";

// cohost: opens the pipe once and sets COHOST_SCRIPT_REPORT for the programs started from now on.
// Call it before any other thread runs. Returns false when no pipe could be made (scripts then
// report on their error stream, as without cohost).
bool openScriptReports();

// cohost: the errors reported since the last call, oldest first; empty without a pipe. Never
// blocks.
std::vector<std::string> takeScriptReports();

// cohost-osascript: sends message to cohost. Returns false when COHOST_SCRIPT_REPORT names no
// pipe or the pipe is full; the caller then says it on its error stream.
bool reportScriptFailure(const std::string& message);

}  // namespace vorelia::host
