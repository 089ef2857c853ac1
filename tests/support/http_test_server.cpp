#include "support/http_test_server.h"

#include <httplib.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <stdexcept>

#include "support/test_bytes.h"
#include "support/test_certificates.h"

namespace vorelia::testing {
namespace {

constexpr std::size_t kStreamChunk = 64 * 1024;

bool sameName(const std::string& a, const std::string& b) {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](unsigned char x, unsigned char y) {
    return std::tolower(x) == std::tolower(y);
  });
}

}  // namespace

// One thread per accepted connection, so a stalled reply never queues other requests behind it.
// cpp-httplib hands every accepted socket to enqueue().
class HttpTestServer::ConnectionThreads : public httplib::TaskQueue {
 public:
  explicit ConnectionThreads(HttpTestServer& server) : server_(server) {}

  void enqueue(std::function<void()> serve) override {
    {
      std::scoped_lock lock(server_.mutex_);
      ++server_.connections_;
    }
    std::scoped_lock lock(mutex_);
    threads_.emplace_back(std::move(serve));
  }

  void shutdown() override {
    std::vector<std::thread> threads;
    {
      std::scoped_lock lock(mutex_);
      threads.swap(threads_);
    }
    for (auto& thread : threads) thread.join();
  }

 private:
  HttpTestServer& server_;
  std::mutex mutex_;
  std::vector<std::thread> threads_;  // guarded by mutex_
};

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  const std::vector<std::string> values = headerValues(name);
  return values.empty() ? std::nullopt : std::optional(values.front());
}

std::vector<std::string> RecordedRequest::headerValues(const std::string& name) const {
  std::vector<std::string> values;
  for (const auto& [field, value] : headers) {
    if (sameName(field, name)) values.push_back(value);
  }
  return values;
}

HttpTestServer::HttpTestServer() : HttpTestServer(Options()) {}

HttpTestServer::HttpTestServer(Options options) : options_(options) {
  if (options_.tls) {
    const TestCertificates& certificates = testCertificates();
    server_ = std::make_unique<httplib::SSLServer>(certificates.certFile.c_str(),
                                                   certificates.keyFile.c_str());
  } else {
    server_ = std::make_unique<httplib::Server>();
  }
  if (!server_->is_valid()) throw std::runtime_error("HttpTestServer: invalid server set-up");

  // cpp-httplib takes ownership of the queue it gets here.
  server_->new_task_queue = [this] { return std::make_unique<ConnectionThreads>(*this).release(); };
  server_->set_keep_alive_max_count(1000);
  // The destructor waits for connections still open, so idle ones close soon.
  server_->set_keep_alive_timeout(1);
  server_->set_payload_max_length(std::numeric_limits<std::size_t>::max());

  const auto plain = [this](const httplib::Request& request, httplib::Response& response) {
    handle(request, response, nullptr);
  };
  const auto reading = [this](const httplib::Request& request, httplib::Response& response,
                              const httplib::ContentReader& reader) {
    handle(request, response, &reader);
  };
  server_->Get(".*", plain);
  server_->Post(".*", plain).Post(".*", reading);
  server_->Put(".*", plain).Put(".*", reading);
  server_->Patch(".*", plain).Patch(".*", reading);

  port_ = server_->bind_to_any_port("127.0.0.1");
  if (port_ <= 0) throw std::runtime_error("HttpTestServer: cannot bind a loopback port");
  listener_ = std::thread([this] { server_->listen_after_bind(); });
  // stop() only works on a running server, so do not hand out one that is still starting.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!server_->is_running()) {
    if (std::chrono::steady_clock::now() > deadline) {
      throw std::runtime_error("HttpTestServer: the listener did not start");
    }
    std::this_thread::yield();
  }
}

HttpTestServer::~HttpTestServer() {
  {
    std::scoped_lock lock(mutex_);
    stopping_ = true;
    changed_.notify_all();
  }
  server_->stop();
  if (listener_.joinable()) listener_.join();
}

std::string HttpTestServer::url(const std::string& pathAndQuery) const {
  return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_) +
         pathAndQuery;
}

std::filesystem::path HttpTestServer::caFile() const { return testCertificates().caFile; }

void HttpTestServer::reply(const std::string& path, TestReply reply) {
  respond(path, [reply = std::move(reply)](const RecordedRequest&) { return reply; });
}

void HttpTestServer::respond(const std::string& path, TestResponder responder) {
  std::scoped_lock lock(mutex_);
  routes_[path] = std::move(responder);
}

std::vector<RecordedRequest> HttpTestServer::requests() const {
  std::scoped_lock lock(mutex_);
  return requests_;
}

std::vector<RecordedRequest> HttpTestServer::requests(const std::string& path) const {
  std::vector<RecordedRequest> matching = requests();
  std::erase_if(matching, [&](const RecordedRequest& r) { return r.path != path; });
  return matching;
}

std::size_t HttpTestServer::requestCount() const {
  std::scoped_lock lock(mutex_);
  return requests_.size();
}

std::size_t HttpTestServer::connectionCount() const {
  std::scoped_lock lock(mutex_);
  return connections_;
}

bool HttpTestServer::waitForRequests(std::size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
}

void HttpTestServer::handle(const httplib::Request& request, httplib::Response& response,
                            const httplib::ContentReader* reader) {
  RecordedRequest recorded = record(request, reader);
  const TestResponder responder = responderFor(recorded.path);
  {
    std::scoped_lock lock(mutex_);
    requests_.push_back(recorded);
    changed_.notify_all();
  }
  if (!responder) {
    response.status = 404;
    return;
  }
  const TestReply reply = responder(recorded);
  if (reply.stall) {
    holdUntilStopped();
    response.status = 503;
    return;
  }
  if (reply.delay.count() > 0 && !pause(reply.delay)) {
    response.status = 503;
    return;
  }
  answer(reply, response);
}

RecordedRequest HttpTestServer::record(const httplib::Request& request,
                                       const httplib::ContentReader* reader) {
  RecordedRequest recorded;
  recorded.method = request.method;
  recorded.path = request.path;
  if (const auto mark = request.target.find('?'); mark != std::string::npos) {
    recorded.query = request.target.substr(mark + 1);
  }
  recorded.headers.assign(request.headers.begin(), request.headers.end());

  Sha256 digest;
  bool kept = true;
  const auto take = [&](const char* data, std::size_t size) {
    recorded.bodySize += size;
    if (options_.digestBodies) digest.update(data, size);
    if (kept && recorded.body.size() + size > options_.maxKeptBody) {
      kept = false;
      std::string().swap(recorded.body);
    }
    if (kept) recorded.body.append(data, size);
    return true;
  };
  if (reader != nullptr) {
    (*reader)(take);
  } else if (!request.body.empty()) {
    take(request.body.data(), request.body.size());
  }
  if (options_.digestBodies) recorded.bodySha256 = digest.hex();
  return recorded;
}

TestResponder HttpTestServer::responderFor(const std::string& path) const {
  std::scoped_lock lock(mutex_);
  if (auto exact = routes_.find(path); exact != routes_.end()) return exact->second;
  const TestResponder* best = nullptr;
  std::size_t bestLength = 0;
  for (const auto& [pattern, responder] : routes_) {
    if (pattern.empty() || pattern.back() != '*') continue;
    const std::size_t length = pattern.size() - 1;
    if (path.compare(0, length, pattern, 0, length) == 0 && (!best || length > bestLength)) {
      best = &responder;
      bestLength = length;
    }
  }
  return best ? *best : TestResponder();
}

void HttpTestServer::answer(const TestReply& reply, httplib::Response& response) {
  response.status = reply.status;
  for (const auto& [name, value] : reply.headers) response.set_header(name, value);
  const char* contentType = "application/octet-stream";
  const bool streamed = reply.generatedBodySize > 0 || reply.stallAfter || reply.dropAfter;
  if (!streamed) {
    if (!reply.body.empty()) response.set_content(reply.body, contentType);
    return;
  }
  const bool generated = reply.generatedBodySize > 0;
  const std::uint64_t size = generated ? reply.generatedBodySize : reply.body.size();
  response.set_content_provider(
      size, contentType,
      [this, generated, body = reply.body, stallAfter = reply.stallAfter,
       dropAfter = reply.dropAfter](std::size_t offset, std::size_t length,
                                    httplib::DataSink& sink) {
        // Returning false makes cpp-httplib close the connection.
        if (dropAfter && offset >= *dropAfter) return false;
        if (stallAfter && offset >= *stallAfter) {
          holdUntilStopped();
          return false;
        }
        std::uint64_t end = offset + std::min(length, kStreamChunk);
        if (dropAfter) end = std::min(end, *dropAfter);
        if (stallAfter) end = std::min(end, *stallAfter);
        const auto count = static_cast<std::size_t>(end - offset);
        if (!generated) return sink.write(body.data() + offset, count);
        char chunk[kStreamChunk];
        fillGenerated(offset, chunk, count);
        return sink.write(chunk, count);
      });
}

bool HttpTestServer::pause(std::chrono::milliseconds duration) {
  std::unique_lock lock(mutex_);
  return !changed_.wait_for(lock, duration, [this] { return stopping_; });
}

void HttpTestServer::holdUntilStopped() {
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return stopping_; });
}

}  // namespace vorelia::testing
