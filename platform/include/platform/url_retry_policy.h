// When a URL session sends a request again after a transient failure, and how long it waits
// first. A session applies its policy only to requests that allow it
// (URLRequest::retryTransientFailures): those that are safe to send twice.
//
// Transient: a connection that failed before any answer arrived (refused or reset), or an answer
// with status 408, 429, 500, 502, 503 or 504. Every other status is final, and so is a time-out:
// a request that got no answer in time is not sent again, so that a stalled service costs its
// caller one time-out, not four. The wait doubles from baseDelay with each retry, scaled by a
// jitter between 0.8 and 1.2 so that clients failed together do not come back together; an
// answer's "Retry-After" (delta-seconds or an HTTP date) replaces it, capped at maxRetryAfter. No
// retry is made whose wait would not end before the request's own deadline.
#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace vorelia::platform {

struct URLRetryPolicy {
  int maxRetries = 3;
  std::chrono::milliseconds baseDelay{800};  // before the first retry; doubled for each next one
  std::chrono::milliseconds maxRetryAfter{std::chrono::seconds(30)};

  // How one attempt ended, as far as the policy looks at it, and the time its request has left.
  struct Attempt {
    long status = 0;                        // of the answer; 0 when none began
    bool connectionFailed = false;          // refused or reset
    bool timedOut = false;                  // no answer, or not all of it, within the time-out
    std::optional<std::string> retryAfter;  // the answer's "Retry-After" field
    // Until the request's deadline (all attempts and waits together).
    std::chrono::milliseconds timeLeft = std::chrono::milliseconds::max();
  };

  // The wait before the next attempt, after retriesDone retries were made; nothing when the
  // attempt's outcome is final. jitter is taken from [0, 1); now is the wall clock, for an
  // HTTP-date "Retry-After". Pure.
  std::optional<std::chrono::milliseconds> delayAfter(
      int retriesDone, const Attempt& attempt, double jitter,
      std::chrono::system_clock::time_point now) const;

  // The base delay of the default configuration: baseDelayFrom(VORELIA_RETRY_BASE_DELAY_MS), the
  // variable read once per process.
  static std::chrono::milliseconds defaultBaseDelay();
  // The text's whole number of milliseconds when it is at most the default 800 ms (tests shorten
  // the wait; nothing lengthens it), else 800 ms; also for no text.
  static std::chrono::milliseconds baseDelayFrom(const char* text);
};

}  // namespace vorelia::platform
