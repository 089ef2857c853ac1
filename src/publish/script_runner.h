// The script runner: hands an AppleScript document to the host by saving it in the host's scripts
// folder (Library/Scripts/Capture One Scripts of the user), running it with the script interpreter
// and removing it again.
//
// The interpreter is /usr/bin/osascript, or the program that VORELIA_OSASCRIPT names (a host
// stand-in sets it to its own). It is started through /usr/bin/env with the file's path as its
// one argument and this process's standard streams.
#pragma once

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace vorelia {

// The folder the host runs scripts from; absent when the user's Library cannot be located. The
// host creates it; the plugin never does.
std::optional<std::filesystem::path> scriptsFolder();

// prefix + the local time as "dd_MM_yyyy_HH_mm_ss" + ".scpt", e.g.
// Vorelia_auto_tagging_07_03_2019_14_05_09.scpt.
std::string scriptFileName(std::string_view prefix, std::chrono::system_clock::time_point now);

// Saves text (UTF-8) in folder under scriptFileName(prefix, now), or, when a file of that name
// exists already (another run in the same second), under the same name with "_2", "_3", ... before
// ".scpt". The file appears whole or not at all and never replaces another file. Returns its path,
// or absent when it could not be written (nothing is left behind then).
std::optional<std::filesystem::path> writeScriptFile(const std::filesystem::path& folder,
                                                     std::string_view prefix, std::string_view text,
                                                     std::chrono::system_clock::time_point now);

// Writes text to a new script file, runs it, waits for the interpreter to exit (without time-out:
// a script may wait for the user) and removes the file. Returns true when the interpreter ran the
// script and exited with status 0; false when there is no Library, the file could not be written,
// the interpreter could not be started, or it ended with an error. Blocks the calling thread;
// runs are independent of each other and may overlap.
bool runScript(std::string_view prefix, std::string_view text,
               std::chrono::system_clock::time_point now = std::chrono::system_clock::now());

}  // namespace vorelia
