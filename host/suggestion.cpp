#include "suggestion.h"

#include <algorithm>
#include <cctype>

namespace vorelia::host {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }

// Edits (insert, delete, replace, swap of neighbours) that turn a into b, letter case ignored.
std::size_t distance(const std::string& a, const std::string& b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = lower(a[i - 1]) == lower(b[j - 1]) ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && lower(a[i - 1]) == lower(b[j - 2]) &&
          lower(a[i - 2]) == lower(b[j - 1])) {
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
      }
    }
  }
  return d[a.size()][b.size()];
}

}  // namespace

std::string didYouMean(const std::string& given, const std::vector<std::string>& known) {
  // Names are short; a long input is no near miss of any of them.
  if (given.size() > 200) return "";
  const std::string* best = nullptr;
  std::size_t bestDistance = 0;
  for (const std::string& name : known) {
    const std::size_t d = distance(given, name);
    if (best == nullptr || d < bestDistance) {
      best = &name;
      bestDistance = d;
    }
  }
  const std::size_t allowed = 1 + std::min<std::size_t>(given.size(), 12) / 5;
  if (best == nullptr || bestDistance > allowed) return "";
  return " (did you mean \"" + *best + "\"?)";
}

std::string listOf(const std::vector<std::string>& names) {
  if (names.empty()) return "none";
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : ", ") + name;
  return text;
}

}  // namespace vorelia::host
