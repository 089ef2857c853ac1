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

struct Case {
  std::string text;
  std::string pattern;
  bool matches;
};

TEST(RegexPredicate, MatchesTheWholeTextCaseInsensitively) {
  const Case cases[] = {
      {"a@b.co", kEmail, true},
      {"first.last@example.com", kEmail, true},
      {"first_last+tag@mail.example.org", kEmail, true},
      {"Upper-Case@EXAMPLE.COM", kEmail, true},
      {"user@my-host.example.museum", kEmail, true},
      {"1@2.ab", kEmail, true},
      {"", kEmail, false},
      {"plain", kEmail, false},
      {"@example.com", kEmail, false},
      {"user@", kEmail, false},
      {"user@example", kEmail, false},
      {"user@example.c", kEmail, false},
      {"user@example.c0m", kEmail, false},
      {"user name@example.com", kEmail, false},
      {"user@exa_mple.com", kEmail, false},
      {"user@example..com", kEmail, false},
      {".user@example.com", kEmail, false},
      {"user.@example.com", kEmail, false},
      {"user@@example.com", kEmail, false},
      {"us\xc3\xa9r@example.com", kEmail, false},
      {"user@example.com ", kEmail, false},
      {"user@example.com\n", kEmail, false},  // '$' alone would accept the final newline
      {"xuser@example.com&=+ %", kEmail, false},
      {"", kAccountName, true},
      {"abc", kAccountName, true},
      {"My-Account-42", kAccountName, true},
      {"a b", kAccountName, false},
      {"a_b", kAccountName, false},
      {"a.b", kAccountName, false},
      {"caf\xc3\xa9", kAccountName, false},
      {"abc!", kAccountName, false},
      {std::string("ab\0c", 4), kAccountName, false},
      {"ABC", "^[a-z]+$", true},
      {"\xc3\x89T\xc3\x89", "^\xc3\xa9t\xc3\xa9$", true},
      {"abc", "([a-z", false},          // invalid pattern
      {"ab\xff", kAccountName, false},  // text that is not UTF-8
      {"\xc3\x28", "^.*$", false},      // truncated sequence
      {"abc", "^[a-z\xff]+$", false},   // pattern that is not UTF-8
  };
  for (const auto& c : cases) {
    EXPECT_EQ(regexMatches(c.text, c.pattern), c.matches)
        << "text \"" << c.text << "\" pattern \"" << c.pattern << "\"";
  }
}

TEST(RegexPredicate, VeryLongTextGivesAnAnswerWithoutCrashing) {
  const std::string letters(100000, 'a');
  std::string dashes;
  std::string dots;
  for (int i = 0; i < 50000; ++i) {
    dashes += "a-";
    dots += "a.";
  }
  const Case cases[] = {
      {letters + "!", kEmail, false},
      {letters + "@example.com", kEmail, true},  // linear work stays within the bound
      {"user@" + letters + ".com!", kEmail, false},
      {dots + "a@example.com", kEmail, true},  // 50,000 repetitions of a group
      {letters + "!", kAccountName, false},
      {dashes, kAccountName, true},
      {dashes + "!", kAccountName, false},
      {letters.substr(0, 40) + "!", "^(a+)+$", false},  // catastrophic backtracking
      {letters + "!", "^(a|aa)*$", false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(regexMatches(c.text, c.pattern), c.matches)
        << "text of " << c.text.size() << " characters starting \"" << c.text.substr(0, 12)
        << "\" ending \"" << c.text.substr(c.text.size() - 6) << "\" pattern \"" << c.pattern
        << "\"";
  }
}

}  // namespace
}  // namespace vorelia::platform
