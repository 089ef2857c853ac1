// Installing a downloaded plug-in archive into the host's plug-ins folder, and removing the copies
// an update replaces.
//
// An archive is unpacked in full into a staging folder beside the plug-ins folder first. Only when
// every entry unpacked cleanly does anything move into the plug-ins folder, and then by rename:
// a new file replaces an old one in one step, so the files of a plug-in that is loaded right now
// are never rewritten in place, and a failed or refused archive leaves the plug-ins folder exactly
// as it was. Entries that could reach outside the folder are refused, and with them the whole
// archive: absolute names, names with a ".." component, symbolic links, hard links, device files,
// pipes and sockets, and encrypted entries. Names are read as UTF-8 whatever the process locale.
//
// Blocking file work; call from a background thread. Safe to call from several threads, also for
// the same folder (each call stages apart; the last rename wins).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace vorelia {

enum class InstallResult {
  installed,
  unreadableArchive,  // not an archive, truncated, or an entry whose data is damaged
  refusedEntry,       // an entry that could write outside the folder, or an encrypted one
  fileSystemFailure,  // the staging folder or a file could not be written, or a move failed
};

// "VoreliaCaptureOnePlugin." + version + ".coplugin.zip"
std::string UpdateArchiveName(std::string_view version);

// $HOME/Library/Application Support/Capture One/Plug-ins (the folder the host loads plug-ins from).
// Empty when the user's Library folder is not known.
std::filesystem::path PluginsFolder(const std::filesystem::path& libraryFolder);

// Unpacks the zip archive into pluginsFolder (created when missing), keeping the archive's folder
// structure: files of the archive replace files of the same name, other files stay.
InstallResult InstallArchive(const std::filesystem::path& archive,
                             const std::filesystem::path& pluginsFolder);

// Removes, with their contents, the entries of pluginsFolder (one level) whose names contain
// "Vorelia" but neither version nor "VoreliaC1Plugin.coplugin", in listing order. Stops at the
// first entry that cannot be removed (or when the folder cannot be listed) and returns false.
// Symbolic links are removed, never followed.
bool RemoveOlderEntries(const std::filesystem::path& pluginsFolder, std::string_view version);

}  // namespace vorelia
