// Which files cohost publishes: like the real host, which exports only images of its own document,
// it takes images of the document it works on and nothing else, so that what the plugin writes
// back (keywords by image name) lands on the images that were published.
#pragma once

#include <string>
#include <vector>

#include "result.h"

namespace vorelia::host {

// The open documents once the files are accepted; fails with a usage message that says why the
// files are refused. Accepts files when each is an image of the current collection of the document
// the host works on: the first of open, or the one COHOST_CHOOSE names when several are open (as
// cohost-osascript chooses). With no document open, the folders of the files open first (in
// order, each once), as the host has the images it publishes in its catalogue; nothing opens
// when the files are refused. open holds absolute folders (documentFolder).
Result<std::vector<std::string>> documentsToPublishFrom(const std::vector<std::string>& open,
                                                        const std::vector<std::string>& files);

}  // namespace vorelia::host
