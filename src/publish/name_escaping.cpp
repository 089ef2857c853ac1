#include "publish/name_escaping.h"

#include <array>
#include <utility>

namespace vorelia {
namespace {

constexpr std::array<std::pair<std::string_view, std::string_view>, 10> Codes = {{
    {"&", "_1_"},
    {" ", "___"},
    {"%", "_3_"},
    {"\\", "_4_"},
    {"\"", "_5_"},
    {"/", "_6_"},
    {"~", "_7_"},
    {"+", "_8_"},
    {"?", "_9_"},
    {"'", "_a_"},
}};

std::string ReplaceAll(std::string_view text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t start = 0;
  for (std::size_t found; (found = text.find(from, start)) != std::string_view::npos;
       start = found + from.size()) {
    out.append(text.substr(start, found - start));
    out.append(to);
  }
  out.append(text.substr(start));
  return out;
}

}  // namespace

std::string voreliaEscape(std::string_view name) {
  std::string text(name);
  for (const auto& [character, code] : Codes) text = ReplaceAll(text, character, code);
  return text;
}

std::string voreliaUnescape(std::string_view name) {
  std::string text(name);
  for (const auto& [character, code] : Codes) text = ReplaceAll(text, code, character);
  return text;
}

}  // namespace vorelia
