// Time of regexMatches on the plugin's two patterns: ordinary input, 100,000-character input that
// matches or fails, and a catastrophic pattern that the work bound stops. Each call compiles its
// pattern, as the plugin's calls do.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/regex_predicate.h"

namespace vorelia {
namespace {

constexpr const char* kEmail =
    R"re((?:[a-zA-Z0-9!#$%\&'*+/=?\^_`{|}~-]+(?:\.[a-zA-Z0-9!#$%\&'*+/=?\^_`{|}~-]+)*|"(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21\x23-\x5b\x5d-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])*")@(?:(?:[a-z0-9](?:[a-z0-9-]*[a-z0-9])?\.)+[a-z0-9](?:[a-z0-9-]*[a-z0-9])?|\[(?:(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?)\.){3}(?:25[0-5]|2[0-4][0-9]|[01]?[0-9][0-9]?|[a-z0-9-]*[a-z0-9]:(?:[\x01-\x08\x0b\x0c\x0e-\x1f\x21-\x5a\x53-\x7f]|\\[\x01-\x09\x0b\x0c\x0e-\x7f])+)\]))re";
constexpr const char* kAccountName = "^(?=.{2,100}$)[a-zA-Z0-9](?:[a-zA-Z0-9_-]*[a-zA-Z0-9])?$";

void run(benchmark::State& state, const std::string& text, const char* pattern, bool expected) {
  for (auto _ : state) {
    const bool matched = platform::regexMatches(text, pattern);
    if (matched != expected) state.SkipWithError("unexpected answer");
    benchmark::DoNotOptimize(matched);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}

void EmailOrdinary(benchmark::State& state) {
  run(state, "first.last+tag@mail.example.com", kEmail, true);
}
void EmailLongAccepted(benchmark::State& state) {
  run(state, std::string(100000, 'a') + "@example.com", kEmail, true);
}
void EmailLongRejected(benchmark::State& state) {
  run(state, std::string(100000, 'a') + "!", kEmail, false);
}
void EmailManyGroups(benchmark::State& state) {
  std::string text;
  for (int i = 0; i < 50000; ++i) text += "a.";
  run(state, text + "a@example.com", kEmail, true);
}
void AccountNameOrdinary(benchmark::State& state) {
  run(state, "My-Account-42", kAccountName, true);
}
void AccountNameLongRejected(benchmark::State& state) {
  run(state, std::string(100000, 'a') + "!", kAccountName, false);
}
void CatastrophicPatternStopped(benchmark::State& state) {
  run(state, std::string(40, 'a') + "!", "^(a+)+$", false);
}

BENCHMARK(EmailOrdinary);
BENCHMARK(EmailLongAccepted);
BENCHMARK(EmailLongRejected);
BENCHMARK(EmailManyGroups);
BENCHMARK(AccountNameOrdinary);
BENCHMARK(AccountNameLongRejected);
BENCHMARK(CatastrophicPatternStopped)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace vorelia
