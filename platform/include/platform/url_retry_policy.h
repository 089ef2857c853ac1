// When a URL session sends a request again after a transient failure, and how long it waits
// first. A session applies its policy only to requests that allow it
// (URLRequest::retryTransientFailures): those that are safe to send twice.
//
// Transient: a connection that failed before any answer arrived (refused, reset, timed out), or
// an answer with status 408, 429, 500, 502, 503 or 504. Every other status is final. The wait
// doubles from baseDelay with each retry, scaled by a jitter between 0.8 and 1.2 so that clients
// failed together do not come back together; an answer's "Retry-After" (delta-seconds or an
// HTTP date) replaces it, capped at maxRetryAfter.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace vorelia::platform {

struct URLRetryPolicy {
  int maxRetries = 3;
  std::chrono::milliseconds baseDelay{800};  // before the first retry; doubled for each next one
  std::chrono::milliseconds maxRetryAfter{std::chrono::seconds(30)};

  // How one attempt ended, as far as the policy looks at it.
  struct Attempt {
    long status = 0;                        // of the answer; 0 when none began
    bool connectionFailed = false;          // refused, reset or timed out
    std::optional<std::string> retryAfter;  // the answer's "Retry-After" field
  };

  // The wait before the next attempt, after retriesDone retries were made; nothing when the
  // attempt's outcome is final. jitter is taken from [0, 1); now is the wall clock, for an
  // HTTP-date "Retry-After". Pure.
  std::optional<std::chrono::milliseconds> delayAfter(
      int retriesDone, const Attempt& attempt, double jitter,
      std::chrono::system_clock::time_point now) const;

  // The base delay of the default configuration: VORELIA_RETRY_BASE_DELAY_MS when it holds a
  // whole number of milliseconds, else 800 ms. The variable is read once per process.
  static std::chrono::milliseconds defaultBaseDelay();
};

}  // namespace vorelia::platform
