// The update check the plugin starts when the host creates it.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "api/api.h"

namespace vorelia {

// Whether the published version is one to download: present, and the running version orders
// before it in plain lexicographic order by Unicode scalar values (the byte order of UTF-8), not
// by version numbers: a running 0.1.9 does not take 0.1.10, and 0.1.5 orders before 0.1.5-beta.
bool IsNewerVersion(const std::string& currentVersion,
                    const std::optional<std::string>& updateVersion);

// Fetches the update document and returns at once. When it answers or fails, the leftovers of
// killed runs are removed (Api::RemovalOfLeftoversOfKilledRuns); then, when it answered,
// state.updateVersion becomes its "version" member (the empty string when missing or not a string)
// and, when that is newer, the download and installation start, also without anyone waiting. No
// answer changes nothing.
void StartUpdateCheck(Api& api);

}  // namespace vorelia
