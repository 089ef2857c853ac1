// Which files cohost publishes: like the real host, which exports only images of its own document,
// it takes images of the document it works on and nothing else, so that what the plugin writes
// back (keywords by image name) lands on the images that were published.
#pragma once

#include <string>
#include <vector>

namespace vorelia::host {

struct PublishedDocuments {
  std::vector<std::string> documents;  // the open documents once the files are accepted
  std::string refusal;                 // why the files are refused (a usage message); empty
                                       // when they are accepted
};

// Accepts files when each is an image of the current collection of the document the host works
// on: the first of open, or the one COHOST_CHOOSE names when several are open (as
// cohost-osascript chooses). With no document open, the folders of the files open first (in
// order, each once), as the host has the images it publishes in its catalogue; nothing opens
// when the files are refused. open holds absolute folders (documentFolder).
PublishedDocuments documentsToPublishFrom(const std::vector<std::string>& open,
                                          const std::vector<std::string>& files);

}  // namespace vorelia::host
