// The completion pool: a queue of work and a set of threads that grows whenever no idle thread is
// free, so work that blocks waiting for later work cannot deadlock the pool.
#include <cstdio>
#include <exception>
#include <memory>
#include <thread>
#include <utility>

#include "platform/dispatch.h"

namespace vorelia::platform {
namespace {

void runGuarded(const std::function<void()>& work) {
  // An exception must not end a pool thread, nor cross into whoever queued the work.
  try {
    if (work) work();
  } catch (...) {
    std::fputs("vorelia: a completion-pool task ended with an exception\n", stderr);
  }
}

}  // namespace

CompletionPool::CompletionPool(std::chrono::milliseconds idleLifetime)
    : idleLifetime_(idleLifetime) {}

CompletionPool::~CompletionPool() {
  std::unique_lock lock(mutex_);
  stopping_ = true;
  wake_.notify_all();
  timersChanged_.notify_all();
  allEnded_.wait(lock, [this] { return threads_ == 0; });
}

CompletionPool& CompletionPool::shared() {
  // Never destroyed: completions may still run, or block, while the process exits.
  static CompletionPool& pool = *std::make_unique<CompletionPool>().release();
  return pool;
}

void CompletionPool::async(std::function<void()> work) {
  std::scoped_lock lock(mutex_);
  enqueueLocked(std::move(work));
}

void CompletionPool::asyncAfter(std::chrono::milliseconds delay, std::function<void()> work) {
  std::scoped_lock lock(mutex_);
  if (stopping_) return enqueueLocked(std::move(work));
  timers_.emplace(std::chrono::steady_clock::now() + delay, std::move(work));
  if (timerRunning_) {
    timersChanged_.notify_one();
    return;
  }
  timerRunning_ = true;
  ++threads_;
  std::thread([this] { timerLoop(); }).detach();
}

void CompletionPool::enqueueLocked(std::function<void()> work) {
  queue_.push_back(std::move(work));
  if (idle_ > 0) {
    --idle_;
    ++claims_;
    wake_.notify_one();
  } else {
    std::thread([this] { workerLoop(); }).detach();
    ++threads_;
  }
}

std::size_t CompletionPool::threadCount() const {
  std::scoped_lock lock(mutex_);
  return threads_;
}

void CompletionPool::workerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (!queue_.empty()) {
      std::function<void()> work = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      runGuarded(work);
      work = nullptr;  // the work's captures die outside the lock
      lock.lock();
      continue;
    }
    if (stopping_) break;
    ++idle_;
    const bool woken =
        wake_.wait_for(lock, idleLifetime_, [this] { return claims_ > 0 || stopping_; });
    if (claims_ > 0) {
      // Whoever claimed a thread already took it off idle_.
      --claims_;
      continue;
    }
    --idle_;
    if (!woken) break;  // idle for idleLifetime_
  }
  // The last touch of the pool: the destructor may free it as soon as mutex_ is released.
  if (--threads_ == 0) allEnded_.notify_all();
}

void CompletionPool::timerLoop() {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (stopping_) {
      // Nothing waits past the pool's end: what is left runs now.
      for (auto& [due, work] : timers_) enqueueLocked(std::move(work));
      timers_.clear();
      break;
    }
    if (timers_.empty()) {
      if (!timersChanged_.wait_for(lock, idleLifetime_,
                                   [this] { return !timers_.empty() || stopping_; })) {
        break;  // idle for idleLifetime_
      }
      continue;
    }
    const auto first = timers_.begin();
    if (std::chrono::steady_clock::now() < first->first) {
      timersChanged_.wait_until(lock, first->first);
      continue;
    }
    enqueueLocked(std::move(first->second));
    timers_.erase(first);
  }
  timerRunning_ = false;
  if (--threads_ == 0) allEnded_.notify_all();
}

}  // namespace vorelia::platform
