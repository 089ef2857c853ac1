// Percent-encoding for the places the client builds encoded text itself: form bodies, the album
// name path segment and the item name in a blob address.
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

// A name inside a URL path, as Azure Storage reads blob names: the characters that may stand in a
// path (ASCII letters, digits, "!$&'()*+,-./:;=@_~") stay, every other byte of the UTF-8 text
// becomes %XX: "#", "%", "?", controls, spaces and non-ASCII bytes among them. A name of path
// characters only comes back unchanged.
std::string PercentEncodePathAllowed(std::string_view text);

// The path segment of an album name: "&" and "'" become spaces, then host-allowed encoding.
std::string AlbumPathSegment(std::string_view name);

}  // namespace vorelia
