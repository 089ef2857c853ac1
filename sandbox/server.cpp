#include "sandbox/server.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <stdlib.h>

#include <charconv>
#include <condition_variable>
#include <csignal>
#include <iostream>
#include <mutex>
#include <set>
#include <thread>

#include "sandbox/connection.h"
#include "sandbox/faults.h"
#include "sandbox/http_util.h"
#include "sandbox/request_log.h"
#include "sandbox/router.h"
#include "sandbox/routes.h"
#include "sandbox/routes_updates.h"

namespace vorelia::sandbox {
namespace {

constexpr std::string_view kGarbageBody =
    "<html><body><h1>502 Bad Gateway</h1><p>The sandbox was asked to send this.</p></body>"
    "</html>\n{\"hasError\": tru";

bool isAdminPath(std::string_view path) { return path == "/admin" || path.starts_with("/admin/"); }

}  // namespace

struct Server::Impl {
  enum class FaultOutcome { kPassThrough, kAnswered, kDropped };

  explicit Impl(ServerOptions o)
      : options(std::move(o)),
        state(State::Options{options.tokenLifetime, options.now, options.stateFile}),
        requests(options.requestLogCapacity, options.requestBodyCap),
        ownsDataFolder(!options.dataFolder),
        dataFolder(options.dataFolder ? *options.dataFolder : temporaryFolder()),
        blobs(BlobStore::Options{dataFolder / "blobs", {}, options.now, options.blobSizeLimit}),
        target(makeTarget()),
        uploads(state, *target, options.uploads, options.now),
        visions(
            blobs, [this] { return serviceUrl; }, options.now) {}
  ~Impl() {
    if (ownsDataFolder) {
      std::error_code ignored;
      std::filesystem::remove_all(dataFolder, ignored);
    }
  }

  static std::filesystem::path temporaryFolder() {
    std::string pattern =
        (std::filesystem::temp_directory_path() / "vorelia-sandbox-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) {
      throw std::runtime_error("cannot create a temporary data folder");
    }
    return pattern;
  }
  std::unique_ptr<UploadTarget> makeTarget() {
    if (options.azure) return std::make_unique<AzureUploadTarget>(*options.azure);
    return std::make_unique<LocalUploadTarget>(blobs, [this] { return serviceUrl; });
  }
  void serveBlobRequest(const httplib::Request& request, const Target& target,
                        const httplib::ContentReader* reader, httplib::Response& response);

  void serve(const httplib::Request& request, httplib::Response& response);
  FaultOutcome applyFault(const FaultRule& rule, std::uint64_t sequence,
                          const httplib::Request& request, httplib::Response& response);
  FaultOutcome drop(std::uint64_t sequence, const httplib::Request& request,
                    httplib::Response& response);
  // Sends the answer's body a byte a second while rule id stays in the table.
  void trickle(httplib::Response& response, int id);
  void markBusy(int remotePort);
  void markIdle(int remotePort);

  const ServerOptions options;
  State state;
  FaultTable faults;
  RequestLog requests;
  MessageQueue queue;
  const bool ownsDataFolder;
  const std::filesystem::path dataFolder;
  BlobStore blobs;
  std::string serviceUrl;  // written by start before serving, read-only after
  std::unique_ptr<UploadTarget> target;
  UploadPipeline uploads;
  Visions visions;
  ServiceConfig config;  // written by start before serving, read-only after
  Router serviceRoutes;  // filled by the constructor, read-only after
  Router adminRoutes;    // filled by the constructor, read-only after
  httplib::Server http;
  std::thread listener;
  std::string bindAddress;  // controlling thread
  int port = 0;             // controlling thread
  bool stopped = false;     // controlling thread

  std::mutex mutex;
  std::condition_variable changed;
  bool shutdownRequested = false;  // guarded by mutex
  bool listenerDone = false;       // guarded by mutex
  // Remote ports of the connections with a request under way: from the start of serve until
  // httplib has written the answer (its logger runs then). A connection carries one request at a
  // time, so a port marked again was left marked by an answer that failed.
  std::set<int> busy;  // guarded by mutex
};

void Server::Impl::markBusy(int remotePort) {
  std::scoped_lock lock(mutex);
  busy.insert(remotePort);
}

void Server::Impl::markIdle(int remotePort) {
  std::scoped_lock lock(mutex);
  busy.erase(remotePort);
}

void Server::Impl::serve(const httplib::Request& request, httplib::Response& response) {
  markBusy(request.remote_port);
  const Target target = splitTarget(request.target);
  if (isAdminPath(target.path)) {
    if (!adminRoutes.dispatch(request, target, response)) {
      sendError(response, 404, "No admin route " + request.method + " " + target.path);
    }
    return;
  }
  if (isBlobPath(target.path)) return serveBlobRequest(request, target, nullptr, response);
  const std::uint64_t sequence = requests.add(request, target);
  FaultOutcome outcome = FaultOutcome::kPassThrough;
  const auto rule = faults.take(request.method, target.path, target.query);
  if (rule) {
    requests.noteFault(sequence, rule->id);
    outcome = applyFault(*rule, sequence, request, response);
  }
  if (outcome == FaultOutcome::kPassThrough && !serviceRoutes.dispatch(request, target, response)) {
    sendError(response, 404, "No route for " + request.method + " " + target.path);
  }
  if (outcome == FaultOutcome::kDropped) return;
  if (rule && rule->trickle) trickle(response, rule->id);
  requests.finish(sequence, response.status);
}

void Server::Impl::serveBlobRequest(const httplib::Request& request, const Target& target,
                                    const httplib::ContentReader* reader,
                                    httplib::Response& response) {
  markBusy(request.remote_port);
  const std::uint64_t sequence = requests.add(request, target);
  FaultOutcome outcome = FaultOutcome::kPassThrough;
  const auto rule = faults.take(request.method, target.path, target.query);
  if (rule) {
    requests.noteFault(sequence, rule->id);
    outcome = applyFault(*rule, sequence, request, response);
    // The body was not read: close the connection after the answer.
    if (outcome == FaultOutcome::kAnswered) response.set_header("Connection", "close");
  }
  if (outcome == FaultOutcome::kPassThrough) serveBlob(blobs, request, target, reader, response);
  if (outcome == FaultOutcome::kDropped) return;
  if (rule && rule->trickle) trickle(response, rule->id);
  requests.finish(sequence, response.status);
}

Server::Impl::FaultOutcome Server::Impl::applyFault(const FaultRule& rule, std::uint64_t sequence,
                                                    const httplib::Request& request,
                                                    httplib::Response& response) {
  if (rule.stall && faults.holdWhilePresent(rule.id) == FaultTable::Hold::kStopping) {
    return drop(sequence, request, response);
  }
  if (rule.delay.count() > 0 &&
      faults.holdFor(rule.id, rule.delay) == FaultTable::Hold::kStopping) {
    return drop(sequence, request, response);
  }
  if (rule.drop) return drop(sequence, request, response);
  if (rule.garbage) {
    response.status = rule.status.value_or(200);
    response.set_content(std::string(kGarbageBody), "text/html");
    return FaultOutcome::kAnswered;
  }
  if (rule.status || rule.body) {
    if (rule.body) {
      response.status = rule.status.value_or(500);
      response.set_content(*rule.body,
                           rule.contentType.value_or("application/json; charset=utf-8"));
    } else {
      sendError(response, *rule.status, "Fault injected by the sandbox");
    }
    return FaultOutcome::kAnswered;
  }
  return FaultOutcome::kPassThrough;
}

Server::Impl::FaultOutcome Server::Impl::drop(std::uint64_t sequence,
                                              const httplib::Request& request,
                                              httplib::Response& response) {
  // Recorded first: a test that sees the connection end may read the record at once.
  requests.finish(sequence, 0);
  if (!dropConnection(request)) {
    // Second best: the status line and headers go out, then the connection ends mid-answer.
    std::cerr << "vorelia-sandbox: connection not found; cutting the answer short instead\n";
    response.set_content_provider(
        1, "application/json", [](std::size_t, std::size_t, httplib::DataSink&) { return false; });
  }
  markIdle(request.remote_port);
  return FaultOutcome::kDropped;
}

void Server::Impl::trickle(httplib::Response& response, int id) {
  auto body = std::make_shared<std::string>(std::move(response.body));
  response.body.clear();
  if (body->empty()) return;
  std::string contentType = response.get_header_value("Content-Type");
  response.headers.erase("Content-Type");
  response.set_content_provider(
      body->size(), contentType,
      [this, body, id](std::size_t offset, std::size_t, httplib::DataSink& sink) {
        // The headers are out; each further byte waits a second, unless the rule is gone.
        const auto hold = faults.holdFor(id, std::chrono::seconds(1));
        if (hold == FaultTable::Hold::kStopping) return false;
        const bool removed = !faults.present(id);
        const std::size_t count = removed ? body->size() - offset : 1;
        return sink.write(body->data() + offset, count);
      });
}

Server::Server(ServerOptions options) : impl_(std::make_unique<Impl>(std::move(options))) {
  Impl& s = *impl_;
  addAuthRoutes(s.serviceRoutes, s.state);
  addAccountRoutes(s.serviceRoutes, s.state);
  addContainerRoutes(s.serviceRoutes, s.state, s.config);
  addUploadRoutes(s.serviceRoutes, s.state, s.uploads);
  addWebRoutes(s.serviceRoutes, s.state, s.uploads);
  addAdminUploadRoutes(s.adminRoutes, s.uploads, s.blobs);
  addUpdateLibraryRoutes(s.serviceRoutes, s.options.libraryFolder);
  addQueueRoutes(s.serviceRoutes, s.queue, s.options.now);
  addVisionRoutes(s.serviceRoutes, s.state, s.visions);
  const AdminContext admin{s.state, s.faults, s.requests, s.config, [this] { requestShutdown(); }};
  addAdminStateRoutes(s.adminRoutes, admin);
  addAdminControlRoutes(s.adminRoutes, admin);
  addAdminQueueRoutes(s.adminRoutes, s.queue);
}

Server::~Server() { stop(); }

std::optional<std::string> Server::start() {
  Impl& s = *impl_;
  const auto address = loopbackBindAddress(s.options.host);
  if (!address) {
    return "refusing to listen on " + s.options.host +
           ": only loopback addresses are allowed (127.0.0.0/8, ::1, localhost)";
  }
  if (auto failure = s.state.load()) return "cannot load the state: " + *failure;
  if (s.options.seedDemo) s.state.seedDemo();
  if (auto failure = s.state.save()) return "cannot write the state: " + *failure;
  if (auto failure = s.blobs.prepare()) return "cannot keep blobs: " + *failure;
  if (s.options.azure) {
    if (auto failure = static_cast<AzureUploadTarget&>(*s.target).prepare()) return *failure;
  }
  std::signal(SIGPIPE, SIG_IGN);

  const std::size_t threads = std::max<std::size_t>(s.options.threads, 1);
  // httplib takes ownership of the pool and deletes it when it stops.
  s.http.new_task_queue = [threads] {
    return std::make_unique<httplib::ThreadPool>(threads).release();
  };
  s.http.set_logger([&s](const httplib::Request& request, const httplib::Response&) {
    s.markIdle(request.remote_port);
  });
  s.http.set_keep_alive_max_count(100);
  // httplib writes an answer's head and body separately; with Nagle's algorithm the body then
  // waits for the client's delayed acknowledgement of the head, some 40 ms per JSON answer.
  s.http.set_tcp_nodelay(true);
  // Blob bodies are streamed to disk and may be large; JSON bodies are read whole and are held
  // to payloadLimit before they are read (below).
  s.http.set_payload_max_length(
      std::max<std::uint64_t>(s.options.payloadLimit, s.options.blobSizeLimit));
  s.http.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
        std::string what = "unknown";
        try {
          std::rethrow_exception(error);
        } catch (const std::exception& e) {
          what = e.what();
        } catch (...) {
        }
        std::cerr << "vorelia-sandbox: a handler failed: " << what << "\n";
        sendError(response, 500, "The sandbox failed: " + what);
      });
  const auto handler = [&s](const httplib::Request& request, httplib::Response& response) {
    s.serve(request, response);
  };
  // httplib reads a body without a length until the connection closes, and so refuses such a
  // request; HTTP gives it no body. Serve it before httplib tries to read one.
  s.http.set_pre_routing_handler([&s](const httplib::Request& request,
                                      httplib::Response& response) {
    if (request.has_header("Content-Length")) {
      // JSON bodies are read whole, so their size is held here, before httplib reads one.
      const std::string length = request.get_header_value("Content-Length");
      std::uint64_t bytes = 0;
      const auto [end, error] =
          std::from_chars(length.data(), length.data() + length.size(), bytes);
      if (!isBlobPath(request.target) && (error != std::errc{} || bytes > s.options.payloadLimit)) {
        sendError(response, 413, "The request body is too large");
        response.set_header("Connection", "close");
        return httplib::Server::HandlerResponse::Handled;
      }
      return httplib::Server::HandlerResponse::Unhandled;
    }
    if (request.has_header("Transfer-Encoding")) {
      // Neither the service nor blob storage takes a body of unknown length.
      sendError(response, 411, "Content-Length is required");
      response.set_header("Connection", "close");
      return httplib::Server::HandlerResponse::Handled;
    }
    s.serve(request, response);
    return httplib::Server::HandlerResponse::Handled;
  });
  // Blob writes stream their bodies; httplib tries these handlers before it reads a body.
  s.http.Put("/blob/.*", [&s](const httplib::Request& request, httplib::Response& response,
                              const httplib::ContentReader& reader) {
    s.serveBlobRequest(request, splitTarget(request.target), &reader, response);
  });
  s.http.Get(".*", handler);
  s.http.Post(".*", handler);
  s.http.Put(".*", handler);
  s.http.Patch(".*", handler);
  s.http.Delete(".*", handler);
  s.http.Options(".*", handler);

  const int port = s.options.port == 0 ? s.http.bind_to_any_port(*address)
                   : s.http.bind_to_port(*address, s.options.port) ? s.options.port
                                                                   : -1;
  if (port <= 0) {
    return "cannot listen on " + *address + " port " + std::to_string(s.options.port);
  }
  s.port = port;
  s.bindAddress = *address;
  s.serviceUrl = s.options.publicUrl.empty() ? url() : s.options.publicUrl;
  while (s.serviceUrl.ends_with('/')) s.serviceUrl.pop_back();
  s.config.webUrl = s.options.webUrl.empty() ? url() : s.options.webUrl;
  while (s.config.webUrl.ends_with('/')) s.config.webUrl.pop_back();

  s.listener = std::thread([&s] {
    s.http.listen_after_bind();
    std::scoped_lock lock(s.mutex);
    s.listenerDone = true;
    s.changed.notify_all();
  });
  // httplib ignores stop() until its accept loop runs, so wait for that loop (or its end).
  std::unique_lock lock(s.mutex);
  while (!s.http.is_running() && !s.listenerDone) {
    s.changed.wait_for(lock, std::chrono::milliseconds(1));
  }
  if (s.listenerDone) return "the server ended at once";
  return std::nullopt;
}

int Server::port() const { return impl_->port; }

std::string Server::url() const {
  const std::string& host = impl_->bindAddress;
  const bool v6 = host.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host + "]" : host) + ":" + std::to_string(impl_->port);
}

std::string Server::webUrl() const { return impl_->config.webUrl; }

std::string Server::queueUrl() const {
  return url() + "/statsc1/messages?" + impl_->queue.sasQuery();
}

std::filesystem::path Server::dataFolder() const { return impl_->dataFolder; }

void Server::requestShutdown() {
  {
    std::scoped_lock lock(impl_->mutex);
    if (impl_->shutdownRequested) return;
    impl_->shutdownRequested = true;
    impl_->changed.notify_all();
  }
  if (impl_->options.onShutdownRequested) impl_->options.onShutdownRequested();
}

void Server::waitForShutdownRequest() {
  std::unique_lock lock(impl_->mutex);
  impl_->changed.wait(lock, [this] { return impl_->shutdownRequested; });
}

void Server::stop() {
  Impl& s = *impl_;
  if (s.stopped) return;
  s.stopped = true;
  s.faults.shutdown();
  s.uploads.stop();  // held long polls answer at once
  if (!s.listener.joinable()) return;
  s.http.stop();
  // A connection idling between requests holds its thread until httplib's keep-alive time-out.
  // End the idle ones, again until the pool is gone: answers under way finish first, and a
  // connection accepted just before the stop may start idling late.
  std::unique_lock lock(s.mutex);
  while (!s.listenerDone) {
    const std::set<int> spare = s.busy;
    lock.unlock();
    endReadingOnConnections(s.port, spare);
    lock.lock();
    s.changed.wait_for(lock, std::chrono::milliseconds(20), [&s] { return s.listenerDone; });
  }
  lock.unlock();
  s.listener.join();
}

std::optional<std::string> loopbackBindAddress(const std::string& host) {
  if (equalsIgnoreCase(host, "localhost")) return "127.0.0.1";
  std::string address = host;
  if (address.size() > 2 && address.front() == '[' && address.back() == ']') {
    address = address.substr(1, address.size() - 2);
  }
  in_addr v4{};
  if (::inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    if ((ntohl(v4.s_addr) >> 24) == 127) return address;
    return std::nullopt;
  }
  in6_addr v6{};
  if (::inet_pton(AF_INET6, address.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6)) return "::1";
  return std::nullopt;
}

}  // namespace vorelia::sandbox
