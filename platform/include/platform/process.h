// Launching a program and waiting for it.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorelia::platform {

// Starts program (an absolute path) with arguments, the standard streams inherited and the
// environment of this process, and waits for it to end. Returns its exit status (128 + signal
// number when a signal ended it), or absent when it could not be started (missing, not
// executable) or waited for. Arguments go to the program as they are; no shell sees them. Blocks
// the calling thread, which may be any.
std::optional<int> runProcess(const std::string& program,
                              const std::vector<std::string>& arguments);

}  // namespace vorelia::platform
