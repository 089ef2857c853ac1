#include "platform/dispatch.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/wait.h"

namespace vorelia::platform {
namespace {

using std::chrono::milliseconds;
using testing::waitUntil;

TEST(MainQueue, DrainRunsWorkInOrderIncludingWorkQueuedWhileDraining) {
  MainQueue& queue = MainQueue::shared();
  queue.drain();
  std::vector<int> order;
  queue.async([&] {
    order.push_back(1);
    queue.async([&] { order.push_back(3); });
  });
  queue.async([&] { order.push_back(2); });
  EXPECT_EQ(queue.drain(), 3u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(queue.drain(), 0u);
}

// Every piece of work but the last blocks until the last one runs, as completions do that wait
// for a nested request. A pool with a fixed number of threads would deadlock here.
void expectBlockedWorkNeverStarvesLaterWork(CompletionPool& pool, const char* which) {
  constexpr int kPieces = 32;
  DispatchSemaphore release;
  std::atomic<int> finished{0};
  std::atomic<bool> onCaller{false};
  const auto caller = std::this_thread::get_id();
  for (int i = 0; i < kPieces; ++i) {
    pool.async([&, i] {
      if (std::this_thread::get_id() == caller) onCaller = true;
      if (i == kPieces - 1) {
        for (int j = 0; j < kPieces - 1; ++j) release.signal();
      } else {
        release.wait();
      }
      ++finished;
    });
  }
  EXPECT_TRUE(waitUntil([&] { return finished == kPieces; })) << which << ": " << finished;
  EXPECT_FALSE(onCaller) << which;
}

TEST(CompletionPool, BlockedWorkNeverStarvesLaterWorkIdleThreadsEndAndTheDestructorJoinsTheRest) {
  expectBlockedWorkNeverStarvesLaterWork(CompletionPool::shared(), "shared pool");
  CompletionPool local;
  expectBlockedWorkNeverStarvesLaterWork(local, "local pool");
  std::atomic<int> ran{0};
  {
    CompletionPool pool(milliseconds(30));
    pool.async([&] { ++ran; });
    ASSERT_TRUE(waitUntil([&] { return ran == 1; }));
    EXPECT_TRUE(waitUntil([&] { return pool.threadCount() == 0; }));

    // The pool still works after its threads ended, and an exception ends only its own piece.
    pool.async([] { throw std::runtime_error("completion failed"); });
    pool.async([&] { ++ran; });
    EXPECT_TRUE(waitUntil([&] { return ran == 2; }));

    DispatchSemaphore gate;
    pool.async([&] {
      gate.wait();
      ++ran;
    });
    gate.signal();
  }  // the destructor waits for the blocked piece
  EXPECT_EQ(ran, 3);
}

// Delayed work runs once and not before its time (in any order: on different threads), without a
// thread held per piece; work still waiting when the pool goes runs then, never not at all.
TEST(CompletionPool, DelayedWorkRunsOnceAfterItsDelayOrWhenThePoolEnds) {
  std::mutex mutex;
  std::vector<int> order;  // guarded by mutex
  std::atomic<int> early{0};
  const auto record = [&](int which, std::chrono::steady_clock::time_point notBefore) {
    return [&, which, notBefore] {
      if (std::chrono::steady_clock::now() < notBefore) ++early;
      std::scoped_lock lock(mutex);
      order.push_back(which);
    };
  };
  {
    CompletionPool pool(milliseconds(30));
    const auto now = std::chrono::steady_clock::now();
    pool.asyncAfter(milliseconds(120), record(3, now + milliseconds(120)));
    pool.asyncAfter(milliseconds(60), record(2, now + milliseconds(60)));
    pool.asyncAfter(milliseconds(0), record(1, now));
    ASSERT_TRUE(waitUntil([&] {
      std::scoped_lock lock(mutex);
      return order.size() == 3;
    }));
    EXPECT_TRUE(waitUntil([&] { return pool.threadCount() == 0; })) << "the timer thread idles out";
    pool.asyncAfter(std::chrono::hours(1), record(4, now));
  }
  std::sort(order.begin(), order.begin() + 3);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3, 4}));
  EXPECT_EQ(early, 0);
}

}  // namespace
}  // namespace vorelia::platform
