// UploadGate: keeps a task from spending every file's retries on a blob store that cannot be
// reached. Once an upload has used its retries without a connection, the next file is sent once,
// as a probe: when that cannot connect either, the store counts as gone and every later file is
// skipped without a request; when it gets through, uploads go on as before, so a short network
// blip costs no more than the files it struck.
//
// Threads: the task's thread calls next(); upload completions call report(), never while the
// task thread would wait for them to report (next() blocks only on a probe under way).
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "api/api.h"

namespace vorelia {

class UploadGate {
 public:
  enum class Send { retried, once, skip };

  // How to send the next file. Blocks while a probe is under way, until it reported.
  Send next();
  // The outcome of an upload sent as next() said; probe: it was sent once, as a probe.
  void report(UploadOutcome outcome, bool probe);
  // Whether any upload found the store unreachable.
  bool unreachable() const;

 private:
  enum class State { open, probeNeeded, probing, closed };

  mutable std::mutex mutex_;
  std::condition_variable probed_;  // signalled when a probe reported
  State state_ = State::open;       // guarded by mutex_
  bool unreachable_ = false;        // guarded by mutex_
};

// "a.jpg, b.jpg, c.jpg, d.jpg, e.jpg and 3 more": the first five names, then how many others.
std::string NamedFiles(const std::vector<std::string>& names);

// The scheme, host and port of url ("https://store.example:8443"), without user info, path or
// query: an address that may be shown. The whole text when it has no "://".
std::string AddressOf(const std::string& url);

}  // namespace vorelia
