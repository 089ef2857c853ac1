// Which URLs a session may talk to, how they appear in messages, and how libcurl's results map to
// URLError. Pure functions, callable from any thread.
#pragma once

#include <curl/curl.h>

#include <string>
#include <string_view>
#include <variant>

#include "platform/url_session.h"

namespace vorelia::platform::net {

// A URL the session may request: it parses, and it is https, or http to a loopback host.
struct CheckedURL {
  std::string redacted;  // for messages: scheme://host[:port]/path
  bool https = false;
  bool loopback = false;
};

// Returns the checked URL, or the badURL error that ends a task before anything is sent.
std::variant<CheckedURL, URLError> checkURL(const std::string& url);

// Whether a redirect from the absolute URL `from` to `location` (a Location header's value,
// possibly relative) may be followed: never from https to http, and http only to loopback.
// A location that does not parse is left to libcurl, which fails on it.
bool redirectAllowed(const std::string& from, const std::string& location);

// ASCII case-insensitive equality, for header field names and schemes.
bool equalsIgnoringCase(std::string_view a, std::string_view b);

// 127.0.0.0/8, ::1 (bracketed or not), localhost.
bool isLoopbackHost(std::string host);

// Whether `code` ends a connection that was refused or reset (not one that timed out): worth
// trying again when no answer had begun.
bool isConnectionFailure(CURLcode code);

// The error for a transfer that ended with `code` (not CURLE_OK). redacted names the request.
URLError errorForCurlCode(CURLcode code, const std::string& redacted);

}  // namespace vorelia::platform::net
