// Dispatch primitives: counting semaphore, group, the serial main queue that the host drains, and
// the concurrent completion pool on which asynchronous work calls back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>

namespace vorelia::platform {

// A counting semaphore. wait() takes one unit, blocking while there is none; signal() gives one
// back and wakes one waiter. Any thread may call either.
class DispatchSemaphore {
 public:
  explicit DispatchSemaphore(long value = 0);
  DispatchSemaphore(const DispatchSemaphore&) = delete;
  DispatchSemaphore& operator=(const DispatchSemaphore&) = delete;

  void signal();
  void wait();
  // Returns false when no unit became available within timeout.
  bool waitFor(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable available_;
  long value_;  // guarded by mutex_
};

// Counts outstanding work: enter() before starting a piece, leave() when it is done; wait() returns
// once every enter() is matched by a leave().
class DispatchGroup {
 public:
  DispatchGroup() = default;
  DispatchGroup(const DispatchGroup&) = delete;
  DispatchGroup& operator=(const DispatchGroup&) = delete;

  void enter();
  // REQUIRES: a matching enter().
  void leave();
  void wait();
  bool waitFor(std::chrono::milliseconds timeout);

 private:
  std::mutex mutex_;
  std::condition_variable done_;
  long outstanding_ = 0;  // guarded by mutex_
};

// The serial main queue. Work queued from any thread runs, in order, on the thread that drains the
// queue (the host's main thread).
class MainQueue {
 public:
  // The process's main queue. A host executable that exports the C symbol
  // vorelia_process_main_queue (cohost does) shares its queue with the bundles it loads, although
  // each bundle links its own copy of this library.
  static MainQueue& shared();

  void async(std::function<void()> work);
  // Runs queued work, including work queued while draining, until the queue is empty. Returns how
  // many pieces ran.
  std::size_t drain();

 private:
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;  // guarded by mutex_
};

// A global concurrent queue. Each piece of work runs on a pool thread; when every pool thread is
// busy (also when they are blocked waiting), a new thread is started, so a piece of work that waits
// for another never starves it. Threads idle for idleLifetime end. Work runs exactly once, in no
// particular order; an exception escaping a piece of work ends that piece only. Delayed work waits
// on one timer thread of the pool, which also ends when idle for idleLifetime.
class CompletionPool {
 public:
  explicit CompletionPool(std::chrono::milliseconds idleLifetime = std::chrono::seconds(10));
  // Lets the queued work run, then returns once every pool thread has ended.
  // REQUIRES: not called from one of this pool's threads; once it started, only the pool's own
  // work may still call async().
  ~CompletionPool();
  CompletionPool(const CompletionPool&) = delete;
  CompletionPool& operator=(const CompletionPool&) = delete;

  // The process-wide pool. It is never destroyed.
  static CompletionPool& shared();

  // Any thread may call it, also a piece of work of this pool.
  void async(std::function<void()> work);
  // Queues work once delay has passed, without holding a thread meanwhile. Work still waiting when
  // the destructor starts is queued at once: it runs exactly once, early rather than never. Any
  // thread may call it, also a piece of work of this pool.
  void asyncAfter(std::chrono::milliseconds delay, std::function<void()> work);
  // Threads currently alive (for tests and benchmarks).
  std::size_t threadCount() const;

 private:
  void workerLoop();
  void timerLoop();
  // Queues work and wakes or starts a thread for it. REQUIRES: mutex_ held.
  void enqueueLocked(std::function<void()> work);

  const std::chrono::milliseconds idleLifetime_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;             // a claim was handed out, or stopping_
  std::condition_variable allEnded_;         // threads_ became zero
  std::condition_variable timersChanged_;    // a timer was added, or stopping_
  std::deque<std::function<void()>> queue_;  // guarded by mutex_
  // Threads waiting for work that no async() has claimed yet.
  std::size_t idle_ = 0;  // guarded by mutex_
  // Wake-ups handed to idle threads and not yet taken. Every queued piece of work has either a
  // claim or a thread started for it, so it never waits behind a blocked thread.
  std::size_t claims_ = 0;  // guarded by mutex_
  bool stopping_ = false;   // guarded by mutex_
  // Delayed work by the time it is due, and whether the timer thread runs.
  std::multimap<std::chrono::steady_clock::time_point, std::function<void()>>
      timers_;                 // guarded by mutex_
  bool timerRunning_ = false;  // guarded by mutex_
  // Pool threads alive, the timer thread among them. They are detached: after a thread takes itself
  // off this count under mutex_, it touches nothing of the pool.
  std::size_t threads_ = 0;  // guarded by mutex_
};

}  // namespace vorelia::platform
