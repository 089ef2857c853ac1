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
  const struct {
    long status;
    bool connectionFailed;
    int retriesDone;
    double jitter;
    std::optional<std::string> retryAfter;
    std::optional<milliseconds> delay;  // nothing: the outcome is final
  } cases[] = {
      // Back-off: doubled per retry, jitter between 0.8 and 1.2 times, three retries at most.
      {503, false, 0, 0.5, {}, milliseconds(800)},
      {503, false, 1, 0.5, {}, milliseconds(1600)},
      {503, false, 2, 0.5, {}, milliseconds(3200)},
      {503, false, 3, 0.5, {}, {}},
      {503, false, 0, 0.0, {}, milliseconds(640)},
      {503, false, 2, 1.0, {}, milliseconds(3840)},
      // Which outcomes are transient.
      {408, false, 0, 0.5, {}, milliseconds(800)},
      {429, false, 0, 0.5, {}, milliseconds(800)},
      {500, false, 0, 0.5, {}, milliseconds(800)},
      {502, false, 0, 0.5, {}, milliseconds(800)},
      {504, false, 0, 0.5, {}, milliseconds(800)},
      {0, true, 0, 0.5, {}, milliseconds(800)},
      {100, true, 1, 0.5, {}, milliseconds(1600)},
      {200, false, 0, 0.5, {}, {}},
      {400, false, 0, 0.5, {}, {}},
      {501, false, 0, 0.5, {}, {}},
      {505, false, 0, 0.5, {}, {}},
      {200, true, 0, 0.5, {}, {}},  // lost after the answer began: it may have been acted on
      {0, false, 0, 0.5, {}, {}},   // e.g. a certificate refused: trying again changes nothing
      // "Retry-After" replaces the back-off, without jitter, up to the cap.
      {503, false, 0, 0.0, "5", milliseconds(5000)},
      {429, false, 2, 0.0, " 0 ", milliseconds(0)},
      {503, false, 0, 0.0, "120", milliseconds(30000)},
      {503, false, 0, 0.0, "99999999999999999999999", milliseconds(30000)},
      {503, false, 0, 0.0, "Sun, 06 Nov 1994 08:49:47 GMT", milliseconds(10000)},
      {503, false, 0, 0.0, "Sunday, 06-Nov-94 08:49:40 GMT", milliseconds(3000)},
      {503, false, 0, 0.0, "Sun, 06 Nov 1994 08:00:00 GMT", milliseconds(0)},
      {503, false, 0, 0.0, "Mon, 07 Nov 1994 08:49:37 GMT", milliseconds(30000)},
      {503, false, 1, 0.5, "soon", milliseconds(1600)},
      {503, false, 1, 0.5, "", milliseconds(1600)},
      {503, false, 3, 0.5, "1", {}},
      {400, false, 0, 0.5, "1", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.status) +
                 (c.connectionFailed ? " after a connection failure" : "") + ", " +
                 std::to_string(c.retriesDone) + " retries, jitter " + std::to_string(c.jitter) +
                 ", Retry-After " + c.retryAfter.value_or("(none)"));
    const auto delay = policy.delayAfter(
        c.retriesDone, {c.status, c.connectionFailed, c.retryAfter}, c.jitter, now);
    EXPECT_EQ(delay, c.delay);
  }
}

}  // namespace
}  // namespace vorelia::platform
