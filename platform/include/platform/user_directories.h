// The user's folders, in the macOS layout under $HOME.
#pragma once

#include <filesystem>

namespace vorelia::platform {

// $HOME, or the password database's home folder when HOME is unset or empty (empty when neither is
// known). Read anew on every call, so a test may change HOME.
std::filesystem::path homeDirectory();
// $HOME/Library
std::filesystem::path libraryDirectory();
// $HOME/Downloads
std::filesystem::path downloadsDirectory();

}  // namespace vorelia::platform
