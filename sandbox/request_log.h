// A bounded ring of the service requests the sandbox received, so that tests can assert exactly
// what a client sent: method, raw path, raw query, headers and body (cut at a cap). Thread-safe.
#pragma once

#include <httplib.h>

#include <cstdint>
#include <deque>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "sandbox/http_util.h"

namespace vorelia::sandbox {

class RequestLog {
 public:
  // Keeps the last capacity requests and the first bodyCap bytes of each body.
  RequestLog(std::size_t capacity, std::size_t bodyCap);

  // Records a request as it arrived, before it is answered; returns its sequence number (from 1).
  std::uint64_t add(const httplib::Request& request, const Target& target);

  // Notes the fault applied to a recorded request (as soon as it applies, before any hold), and
  // how the request was answered: its status, 0 when the connection was dropped. Both do nothing
  // when the record has left the ring.
  void noteFault(std::uint64_t sequence, int faultId);
  void finish(std::uint64_t sequence, int status);

  // {"requests": [oldest first], "evicted": how many left the ring since the last clear}. Each
  // request: {"seq", "method", "path", "query", "headers": {name: value}, "body", "bodySize",
  // "bodyTruncated", "status" (null while unanswered), "fault" (null or the fault's id),
  // "arrived" and "answered" (null while unanswered): seconds on the host's monotonic clock
  // (std::chrono::steady_clock, CLOCK_MONOTONIC), which every process of the host shares, so that
  // a client may place the requests on its own time line}.
  nlohmann::json list() const;

  void clear();

 private:
  struct Record {
    std::uint64_t sequence = 0;
    std::string method, path, query;
    std::vector<std::pair<std::string, std::string>> headers;  // as sent, in order
    std::string body;                                          // at most bodyCap_ bytes
    std::size_t bodySize = 0;
    std::optional<int> status;
    std::optional<int> faultId;
    double arrived = 0;
    std::optional<double> answered;
  };

  const std::size_t capacity_;
  const std::size_t bodyCap_;
  mutable std::mutex mutex_;
  std::deque<Record> records_;      // guarded by mutex_
  std::uint64_t nextSequence_ = 1;  // guarded by mutex_
  std::uint64_t evicted_ = 0;       // guarded by mutex_

  Record* findLocked(std::uint64_t sequence);
};

}  // namespace vorelia::sandbox
