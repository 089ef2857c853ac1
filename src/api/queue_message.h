// The text of a storage queue message: the usage record as pretty-printed JSON, Base64-encoded and
// wrapped in the Put Message envelope.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "model/json.h"

namespace vorelia {

// The Content-Type of a Put Message body.
inline constexpr std::string_view QueueMessageContentType = "application/xml; charset=utf-8";

// Standard Base64 (RFC 4648 alphabet, with padding, no line breaks).
std::string Base64Encode(std::string_view bytes);

// "<QueueMessage><MessageText>" + Base64 of the payload's pretty-printed JSON +
// "</MessageText></QueueMessage>". Absent when the payload cannot be serialised (not an object or
// an array, or text that is not UTF-8).
std::optional<std::string> QueueMessageBody(const JSON& payload);

}  // namespace vorelia
