// Child processes for tests: started with posix_spawn (SIGINT and SIGTERM at their defaults,
// SIGPIPE as the test has it), reaped with a bounded wait.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace vorelia::testing {

// Starts program with arguments, its standard output on outFd and its standard error on errFd
// (each inherited when < 0), its standard input from inFd (/dev/null when < 0), in
// workingDirectory when one is given, with environment ("NAME=value" entries; empty: this
// process's). Throws std::runtime_error when it cannot start.
pid_t spawnChild(const std::filesystem::path& program, const std::vector<std::string>& arguments,
                 int outFd, int errFd, const std::filesystem::path& workingDirectory = {},
                 int inFd = -1, std::vector<std::string> environment = {});

// The exit code of pid once it has ended, reaping it (-1 when a signal ended it); nothing while it
// still runs.
std::optional<int> exitedChild(pid_t pid);

// Waits at most timeout for pid to end, else kills it. Returns its exit code, -1 when it was
// killed or died of a signal.
int reapChild(pid_t pid, std::chrono::milliseconds timeout);

}  // namespace vorelia::testing
