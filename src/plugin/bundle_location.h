// Where the plugin's bundle lies, found from the address of the plugin's own code: the folder of
// the shared library that holds this code. Neither the working directory nor the host executable's
// location play a part, so the answer is the same whichever host loads the bundle and from wherever
// it runs. Any thread may call these.
#pragma once

#include <filesystem>
#include <optional>

namespace vorelia {

// The folder that holds the shared library this code was loaded from (the bundle folder when the
// plugin runs inside its bundle). Returns nullopt when the loader cannot say which file holds it.
std::optional<std::filesystem::path> bundleDirectory();

// bundleDirectory()/Resources/VoreliaC1PluginIcon.icns, or nullopt when bundleDirectory() is.
// The file is not checked: a caller that loads it sees whether it is there.
std::optional<std::filesystem::path> bundleIconPath();

}  // namespace vorelia
