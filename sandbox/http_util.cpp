#include "sandbox/http_util.h"

#include <algorithm>
#include <cctype>

namespace vorelia::sandbox {
namespace {

int hexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

char lowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

Target splitTarget(std::string_view target) {
  const auto mark = target.find('?');
  if (mark == std::string_view::npos) return {std::string(target), {}};
  return {std::string(target.substr(0, mark)), std::string(target.substr(mark + 1))};
}

std::string percentDecode(std::string_view text, bool plusAsSpace) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int high = hexValue(text[i + 1]);
      const int low = hexValue(text[i + 2]);
      if (high >= 0 && low >= 0) {
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
        continue;
      }
    }
    out.push_back(plusAsSpace && c == '+' ? ' ' : c);
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> parseForm(std::string_view text) {
  std::vector<std::pair<std::string, std::string>> pairs;
  while (!text.empty()) {
    const auto end = text.find('&');
    const std::string_view pair = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (pair.empty()) continue;
    const auto equals = pair.find('=');
    if (equals == std::string_view::npos) {
      pairs.emplace_back(percentDecode(pair, true), std::string{});
    } else {
      pairs.emplace_back(percentDecode(pair.substr(0, equals), true),
                         percentDecode(pair.substr(equals + 1), true));
    }
  }
  return pairs;
}

std::optional<std::string> formValue(const std::vector<std::pair<std::string, std::string>>& form,
                                     std::string_view name) {
  for (const auto& [key, value] : form) {
    if (key == name) return value;
  }
  return std::nullopt;
}

std::vector<std::string> pathSegments(std::string_view rawPath) {
  if (!rawPath.empty() && rawPath.front() == '/') rawPath.remove_prefix(1);
  std::vector<std::string> segments;
  while (true) {
    const auto slash = rawPath.find('/');
    segments.push_back(percentDecode(rawPath.substr(0, slash), false));
    if (slash == std::string_view::npos) break;
    rawPath.remove_prefix(slash + 1);
  }
  return segments;
}

bool equalsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return lowerAscii(x) == lowerAscii(y);
         });
}

std::string toLower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), lowerAscii);
  return out;
}

std::optional<std::string> bearerToken(const httplib::Request& request) {
  if (!request.has_header("Authorization")) return std::nullopt;
  const std::string value = request.get_header_value("Authorization");
  constexpr std::string_view kScheme = "bearer";
  if (value.size() <= kScheme.size() ||
      !equalsIgnoreCase(std::string_view(value).substr(0, kScheme.size()), kScheme) ||
      value[kScheme.size()] != ' ') {
    return std::nullopt;
  }
  const auto start = value.find_first_not_of(' ', kScheme.size());
  if (start == std::string::npos) return std::nullopt;
  const auto end = value.find_last_not_of(' ');
  return value.substr(start, end - start + 1);
}

std::optional<nlohmann::json> parseJsonBody(const httplib::Request& request) {
  auto parsed = nlohmann::json::parse(request.body, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}

std::string dumpJson(const nlohmann::json& value) {
  return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void sendJson(httplib::Response& response, int status, const nlohmann::json& body) {
  response.status = status;
  response.set_content(dumpJson(body), "application/json; charset=utf-8");
}

void sendError(httplib::Response& response, int status, std::string_view message) {
  sendJson(response, status, {{"hasError", true}, {"message", message}});
}

}  // namespace vorelia::sandbox
