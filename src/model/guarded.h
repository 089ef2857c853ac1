// Guarded<T>: a value shared between threads that is always read and replaced whole, under its own
// lock, so no reader ever sees it half-written.
#pragma once

#include <mutex>
#include <utility>

namespace vorelia {

template <typename T>
class Guarded {
 public:
  Guarded() = default;
  explicit Guarded(T value) : value_(std::move(value)) {}
  Guarded(const Guarded&) = delete;
  Guarded& operator=(const Guarded&) = delete;

  // A copy of the current value.
  T get() const {
    std::scoped_lock lock(mutex_);
    return value_;
  }
  void set(T value) {
    std::scoped_lock lock(mutex_);
    value_ = std::move(value);
  }

 private:
  mutable std::mutex mutex_;
  T value_;  // guarded by mutex_
};

}  // namespace vorelia
