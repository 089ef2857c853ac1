// Carrying out a host script on a document of the catalogue, with the effects the plugin's scripts
// have in the host: keywords and content descriptions for the keyword script, the reset step and
// the marks for the ratings script.
#pragma once

#include <string>
#include <vector>

#include "catalogue.h"
#include "host_script.h"

namespace vorelia::host {

// Not a Result: a run that a failing disk stopped part-way has still changed some images.
struct ScriptEffects {
  std::vector<std::string> changed;  // the names of the images whose metadata changed
  std::string error;                 // empty on success
};

// Applies script to the images of document's current collection. Every sidecar is read and
// changed in memory first: a sidecar that cannot be read or an image whose metadata cannot be
// written as XMP fails the whole run before any file is touched. Then each changed sidecar is
// replaced atomically; only a failing disk can stop the run part-way (error names the file, and
// changed lists those already replaced). Writes nothing but sidecars inside document's folder.
ScriptEffects applyScript(const HostScript& script, const Document& document);

}  // namespace vorelia::host
