// Installing a downloaded plug-in archive into the host's plug-ins folder, and removing the copies
// an update replaces.
//
// The installer writes only our own bundle: every entry of the archive must lie under
// VoreliaC1Plugin.coplugin/ (a "./" entry for the folder itself aside), else the whole archive is
// refused. It is unpacked in full into a staging folder beside the plug-ins folder first. Only when
// every entry unpacked cleanly, and the staged bundle is one the host can load, does the staged
// bundle replace the installed one, by renaming folders: the old bundle aside, the new one in, the
// old one removed. The files of a plug-in that is loaded right now are never rewritten in place,
// nothing of the old bundle stays in the new one, a failed or refused archive leaves the plug-ins
// folder exactly as it was, and a process killed at any moment leaves the old or the new bundle
// whole (on a file system without an atomic exchange of folders, a kill between the two renames
// leaves the old one set aside, which RecoverInterruptedInstalls puts back). Entries that could
// reach outside the folder are refused, and with them the whole archive: absolute names, names with
// a ".." component, names through a symbolic link of the archive, symbolic links that do not stay
// inside the top folder they are in (as a bundle's "Versions/Current -> A" does), hard links,
// device files, pipes and sockets, and encrypted entries. An archive that unpacks to more than its
// limits allow is refused as soon as the bytes written pass them, whatever its headers claim.
// Names are read as UTF-8 whatever the process locale.
//
// Blocking file work; call from a background thread. Safe to call from several threads, also for
// the same folder (each call stages apart; the last rename wins).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>

namespace vorelia {

enum class InstallResult {
  installed,
  unreadableArchive,  // not an archive, truncated, or an entry whose data is damaged
  refusedEntry,       // an entry outside our bundle, or that could write outside the folder,
                      // or an encrypted one
  fileSystemFailure,  // the staging folder or a file could not be written, or a move failed
  tooLarge,           // the entries unpack to more bytes than the limits allow
  notABundle,         // no VoreliaC1Plugin.coplugin whose Info names a principal class and a
                      // library file that the archive holds
};

// How much an archive may unpack to: the smaller of maxBytes and maxRatio times its own size.
struct InstallLimits {
  std::uint64_t maxBytes = std::uint64_t{1} << 30;
  std::uint64_t maxRatio = 200;
};

// The bundle an update archive must carry.
inline constexpr std::string_view UpdateBundleName = "VoreliaC1Plugin.coplugin";

// "VoreliaCaptureOnePlugin." + version + ".coplugin.zip"
std::string UpdateArchiveName(std::string_view version);

// $HOME/Library/Application Support/Capture One/Plug-ins (the folder the host loads plug-ins from).
// Empty when the user's Library folder is not known.
std::filesystem::path PluginsFolder(const std::filesystem::path& libraryFolder);

// The moves of an install, for a test seam that stops it as a kill would.
enum class InstallStep {
  moveIn,     // the new bundle in, the old one aside (one atomic exchange where it can be)
  removeOld,  // the old bundle removed with the staging folder
};
// Called before each step; returning false stops the install right there, leaving every file as a
// process killed at that moment would (the staging folder too), and reports fileSystemFailure.
using InstallInterruption = std::function<bool(InstallStep step)>;

// Unpacks the zip archive and makes its VoreliaC1Plugin.coplugin the one in pluginsFolder
// (created when missing), replacing the installed bundle whole. Other entries of the folder stay.
InstallResult InstallArchive(const std::filesystem::path& archive,
                             const std::filesystem::path& pluginsFolder, InstallLimits limits = {},
                             const InstallInterruption& interrupt = {});

// Mends what installs killed midway left beside pluginsFolder: puts a bundle set aside back when
// none is installed, and removes their staging folders. Staging folders of installs under way, in
// any process, stay. Blocking file work.
void RecoverInterruptedInstalls(const std::filesystem::path& pluginsFolder);

// Removes, with their contents, the entries of pluginsFolder (one level) whose names contain
// "Vorelia" but neither version nor "VoreliaC1Plugin.coplugin", in listing order. Stops at the
// first entry that cannot be removed (or when the folder cannot be listed) and returns false.
// Symbolic links are removed, never followed.
bool RemoveOlderEntries(const std::filesystem::path& pluginsFolder, std::string_view version);

}  // namespace vorelia
