#include "platform/url_retry_policy.h"

#include <curl/curl.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace vorelia::platform {
namespace {

using std::chrono::milliseconds;

bool isTransientStatus(long status) {
  switch (status) {
    case 408:
    case 429:
    case 500:
    case 502:
    case 503:
    case 504:
      return true;
    default:
      return false;
  }
}

std::string_view trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// A non-negative whole number, or nothing.
std::optional<std::int64_t> wholeNumber(std::string_view text) {
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || error != std::errc{} || end != text.data() + text.size() || value < 0) {
    return std::nullopt;
  }
  return value;
}

// The wait a "Retry-After" value asks for: delta-seconds, or an HTTP date (a date in the past
// asks for none). Nothing when the value is neither; longer waits than cap are cut to cap.
std::optional<milliseconds> retryAfterWait(std::string_view value,
                                           std::chrono::system_clock::time_point now,
                                           milliseconds cap) {
  value = trimmed(value);
  if (value.empty()) return std::nullopt;
  if (std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    // Too many digits to count is longer than any cap.
    const auto seconds = wholeNumber(value);
    if (!seconds || *seconds > cap.count() / 1000) return cap;
    return std::min<milliseconds>(std::chrono::seconds(*seconds), cap);
  }
  const time_t date = curl_getdate(std::string(value).c_str(), nullptr);
  if (date == -1) return std::nullopt;
  const auto wait =
      std::chrono::ceil<milliseconds>(std::chrono::system_clock::from_time_t(date) - now);
  return std::clamp(wait, milliseconds::zero(), cap);
}

}  // namespace

std::optional<milliseconds> URLRetryPolicy::delayAfter(
    int retriesDone, const Attempt& attempt, double jitter,
    std::chrono::system_clock::time_point now) const {
  if (retriesDone >= maxRetries || attempt.timedOut) return std::nullopt;
  const bool unanswered = attempt.status < 200;
  if (!isTransientStatus(attempt.status) && !(unanswered && attempt.connectionFailed)) {
    return std::nullopt;
  }
  std::optional<milliseconds> wait;
  if (attempt.retryAfter) wait = retryAfterWait(*attempt.retryAfter, now, maxRetryAfter);
  if (!wait) {
    const double factor = 0.8 + 0.4 * std::clamp(jitter, 0.0, 1.0);
    const double doubled = std::ldexp(static_cast<double>(baseDelay.count()), retriesDone);
    wait = milliseconds(std::llround(doubled * factor));
  }
  // A wait that ends at the deadline would leave the next attempt no time at all.
  if (*wait >= attempt.timeLeft) return std::nullopt;
  return wait;
}

milliseconds URLRetryPolicy::defaultBaseDelay() {
  static const milliseconds delay = baseDelayFrom(std::getenv("VORELIA_RETRY_BASE_DELAY_MS"));
  return delay;
}

milliseconds URLRetryPolicy::baseDelayFrom(const char* text) {
  const milliseconds standard = URLRetryPolicy{}.baseDelay;
  const auto value = text ? wholeNumber(trimmed(text)) : std::nullopt;
  return value && *value <= standard.count() ? milliseconds(*value) : standard;
}

}  // namespace vorelia::platform
