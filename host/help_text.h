// What `cohost help` prints: every mode, command, argument form, environment variable and the JSON
// shapes of the results.
#pragma once

namespace vorelia::host {

const char* helpText();

}  // namespace vorelia::host
