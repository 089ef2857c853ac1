#include "publish/name_escaping.h"

#include <algorithm>
#include <array>
#include <optional>
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

// The underscore-free name whose escape is text, if there is one. Every underscore of such an
// escape belongs to a code, so reading codes from left to right finds the name.
std::optional<std::string> EscapedNameWithoutUnderscore(std::string_view text) {
  std::string name;
  name.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto code = std::find_if(Codes.begin(), Codes.end(), [&](const auto& entry) {
      return text.substr(i, entry.second.size()) == entry.second;
    });
    if (code == Codes.end()) {
      // An underscore outside a code, or a character the escape would have replaced.
      if (text[i] == '_' || std::any_of(Codes.begin(), Codes.end(), [&](const auto& entry) {
            return entry.first.front() == text[i];
          })) {
        return std::nullopt;
      }
      name.push_back(text[i++]);
      continue;
    }
    name.append(code->first);
    i += code->second.size();
  }
  return name;
}

}  // namespace

std::string voreliaEscape(std::string_view name) {
  std::string text(name);
  for (const auto& [character, code] : Codes) text = ReplaceAll(text, character, code);
  return text;
}

std::string voreliaUnescape(std::string_view name) {
  // Replacing code by code, in table order, can join the end of one code with what follows into
  // another ("100% 1" escapes to "100_3____1", whose "___" would be read first): a name that is
  // the escape of an underscore-free name is read back as that name.
  if (auto original = EscapedNameWithoutUnderscore(name)) return std::move(*original);
  std::string text(name);
  for (const auto& [character, code] : Codes) text = ReplaceAll(text, code, character);
  return text;
}

}  // namespace vorelia
