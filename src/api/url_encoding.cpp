#include "api/url_encoding.h"

#include <cctype>

namespace vorelia {
namespace {

bool IsAsciiAlphanumeric(unsigned char c) { return c < 0x80 && std::isalnum(c); }

void AppendEscaped(std::string& out, unsigned char c) {
  static constexpr char hex[] = "0123456789ABCDEF";
  out.push_back('%');
  out.push_back(hex[c >> 4]);
  out.push_back(hex[c & 0xF]);
}

// Every byte outside the allowed set becomes %XX.
std::string PercentEncodeOutside(std::string_view text, std::string_view allowed) {
  std::string out;
  out.reserve(text.size() * 3);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsAsciiAlphanumeric(c) || allowed.find(ch) != std::string_view::npos) {
      out.push_back(ch);
    } else {
      AppendEscaped(out, c);
    }
  }
  return out;
}

}  // namespace

std::string FormEncode(std::string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  for (const char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (IsAsciiAlphanumeric(c) || c == '*' || c == '-' || c == '.' || c == '_') {
      out.push_back(ch);
    } else if (c == ' ') {
      out.push_back('+');
    } else {
      AppendEscaped(out, c);
    }
  }
  return out;
}

std::string PercentEncodeHostAllowed(std::string_view text) {
  return PercentEncodeOutside(text, "!$&'()*+,-.:;=[]_~");
}

std::string PercentEncodePathAllowed(std::string_view text) {
  return PercentEncodeOutside(text, "!$&'()*+,-./:;=@_~");
}

std::string AlbumPathSegment(std::string_view name) {
  // "&" and "'" are single bytes that never occur inside a multi-byte UTF-8 character, so
  // replacing bytes replaces exactly those characters.
  std::string spaced(name);
  for (char& ch : spaced) {
    if (ch == '&' || ch == '\'') ch = ' ';
  }
  return PercentEncodeHostAllowed(spaced);
}

}  // namespace vorelia
