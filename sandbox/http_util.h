// Small pieces of HTTP shared by the service routes, the admin routes and the server frame.
#pragma once

#include <httplib.h>

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorelia::sandbox {

// A request target as it arrived, split at the first '?'. Neither part is decoded.
struct Target {
  std::string path;
  std::string query;
};
Target splitTarget(std::string_view target);

// Decodes %XX escapes (a malformed escape stays as it is); with plusAsSpace, '+' becomes a space
// (form and query encoding). Never fails.
std::string percentDecode(std::string_view text, bool plusAsSpace);

// Splits application/x-www-form-urlencoded text (also a query) into decoded name/value pairs, in
// order. A pair without '=' has an empty value; empty pairs are skipped.
std::vector<std::pair<std::string, std::string>> parseForm(std::string_view text);

// The value of the first pair named name, if any.
std::optional<std::string> formValue(const std::vector<std::pair<std::string, std::string>>& form,
                                     std::string_view name);

// The percent-decoded segments of a raw path, without the leading '/'. "/a/b%2Fc/" gives
// {"a", "b/c", ""}: a trailing slash leaves an empty last segment.
std::vector<std::string> pathSegments(std::string_view rawPath);

// ASCII case-insensitive comparison and lowering (other bytes compare and stay as they are).
bool equalsIgnoreCase(std::string_view a, std::string_view b);
std::string toLower(std::string_view text);

// The token of an "Authorization: Bearer <token>" header; the scheme is matched without regard to
// case. Empty when the header is missing, has another scheme or carries no token.
std::optional<std::string> bearerToken(const httplib::Request& request);

// The body parsed as JSON; empty when it is not valid JSON.
std::optional<nlohmann::json> parseJsonBody(const httplib::Request& request);

// Serialises compactly; bytes that are not UTF-8 are replaced rather than thrown on.
std::string dumpJson(const nlohmann::json& value);

// Answers with a JSON body ("application/json; charset=utf-8").
void sendJson(httplib::Response& response, int status, const nlohmann::json& body);

// Answers {"hasError": true, "message": message} with the status.
void sendError(httplib::Response& response, int status, std::string_view message);

}  // namespace vorelia::sandbox
