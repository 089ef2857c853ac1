#include "progress.h"

#include <cmath>
#include <cstdio>

namespace vorelia::host {

ProgressMeter::ProgressMeter(ProgressSink sink, std::size_t task)
    : sink_(std::move(sink)), task_(task) {}

COProgressBlock ProgressMeter::block() {
  return [this](const COPluginTask&, std::uint64_t completed, std::uint64_t total,
                const std::optional<std::string>& text) { report(completed, total, text); };
}

void ProgressMeter::report(std::uint64_t completed, std::uint64_t total,
                           const std::optional<std::string>& text) {
  if (!sink_) return;
  std::lock_guard lock(mutex_);
  Json eta = nullptr;
  if (completed > 0 && completed < total) {
    const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
    eta = std::round(elapsed * static_cast<double>(total - completed) /
                     static_cast<double>(completed));
  } else if (total > 0 && completed >= total) {
    eta = 0.0;
  }
  sink_({{"task", task_},
         {"completed", completed},
         {"total", total},
         {"message", text ? Json(*text) : Json(nullptr)},
         {"etaSeconds", eta}});
}

std::string progressLine(const Json& progress, std::size_t width) {
  const auto completed = progress.value("completed", std::uint64_t{0});
  const auto total = progress.value("total", std::uint64_t{0});
  std::size_t filled = 0;
  if (total > 0) filled = static_cast<std::size_t>(std::min(completed, total) * width / total);
  std::string line = "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]  " +
                     std::to_string(completed) + "/" + std::to_string(total);
  if (progress.contains("message") && progress["message"].is_string()) {
    line += "  " + progress["message"].get<std::string>();
  }
  if (progress.contains("etaSeconds") && progress["etaSeconds"].is_number()) {
    const auto seconds = static_cast<long long>(progress["etaSeconds"].get<double>());
    char eta[32];
    std::snprintf(eta, sizeof eta, "  ETA %lld:%02lld", seconds / 60, seconds % 60);
    line += eta;
  }
  return line;
}

}  // namespace vorelia::host
