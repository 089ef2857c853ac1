// The progress of one running task as the host shows it: completed and total, the plugin's text and
// an estimate of the time left. The plugin may report from any thread, also from several at once.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "sdk/co_publishing.h"
#include "sdk_json.h"

namespace vorelia::host {

// Receives {"task", "completed", "total", "message": text or null, "etaSeconds": number or null}.
using ProgressSink = std::function<void(const Json& progress)>;

class ProgressMeter {
 public:
  // REQUIRES: sink may be empty (nothing is shown) and is callable from any thread.
  ProgressMeter(ProgressSink sink, std::size_t task);

  // The block handed to the plugin. REQUIRES: the meter outlives every call of the block.
  COProgressBlock block();

  void report(std::uint64_t completed, std::uint64_t total, const std::optional<std::string>& text);

 private:
  using Clock = std::chrono::steady_clock;
  const ProgressSink sink_;
  const std::size_t task_;
  const Clock::time_point start_ = Clock::now();
  std::mutex mutex_;  // one report at a time, so the lines come out whole and in order
};

// "[#######.............]  3/10  Uploading image 3 of 10  ETA 0:12" from a progress object.
std::string progressLine(const Json& progress, std::size_t width = 24);

}  // namespace vorelia::host
