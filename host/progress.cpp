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
  reported_ = true;
  completed_ = completed;
  total_ = total;
  text_ = text;
  send();
}

void ProgressMeter::refresh() {
  if (!sink_) return;
  std::lock_guard lock(mutex_);
  if (reported_) send();
}

void ProgressMeter::send() {
  const double elapsed = std::chrono::duration<double>(Clock::now() - start_).count();
  Json eta = nullptr;
  if (completed_ > 0 && completed_ < total_) {
    eta = std::round(elapsed * static_cast<double>(total_ - completed_) /
                     static_cast<double>(completed_));
  }
  sink_({{"task", task_},
         {"completed", completed_},
         {"total", total_},
         {"message", text_ ? Json(*text_) : Json(nullptr)},
         {"etaSeconds", eta},
         {"elapsedSeconds", std::floor(elapsed)}});
}

namespace {

std::string minutes(const char* label, const Json& seconds) {
  const auto whole = static_cast<long long>(seconds.get<double>());
  char text[48];
  std::snprintf(text, sizeof text, "  %s %lld:%02lld", label, whole / 60, whole % 60);
  return text;
}

}  // namespace

std::string progressLine(const Json& progress, std::size_t width) {
  if (progress.contains("exporting")) {
    const auto count = progress["exporting"].get<std::uint64_t>();
    return "exporting " + std::to_string(count) + (count == 1 ? " file" : " files");
  }
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
    line += minutes("ETA", progress["etaSeconds"]);
  } else if (progress.contains("elapsedSeconds") && progress["elapsedSeconds"].is_number()) {
    line += minutes("elapsed", progress["elapsedSeconds"]);
  }
  return line;
}

}  // namespace vorelia::host
