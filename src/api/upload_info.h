// UploadInfo: one exported file on its way into an album.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "model/json.h"

namespace vorelia {

struct UploadInfo {
  std::string FilePath;  // the exported file on the local disk
  std::uint64_t FileSize = 0;
  std::string ItemName;  // the escaped file name; part of the blob path
  std::string ContainerName;
  std::string ContainerId;
  // The resource the service reserved for this file: "id", "sas" and members sent back unchanged
  // when encoding is triggered. Present before the upload starts.
  std::optional<JSON> UploadResource;
};

}  // namespace vorelia
