// What the URL session tests share: sessions and requests for a loopback server, and a recorder
// of completions that counts how often each task calls back.
#pragma once

#include "platform/url_session.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <variant>

#include "support/http_test_server.h"
#include "support/sandbox_process.h"
#include "support/temp_home.h"
#include "support/test_bytes.h"
#include "support/wait.h"

namespace vorelia::platform::session_testing {

using std::chrono::milliseconds;
using testing::HttpTestServer;
using testing::TestReply;
using Code = URLError::Code;

// Secrets placed in every request; no error message may repeat them.
constexpr const char* kQuerySecret = "sig=QUERY-SECRET";
constexpr const char* kHeaderSecret = "Bearer HEADER-SECRET";

inline URLSessionConfiguration quickConfiguration() {
  URLSessionConfiguration configuration;
  configuration.requestTimeout = std::chrono::seconds(10);
  return configuration;
}

inline URLRequest requestFor(std::string url) {
  URLRequest request;
  request.url = std::move(url);
  request.headers = {{"Authorization", kHeaderSecret}};
  return request;
}

struct URLCall {
  std::optional<std::string> data;  // a download's file name
  std::optional<URLResponse> response;
  std::optional<URLError> error;
  std::thread::id thread;
};

// Records the completions' calls. REQUIRES: outlives the sessions that call them.
class URLCallRecorder {
 public:
  URLDataCompletion completion() {
    return [this](std::optional<std::string> data, std::optional<URLResponse> response,
                  std::optional<URLError> error) {
      std::scoped_lock lock(mutex_);
      calls_.push_back(
          {std::move(data), std::move(response), std::move(error), std::this_thread::get_id()});
    };
  }

  // Waits for the first call; nullopt when none came within timeout.
  std::optional<URLCall> first(std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
    if (!testing::waitUntil([this] { return count() > 0; }, timeout)) return std::nullopt;
    std::scoped_lock lock(mutex_);
    return calls_.front();
  }

  std::size_t count() {
    std::scoped_lock lock(mutex_);
    return calls_.size();
  }

 private:
  std::mutex mutex_;
  std::vector<URLCall> calls_;  // guarded by mutex_
};

inline int closedPort() {
  HttpTestServer server;
  return server.port();  // closed once the server is gone
}

inline void expectNoSecrets(const URLError& error, const std::string& name) {
  for (const char* secret : {"QUERY-SECRET", "HEADER-SECRET", "pw@"}) {
    EXPECT_EQ(error.message.find(secret), std::string::npos) << name << ": " << error.message;
  }
}

// Runs one data task on a session of its own, which is gone when this returns: every completion it
// could call has been called, and there must be exactly one.
inline std::optional<URLCall> fetch(const URLSessionConfiguration& configuration,
                                    const URLRequest& request) {
  URLCallRecorder recorder;
  {
    URLSession session(configuration);
    session.dataTask(request, recorder.completion());
    if (!recorder.first()) return std::nullopt;
  }
  EXPECT_EQ(recorder.count(), 1u);
  return recorder.first();
}

// A responder that answers the n-th request with the n-th reply, and later ones with the last.
inline testing::TestResponder inTurn(std::vector<TestReply> replies) {
  auto next = std::make_shared<std::atomic<std::size_t>>(0);
  return [replies = std::move(replies), next](const testing::RecordedRequest&) {
    return replies[std::min(next->fetch_add(1), replies.size() - 1)];
  };
}

}  // namespace vorelia::platform::session_testing
