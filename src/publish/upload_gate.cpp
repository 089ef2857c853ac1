#include "publish/upload_gate.h"

namespace vorelia {

UploadGate::Send UploadGate::next() {
  std::unique_lock lock(mutex_);
  probed_.wait(lock, [this] { return state_ != State::probing; });
  switch (state_) {
    case State::probeNeeded:
      state_ = State::probing;
      return Send::once;
    case State::closed:
      return Send::skip;
    default:
      return Send::retried;
  }
}

void UploadGate::report(UploadOutcome outcome, bool probe) {
  const bool failed = outcome == UploadOutcome::unreachable;
  {
    std::scoped_lock lock(mutex_);
    unreachable_ = unreachable_ || failed;
    if (probe) {
      state_ = failed ? State::closed : State::open;
    } else if (failed && state_ == State::open) {
      state_ = State::probeNeeded;
    }
  }
  if (probe) probed_.notify_all();
}

bool UploadGate::unreachable() const {
  std::scoped_lock lock(mutex_);
  return unreachable_;
}

std::string NamedFiles(const std::vector<std::string>& names) {
  constexpr std::size_t shown = 5;
  std::string text;
  for (std::size_t i = 0; i < names.size() && i < shown; ++i) {
    if (i > 0) text += ", ";
    text += names[i];
  }
  if (names.size() > shown) text += " and " + std::to_string(names.size() - shown) + " more";
  return text;
}

std::string AddressOf(const std::string& url) {
  const auto scheme = url.find("://");
  if (scheme == std::string::npos) return url;
  const auto start = scheme + 3;
  const auto end = url.find_first_of("/?#", start);
  std::string authority = url.substr(start, end == std::string::npos ? end : end - start);
  if (const auto at = authority.rfind('@'); at != std::string::npos) authority.erase(0, at + 1);
  return url.substr(0, start) + authority;
}

}  // namespace vorelia
