// Checks of an update archive's entries as they are unpacked into a staging folder, and of the
// staged bundle before anything of it is installed. Pure file-system reads; any thread.
#pragma once

#include <filesystem>
#include <string_view>
#include <vector>

namespace vorelia {

// Whether a symbolic link at relative (a path inside the staging folder) pointing to target stays
// inside the top folder it is in, read without following other links. A link at the top, an
// absolute target, or one that climbs above the top folder through ".." does not.
bool LinkStaysInsideTopFolder(const std::filesystem::path& relative, std::string_view target);

// Whether relative is one of links (paths inside the staging folder) or lies under one: writing
// there would follow the link.
bool ThroughLink(const std::filesystem::path& relative,
                 const std::vector<std::filesystem::path>& links);

// Whether every one of links, followed through any links its target passes (links to links,
// ".." after a link), ends inside the top folder of folder it is in. False when links loop.
bool LinksStayInside(const std::filesystem::path& folder,
                     const std::vector<std::filesystem::path>& links);

// Whether bundle is a plug-in bundle the host can load: its Info.json (at most 64 KiB) parses and
// names a principal class and a library, a file in the bundle folder itself.
bool IsLoadableBundle(const std::filesystem::path& bundle);

}  // namespace vorelia
