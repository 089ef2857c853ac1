// Percent-encoding for the two places the client builds encoded text itself: form bodies and the
// album name path segment.
#pragma once

#include <string>
#include <string_view>

namespace vorelia {

// application/x-www-form-urlencoded value encoding: ASCII letters, digits and "*-._" stay, a space
// becomes "+", every other byte of the UTF-8 text becomes %XX.
std::string FormEncode(std::string_view text);

// Encoding with the set of characters allowed in a URL host: ASCII letters, digits and
// "!$&'()*+,-.:;=[]_~" stay, every other byte of the UTF-8 text becomes %XX (a space is "%20").
std::string PercentEncodeHostAllowed(std::string_view text);

// The path segment of an album name: "&" and "'" become spaces, then host-allowed encoding.
std::string AlbumPathSegment(std::string_view name);

}  // namespace vorelia
