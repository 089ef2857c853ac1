#include "api/staged_bundle.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <fstream>
#include <optional>
#include <string>
#include <system_error>

#include "model/json.h"

namespace vorelia {

namespace fs = std::filesystem;

namespace {

// Where path leads once every symbolic link on it is followed, parts that do not exist taken as
// they are. Nothing when the links loop.
std::optional<fs::path> Resolve(const fs::path& path) {
  const fs::path relative = path.relative_path();
  std::deque<fs::path> rest(relative.begin(), relative.end());
  fs::path resolved = path.root_path();
  for (int links = 0; !rest.empty();) {
    const fs::path part = std::move(rest.front());
    rest.pop_front();
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      resolved = resolved.parent_path();
      continue;
    }
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(resolved / part, ec))) {
      resolved /= part;
      continue;
    }
    const fs::path target = fs::read_symlink(resolved / part, ec);
    if (ec || ++links > 40) return std::nullopt;
    if (target.is_absolute()) resolved = target.root_path();
    const fs::path targetParts = target.relative_path();
    rest.insert(rest.begin(), targetParts.begin(), targetParts.end());
  }
  return resolved;
}

bool IsWithin(const fs::path& path, const fs::path& folder) {
  return std::mismatch(folder.begin(), folder.end(), path.begin(), path.end()).first ==
         folder.end();
}

}  // namespace

bool LinkStaysInsideTopFolder(const fs::path& relative, std::string_view target) {
  if (target.empty() || target.front() == '/') return false;
  std::vector<fs::path> resolved(relative.begin(), relative.end());
  if (resolved.size() < 2) return false;  // a link at the top is in no folder
  resolved.pop_back();                    // the link's own name
  while (!target.empty()) {
    const std::size_t slash = target.find('/');
    const std::string_view part = target.substr(0, slash);
    target = slash == std::string_view::npos ? std::string_view() : target.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part != "..") {
      resolved.emplace_back(std::string(part));
    } else if (resolved.size() > 1) {
      resolved.pop_back();
    } else {
      return false;  // above the top folder
    }
  }
  return true;
}

// A chain of links that each look harmless can still climb out, so each is followed to its end.
bool LinksStayInside(const fs::path& folder, const std::vector<fs::path>& links) {
  std::error_code ec;
  const fs::path root = fs::absolute(folder, ec);
  if (ec) return false;
  for (const auto& link : links) {
    const auto top = Resolve(root / *link.begin());
    const auto end = Resolve(root / link);
    if (!top || !end || !IsWithin(*end, *top)) return false;
  }
  return true;
}

bool ThroughLink(const fs::path& relative, const std::vector<fs::path>& links) {
  return std::any_of(links.begin(), links.end(),
                     [&](const fs::path& link) { return IsWithin(relative, link); });
}

bool IsLoadableBundle(const fs::path& bundle) {
  constexpr std::uintmax_t MaxInfoSize = 64 * 1024;
  std::error_code ec;
  const fs::path infoFile = bundle / "Info.json";
  const auto size = fs::is_regular_file(infoFile, ec) ? fs::file_size(infoFile, ec) : 0;
  if (ec || size == 0 || size > MaxInfoSize) return false;
  std::string bytes(size, '\0');
  std::ifstream in(infoFile, std::ios::binary);
  if (!in.read(bytes.data(), static_cast<std::streamsize>(size))) return false;
  const JSON info = JSON::Parse(bytes);
  const auto text = [&info](const char* key) {
    const JSON value = info[key];
    return value.type() == JSON::Type::string ? value.stringValue() : std::string();
  };
  const fs::path library = text("library");
  if (text("principalClass").empty() || library.empty() || library.has_parent_path()) return false;
  return fs::is_regular_file(bundle / library, ec);
}

}  // namespace vorelia
