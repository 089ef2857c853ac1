#include "platform/regex_predicate.h"

#include <gtest/gtest.h>

#include <string>

namespace vorelia::platform {
namespace {

// Two patterns of the everyday kind: a simple e-mail address and an account name. (The plugin's
// own patterns are checked with the plugin.)
constexpr const char* kEmail =
    "^[_A-Za-z0-9-+]+(\\.[_A-Za-z0-9-+]+)*@[A-Za-z0-9-]+(\\.[A-Za-z0-9]+)*(\\.[A-Za-z]{2,})$";
constexpr const char* kAccountName = "^[a-zA-Z0-9-]*$";

TEST(RegexPredicate, MatchesTheWholeTextCaseInsensitivelyAndRefusesWhatItCannotRead) {
  const std::string letters(100000, 'a');
  std::string dashes;
  std::string dots;
  for (int i = 0; i < 50000; ++i) {
    dashes += "a-";
    dots += "a.";
  }
  const struct {
    std::string text;
    std::string pattern;
    bool matches;
  } cases[] = {
      {"first_last+tag@mail.example.org", kEmail, true},
      {"user@example.com\n", kEmail, false},  // '$' alone would accept the final newline
      {"", kAccountName, true},
      {std::string("ab\0c", 4), kAccountName, false},
      {"ABC", "^[a-z]+$", true},
      {"\xc3\x89T\xc3\x89", "^\xc3\xa9t\xc3\xa9$", true},
      {"abc", "([a-z", false},          // invalid pattern
      {"ab\xff", kAccountName, false},  // text that is not UTF-8
      {"\xc3\x28", "^.*$", false},      // truncated sequence
      {"abc", "^[a-z\xff]+$", false},   // pattern that is not UTF-8
      // Very long texts: linear work stays within the bound, runaway backtracking ends as no match.
      {letters + "@example.com", kEmail, true},
      {"user@" + letters + ".com!", kEmail, false},
      {dots + "a@example.com", kEmail, true},  // 50,000 repetitions of a group
      {dashes, kAccountName, true},
      {dashes + "!", kAccountName, false},
      {letters.substr(0, 40) + "!", "^(a+)+$", false},
      {letters + "!", "^(a|aa)*$", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("text of " + std::to_string(c.text.size()) + " starting \"" +
                 c.text.substr(0, 12) + "\" pattern \"" + c.pattern + "\"");
    EXPECT_EQ(regexMatches(c.text, c.pattern), c.matches);
  }
}

}  // namespace
}  // namespace vorelia::platform
