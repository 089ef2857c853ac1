// Waiting for one asynchronous completion on the calling thread.
#pragma once

#include <utility>

#include "platform/dispatch.h"

namespace vorelia {

// Calls start with a completion, then blocks until that completion has run once, and returns the
// value it was given. REQUIRES: the completion runs on another thread (every Api completion does).
template <typename Result, typename Start>
Result Await(Start&& start) {
  platform::DispatchSemaphore done(0);
  Result result{};
  std::forward<Start>(start)([&result, &done](Result value) {
    result = std::move(value);
    done.signal();
  });
  done.wait();
  return result;
}

}  // namespace vorelia
