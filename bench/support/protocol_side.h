// The protocol's own limit: exactly the requests a publication needs per file, the Put Blob and
// then its encoding request, four files at a time over one libcurl connection pool with keep-alive,
// and nothing of the plugin around them.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "support/side_by_side.h"

namespace vorelia::bench {

// Sends each file of the gallery to its reserved resource (Put Blob, as the plugin sends it) and,
// once stored, the resource back to apiRoot's encoding route (compact, as the plugin sends it),
// four files at a time. Returns the wall time in seconds, or a negative number when a file was
// not stored or its encoding request not accepted.
double publishRequestsWithCurl(const std::string& apiRoot, const BenchAccount& account,
                               const nlohmann::json& reservation, const Gallery& gallery);

}  // namespace vorelia::bench
