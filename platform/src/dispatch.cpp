// Semaphore, group and the main queue. The completion pool lives in completion_pool.cpp.
#include "platform/dispatch.h"

#include <dlfcn.h>

#include <cassert>
#include <cstdio>
#include <exception>
#include <memory>
#include <utility>

namespace vorelia::platform {

DispatchSemaphore::DispatchSemaphore(long value) : value_(value) {}

void DispatchSemaphore::signal() {
  // Notifying under the lock lets a waiter destroy the semaphore as soon as it wakes, the usual
  // pattern when a completion signals a semaphore on the waiter's stack.
  std::scoped_lock lock(mutex_);
  ++value_;
  available_.notify_one();
}

void DispatchSemaphore::wait() {
  std::unique_lock lock(mutex_);
  available_.wait(lock, [this] { return value_ > 0; });
  --value_;
}

bool DispatchSemaphore::waitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  if (!available_.wait_for(lock, timeout, [this] { return value_ > 0; })) return false;
  --value_;
  return true;
}

void DispatchGroup::enter() {
  std::scoped_lock lock(mutex_);
  ++outstanding_;
}

void DispatchGroup::leave() {
  std::scoped_lock lock(mutex_);  // held while notifying, as in DispatchSemaphore::signal
  assert(outstanding_ > 0 && "DispatchGroup::leave without a matching enter");
  if (outstanding_ > 0) --outstanding_;
  if (outstanding_ == 0) done_.notify_all();
}

void DispatchGroup::wait() {
  std::unique_lock lock(mutex_);
  done_.wait(lock, [this] { return outstanding_ == 0; });
}

bool DispatchGroup::waitFor(std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return done_.wait_for(lock, timeout, [this] { return outstanding_ == 0; });
}

namespace {

// This copy of the library's own queue. Never destroyed: work may still be queued from other
// threads while the process exits.
MainQueue& ownMainQueue() {
  static MainQueue& queue = *std::make_unique<MainQueue>().release();
  return queue;
}

}  // namespace

MainQueue& MainQueue::shared() {
  // A process has one main queue. A host that exports vorelia_process_main_queue hands its own to
  // every library it loads (each carries a copy of this code); elsewhere the own queue is it.
  static MainQueue* const queue = [] {
    using Lookup = MainQueue* (*)();
    auto lookup = reinterpret_cast<Lookup>(dlsym(RTLD_DEFAULT, "vorelia_process_main_queue"));
    return lookup != nullptr ? lookup() : &ownMainQueue();
  }();
  return *queue;
}

void MainQueue::async(std::function<void()> work) {
  std::scoped_lock lock(mutex_);
  queue_.push_back(std::move(work));
}

std::size_t MainQueue::drain() {
  std::size_t ran = 0;
  for (;;) {
    std::function<void()> work;
    {
      std::scoped_lock lock(mutex_);
      if (queue_.empty()) return ran;
      work = std::move(queue_.front());
      queue_.pop_front();
    }
    // The lock is not held while the work runs, so it may queue more work, which this loop picks
    // up in order.
    try {
      if (work) work();
    } catch (...) {
      std::fputs("vorelia: a main-queue task ended with an exception\n", stderr);
    }
    ++ran;
  }
}

}  // namespace vorelia::platform

extern "C" __attribute__((visibility("default"))) vorelia::platform::MainQueue*
vorelia_process_main_queue() {
  return &vorelia::platform::ownMainQueue();
}
