// The command line of vorelia-sandbox and its help text.
#pragma once

#include <string>
#include <vector>

#include "sandbox/result.h"
#include "sandbox/server.h"

namespace vorelia::sandbox {

struct CommandLine {
  ServerOptions server;
  bool help = false;
};

// Parses the arguments after the program name. Flags take their value as the next argument or
// after '='. Returns a message for an unknown flag, a missing or malformed value, or a host that
// is not a loopback address.
Result<CommandLine> parseCommandLine(const std::vector<std::string>& arguments);

// What --help prints: the flags, the service routes and the admin interface.
std::string helpText();

}  // namespace vorelia::sandbox
