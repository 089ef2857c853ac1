// Records the calls of URLSession completions so a test can wait for them and count them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/url_session.h"

namespace vorelia::testing {

struct URLCall {
  std::optional<std::string> data;
  std::optional<platform::URLResponse> response;
  std::optional<platform::URLError> error;
  std::thread::id thread;
};

// REQUIRES: outlives every task whose completion it made (destroy the session first).
class URLCallRecorder {
 public:
  platform::URLDataCompletion completion() {
    return [this](std::optional<std::string> data, std::optional<platform::URLResponse> response,
                  std::optional<platform::URLError> error) {
      add({std::move(data), std::move(response), std::move(error), std::this_thread::get_id()});
    };
  }

  // A download completion; onFile runs inside the completion, while the file still exists.
  platform::URLDownloadCompletion downloadCompletion(
      std::function<void(const std::filesystem::path&)> onFile = nullptr) {
    return [this, onFile = std::move(onFile)](std::optional<std::filesystem::path> location,
                                              std::optional<platform::URLResponse> response,
                                              std::optional<platform::URLError> error) {
      if (location && onFile) onFile(*location);
      std::optional<std::string> path;
      if (location) path = location->string();
      add({std::move(path), std::move(response), std::move(error), std::this_thread::get_id()});
    };
  }

  // Waits for the first call; nullopt when none came within timeout.
  std::optional<URLCall> first(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    std::unique_lock lock(mutex_);
    if (!called_.wait_for(lock, timeout, [this] { return !calls_.empty(); })) return std::nullopt;
    return calls_.front();
  }

  std::size_t count() const {
    std::scoped_lock lock(mutex_);
    return calls_.size();
  }

 private:
  void add(URLCall call) {
    // Notified under the lock: the test may destroy the recorder as soon as first() returns.
    std::scoped_lock lock(mutex_);
    calls_.push_back(std::move(call));
    called_.notify_all();
  }

  mutable std::mutex mutex_;
  std::condition_variable called_;
  std::vector<URLCall> calls_;  // guarded by mutex_
};

}  // namespace vorelia::testing
