// The engine under URLSession: one libcurl multi handle, the I/O thread that drives it, the timer
// that holds tasks between attempts, and the bookkeeping that calls every task's completion
// exactly once on the CompletionPool.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "curl_handles.h"
#include "url_session_transfer.h"

namespace vorelia::platform::net {

// Hands a result to a task's completion. Runs once, on a CompletionPool thread.
using Delivery = std::function<void(TransferResult)>;

class SessionCore : public std::enable_shared_from_this<SessionCore> {
 public:
  // Use create(): the I/O thread needs the object to be owned by a shared_ptr.
  struct Key {};
  explicit SessionCore(Key);
  // REQUIRES: shutdown() returned, or the I/O thread never started (nothing was submitted).
  ~SessionCore();
  SessionCore(const SessionCore&) = delete;
  SessionCore& operator=(const SessionCore&) = delete;

  // A session with its own multi handle and I/O thread, both made with the first transfer, so that
  // a session never used costs no thread and no socket.
  static std::shared_ptr<SessionCore> create(long maxConnectionsPerHost);

  // Any thread. Adds the transfer to the multi handle; once shutdown() started, delivers it as
  // cancelled instead. Returns the task's id.
  std::uint64_t submit(std::unique_ptr<Transfer> transfer, Delivery deliver);
  // Any thread. Delivers the result of a task that ended before it started.
  std::uint64_t reject(URLError error, Delivery deliver);
  // Any thread. Ends the task with Code::cancelled unless it already ended, also while it waits
  // for its next attempt.
  void cancel(std::uint64_t id);
  // Cancels everything, stops the I/O thread and waits until every delivery returned.
  // REQUIRES: not called on a CompletionPool thread running one of this session's deliveries.
  void shutdown();

 private:
  struct Pending {
    std::uint64_t id;
    std::unique_ptr<Transfer> transfer;
    Delivery deliver;
  };
  struct Active {
    std::unique_ptr<Transfer> transfer;
    Delivery deliver;
  };
  struct Waiting {
    std::chrono::steady_clock::time_point due;  // of the next attempt
    Active task;
  };
  using ActiveIt = std::map<std::uint64_t, Active>::iterator;

  // Makes the multi handle and starts the I/O thread unless it runs; false when the system gives
  // neither. Under mutex_.
  bool startIoLocked();
  void ioLoop();
  void add(std::uint64_t id, Active task);
  // Takes the handle off the multi handle and delivers result.
  void end(ActiveIt active, TransferResult result);
  // Ends an attempt that libcurl ended with code, or that made no progress for too long (idle):
  // delivers its result, or, when the task is to be retried, takes the handle off the multi
  // handle until its next attempt is due.
  void endAttempt(ActiveIt active, CURLcode code, bool idle);
  void collectFinished();
  void expireIdle();
  void startDueAttempts();
  void cancelWaiting(std::map<std::uint64_t, Waiting>::iterator waiting);
  int pollTimeoutMs() const;
  void post(Delivery deliver, TransferResult result);
  void deliveryReturned();

  long maxConnectionsPerHost_ = 1;
  CurlMulti multi_;  // made under mutex_ before io_ starts
  std::thread io_;   // started under mutex_, read once stopping_ is set

  std::mutex mutex_;
  std::condition_variable deliveriesDone_;
  std::vector<Pending> incoming_;       // guarded by mutex_
  std::vector<std::uint64_t> cancels_;  // guarded by mutex_
  std::uint64_t nextId_ = 1;            // guarded by mutex_
  bool stopping_ = false;               // guarded by mutex_
  std::size_t undelivered_ = 0;         // guarded by mutex_; deliveries not yet returned

  std::map<std::uint64_t, Active> active_;           // I/O thread only
  std::map<std::uint64_t, Waiting> waiting_;         // I/O thread only; tasks between attempts
  std::minstd_rand jitter_{std::random_device{}()};  // I/O thread only
};

}  // namespace vorelia::platform::net
