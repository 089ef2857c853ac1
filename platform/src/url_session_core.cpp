#include "url_session_core.h"

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "platform/dispatch.h"

namespace vorelia::platform::net {
namespace {

// The longest the I/O thread sleeps without a reason to wake; wake-ups normally come earlier
// from libcurl's timers, an idle deadline or curl_multi_wakeup.
constexpr int kMaxPollMs = 1000;

}  // namespace

SessionCore::SessionCore(Key) {}

SessionCore::~SessionCore() {
  // The I/O thread has ended and removed every easy handle; only the multi handle is left.
  if (io_.joinable()) io_.join();
}

std::shared_ptr<SessionCore> SessionCore::create(long maxConnectionsPerHost) {
  ensureCurlInitialized();
  auto core = std::make_shared<SessionCore>(Key{});
  core->multi_.reset(curl_multi_init());
  if (!core->multi_) throw std::runtime_error("libcurl could not create a multi handle");
  curl_multi_setopt(core->multi_.get(), CURLMOPT_MAX_HOST_CONNECTIONS,
                    std::max(1L, maxConnectionsPerHost));
  return core;
}

bool SessionCore::startIoLocked() {
  if (io_.joinable()) return true;
  try {
    // The I/O thread holds no reference: shutdown() joins it before the core can go away.
    io_ = std::thread([this] { ioLoop(); });
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}

std::uint64_t SessionCore::submit(std::unique_ptr<Transfer> transfer, Delivery deliver) {
  std::uint64_t id = 0;
  bool stopping = false;
  {
    std::scoped_lock lock(mutex_);
    id = nextId_++;
    ++undelivered_;
    stopping = stopping_;
    if (!stopping && startIoLocked()) {
      incoming_.push_back({id, std::move(transfer), std::move(deliver)});
      curl_multi_wakeup(multi_.get());
      return id;
    }
  }
  post(std::move(deliver),
       stopping ? transfer->cancelled()
                : TransferResult::failure({URLError::Code::other, "cannot start the transfer"}));
  return id;
}

std::uint64_t SessionCore::reject(URLError error, Delivery deliver) {
  std::uint64_t id = 0;
  {
    std::scoped_lock lock(mutex_);
    id = nextId_++;
    ++undelivered_;
  }
  post(std::move(deliver), TransferResult::failure(std::move(error)));
  return id;
}

void SessionCore::cancel(std::uint64_t id) {
  std::scoped_lock lock(mutex_);
  // Shutdown cancels everything anyway; without an I/O thread, no task has started.
  if (stopping_ || !io_.joinable()) return;
  cancels_.push_back(id);
  curl_multi_wakeup(multi_.get());
}

void SessionCore::shutdown() {
  {
    std::scoped_lock lock(mutex_);
    stopping_ = true;
    curl_multi_wakeup(multi_.get());
  }
  if (io_.joinable()) io_.join();
  std::unique_lock lock(mutex_);
  deliveriesDone_.wait(lock, [this] { return undelivered_ == 0; });
}

void SessionCore::ioLoop() {
  for (;;) {
    std::vector<Pending> incoming;
    std::vector<std::uint64_t> cancels;
    bool stopping = false;
    {
      std::scoped_lock lock(mutex_);
      incoming.swap(incoming_);
      cancels.swap(cancels_);
      stopping = stopping_;
    }
    if (stopping) {
      for (auto& pending : incoming)
        post(std::move(pending.deliver), pending.transfer->cancelled());
      while (!active_.empty()) {
        auto first = active_.begin();
        end(first, first->second.transfer->cancelled());
      }
      while (!waiting_.empty()) cancelWaiting(waiting_.begin());
      return;
    }
    for (auto& pending : incoming) {
      add(pending.id, Active{std::move(pending.transfer), std::move(pending.deliver)});
    }
    for (const std::uint64_t id : cancels) {
      // An id found in neither has ended already; its completion ran or is on its way.
      if (auto found = active_.find(id); found != active_.end()) {
        end(found, found->second.transfer->cancelled());
      } else if (auto waiting = waiting_.find(id); waiting != waiting_.end()) {
        cancelWaiting(waiting);
      }
    }
    startDueAttempts();
    int running = 0;
    curl_multi_perform(multi_.get(), &running);
    collectFinished();
    expireIdle();
    curl_multi_poll(multi_.get(), nullptr, 0, pollTimeoutMs(), nullptr);
  }
}

void SessionCore::add(std::uint64_t id, Active task) {
  if (curl_multi_add_handle(multi_.get(), task.transfer->handle()) != CURLM_OK) {
    post(std::move(task.deliver),
         TransferResult::failure({URLError::Code::other, "cannot start the transfer"}));
    return;
  }
  task.transfer->started();
  active_.emplace(id, std::move(task));
}

void SessionCore::end(ActiveIt active, TransferResult result) {
  curl_multi_remove_handle(multi_.get(), active->second.transfer->handle());
  Delivery deliver = std::move(active->second.deliver);
  active_.erase(active);  // the easy handle is cleaned up here, on the I/O thread
  post(std::move(deliver), std::move(result));
}

void SessionCore::endAttempt(ActiveIt active, CURLcode code, bool idle) {
  Transfer& transfer = *active->second.transfer;
  const double jitter = std::uniform_real_distribution<double>(0.0, 1.0)(jitter_);
  if (const auto delay = transfer.retryDelay(code, jitter)) {
    curl_multi_remove_handle(multi_.get(), transfer.handle());
    waiting_.emplace(active->first,
                     Waiting{std::chrono::steady_clock::now() + *delay, std::move(active->second)});
    active_.erase(active);
    return;
  }
  end(active, idle ? transfer.idleTimedOut() : transfer.finish(code));
}

void SessionCore::startDueAttempts() {
  const auto now = std::chrono::steady_clock::now();
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    auto current = it++;
    if (current->second.due > now) continue;
    const std::uint64_t id = current->first;
    Active task = std::move(current->second.task);
    waiting_.erase(current);
    if (!task.transfer->rewind()) {
      post(std::move(task.deliver),
           TransferResult::failure({URLError::Code::fileError, "cannot empty the download file"}));
      continue;
    }
    add(id, std::move(task));
  }
}

void SessionCore::cancelWaiting(std::map<std::uint64_t, Waiting>::iterator waiting) {
  Active task = std::move(waiting->second.task);
  waiting_.erase(waiting);
  post(std::move(task.deliver), task.transfer->cancelled());
}

void SessionCore::collectFinished() {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(multi_.get(), &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    CURL* handle = message->easy_handle;
    const CURLcode code = message->data.result;
    auto found = std::find_if(active_.begin(), active_.end(), [&](const auto& entry) {
      return entry.second.transfer->handle() == handle;
    });
    if (found != active_.end()) endAttempt(found, code, /*idle=*/false);
  }
}

void SessionCore::expireIdle() {
  const auto now = std::chrono::steady_clock::now();
  for (auto it = active_.begin(); it != active_.end();) {
    auto current = it++;
    if (current->second.transfer->idleDeadline() <= now) {
      endAttempt(current, CURLE_OPERATION_TIMEDOUT, /*idle=*/true);
    }
  }
}

int SessionCore::pollTimeoutMs() const {
  long curlTimeout = -1;
  curl_multi_timeout(multi_.get(), &curlTimeout);
  long timeout = curlTimeout < 0 ? kMaxPollMs : std::min<long>(curlTimeout, kMaxPollMs);
  const auto now = std::chrono::steady_clock::now();
  const auto until = [&](std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
    timeout = std::min<long>(timeout, std::max<long>(0, static_cast<long>(left.count())));
  };
  for (const auto& [id, active] : active_) until(active.transfer->idleDeadline());
  for (const auto& [id, waiting] : waiting_) until(waiting.due);
  return static_cast<int>(timeout);
}

void SessionCore::post(Delivery deliver, TransferResult result) {
  struct Parcel {
    Delivery deliver;
    TransferResult result;
  };
  auto parcel = std::make_shared<Parcel>(Parcel{std::move(deliver), std::move(result)});
  CompletionPool::shared().async([self = shared_from_this(), parcel]() mutable {
    try {
      parcel->deliver(std::move(parcel->result));
    } catch (...) {
      // A completion's exception stops here; the session stays consistent.
    }
    // The completion and what it captured die before the session hears that it returned.
    parcel.reset();
    self->deliveryReturned();
  });
}

void SessionCore::deliveryReturned() {
  std::scoped_lock lock(mutex_);
  if (--undelivered_ == 0) deliveriesDone_.notify_all();
}

}  // namespace vorelia::platform::net
