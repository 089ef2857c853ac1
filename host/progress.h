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

// Receives {"task", "completed", "total", "message": text or null, "etaSeconds": number or null,
// "elapsedSeconds"}; the ETA is null until a step is done and once the total is reached (the task
// may still be working then, e.g. while the service encodes). Before the export, {"exporting": N}.
using ProgressSink = std::function<void(const Json& progress)>;

class ProgressMeter {
 public:
  // REQUIRES: sink may be empty (nothing is shown) and is callable from any thread.
  ProgressMeter(ProgressSink sink, std::size_t task);

  // The block handed to the plugin. REQUIRES: the meter outlives every call of the block.
  COProgressBlock block();

  void report(std::uint64_t completed, std::uint64_t total, const std::optional<std::string>& text);
  // Reports the last step again with the time now (nothing before the first step), so that a
  // display drawn in place shows time passing while the task works on without reporting.
  void refresh();

 private:
  using Clock = std::chrono::steady_clock;
  void send();  // REQUIRES: mutex_ held

  const ProgressSink sink_;
  const std::size_t task_;
  const Clock::time_point start_ = Clock::now();
  std::mutex mutex_;             // one report at a time, so the lines come out whole and in order
  bool reported_ = false;        // guarded by mutex_
  std::uint64_t completed_ = 0;  // guarded by mutex_
  std::uint64_t total_ = 0;      // guarded by mutex_
  std::optional<std::string> text_;  // guarded by mutex_
};

// "[#######.............]  3/10  Uploading image 3 of 10  ETA 0:12" from a progress object, or
// "... elapsed 1:05" when there is no estimate; "exporting 6 files" before the export.
std::string progressLine(const Json& progress, std::size_t width = 24);

}  // namespace vorelia::host
