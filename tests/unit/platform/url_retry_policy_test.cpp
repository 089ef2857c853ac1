#include "platform/url_retry_policy.h"

#include <gtest/gtest.h>

#include <ctime>

namespace vorelia::platform {
namespace {

using std::chrono::milliseconds;

TEST(URLRetryPolicy, RetriesTransientFailuresWithBoundedJitteredBackOffOrTheServersWait) {
  // Sun, 06 Nov 1994 08:49:37 GMT.
  const auto now = std::chrono::system_clock::from_time_t(784111777);
  const URLRetryPolicy policy;  // 800 ms, three retries, Retry-After capped at 30 s
  using Attempt = URLRetryPolicy::Attempt;
  const auto ended = [](long status, bool connectionFailed, bool timedOut,
                        milliseconds timeLeft = milliseconds::max()) {
    return Attempt{status, connectionFailed, timedOut, std::nullopt, timeLeft};
  };
  const Attempt refused = ended(0, true, false);
  const auto busy = [](long status, std::optional<std::string> retryAfter = {},
                       milliseconds timeLeft = milliseconds::max()) {
    return Attempt{status, false, false, std::move(retryAfter), timeLeft};
  };
  const struct {
    Attempt attempt;
    int retriesDone;
    double jitter;
    std::optional<milliseconds> delay;  // nothing: the outcome is final
  } cases[] = {
      // Back-off: doubled per retry, jitter between 0.8 and 1.2 times, three retries at most.
      {busy(503), 0, 0.5, milliseconds(800)},
      {busy(503), 1, 0.5, milliseconds(1600)},
      {busy(503), 2, 0.5, milliseconds(3200)},
      {busy(503), 3, 0.5, {}},
      {busy(503), 0, 0.0, milliseconds(640)},
      {busy(503), 2, 1.0, milliseconds(3840)},
      // Which outcomes are transient.
      {busy(408), 0, 0.5, milliseconds(800)},
      {busy(429), 0, 0.5, milliseconds(800)},
      {busy(500), 0, 0.5, milliseconds(800)},
      {busy(502), 0, 0.5, milliseconds(800)},
      {busy(504), 0, 0.5, milliseconds(800)},
      {refused, 0, 0.5, milliseconds(800)},
      {ended(100, true, false), 1, 0.5, milliseconds(1600)},
      {busy(200), 0, 0.5, {}},
      {busy(400), 0, 0.5, {}},
      {busy(501), 0, 0.5, {}},
      {busy(505), 0, 0.5, {}},
      {ended(200, true, false), 0, 0.5, {}},  // it may have been acted on
      // E.g. a certificate refused: trying again changes nothing.
      {ended(0, false, false), 0, 0.5, {}},
      // No answer in time, or not all of it: the caller has waited its time-out already.
      {ended(0, false, true), 0, 0.5, {}},
      {ended(503, false, true), 0, 0.5, {}},
      // The waits end before the request's deadline, or there is no retry.
      {ended(0, true, false, milliseconds(801)), 0, 0.5, milliseconds(800)},
      {ended(0, true, false, milliseconds(800)), 0, 0.5, {}},
      {busy(503, "5", milliseconds(2000)), 0, 0.5, {}},
      // "Retry-After" replaces the back-off, without jitter, up to the cap.
      {busy(503, "5"), 0, 0.0, milliseconds(5000)},
      {busy(429, " 0 "), 2, 0.0, milliseconds(0)},
      {busy(503, "120"), 0, 0.0, milliseconds(30000)},
      {busy(503, "99999999999999999999999"), 0, 0.0, milliseconds(30000)},
      {busy(503, "Sun, 06 Nov 1994 08:49:47 GMT"), 0, 0.0, milliseconds(10000)},
      {busy(503, "Sunday, 06-Nov-94 08:49:40 GMT"), 0, 0.0, milliseconds(3000)},
      {busy(503, "Sun, 06 Nov 1994 08:00:00 GMT"), 0, 0.0, milliseconds(0)},
      {busy(503, "Mon, 07 Nov 1994 08:49:37 GMT"), 0, 0.0, milliseconds(30000)},
      {busy(503, "soon"), 1, 0.5, milliseconds(1600)},
      {busy(503, ""), 1, 0.5, milliseconds(1600)},
      {busy(503, "1"), 3, 0.5, {}},
      {busy(400, "1"), 0, 0.5, {}},
  };
  for (const auto& c : cases) {
    const Attempt& a = c.attempt;
    SCOPED_TRACE(
        std::to_string(a.status) + (a.connectionFailed ? " after a connection failure" : "") +
        (a.timedOut ? " timed out" : "") + ", " + std::to_string(c.retriesDone) +
        " retries, jitter " + std::to_string(c.jitter) + ", Retry-After " +
        a.retryAfter.value_or("(none)") + ", " + std::to_string(a.timeLeft.count()) + " ms left");
    EXPECT_EQ(policy.delayAfter(c.retriesDone, a, c.jitter, now), c.delay);
  }
}

// The variable only ever shortens the wait, as the time-out override does.
TEST(URLRetryPolicy, BaseDelayFromTheEnvironmentOnlyShortens) {
  const std::pair<const char*, milliseconds> cases[] = {
      {nullptr, milliseconds(800)}, {"1", milliseconds(1)},     {" 0 ", milliseconds(0)},
      {"800", milliseconds(800)},   {"801", milliseconds(800)}, {"60000", milliseconds(800)},
      {"-5", milliseconds(800)},    {"0.5", milliseconds(800)}, {"", milliseconds(800)},
  };
  for (const auto& [text, delay] : cases) {
    EXPECT_EQ(URLRetryPolicy::baseDelayFrom(text), delay) << (text ? text : "(unset)");
  }
}

}  // namespace
}  // namespace vorelia::platform
