#include "support/wan_link.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <list>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

namespace vorelia::bench {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes of one connection and direction that may wait for the link before the proxy stops
// reading from the sender: a small router queue, so the link stays busy without buffering files.
constexpr std::size_t kQueueBytes = 64 * 1024;
constexpr std::size_t kReadBytes = 64 * 1024;
// A request head longer than this stops the counting on that connection.
constexpr std::size_t kMaxHeadBytes = 64 * 1024;

// One direction of the link: when the bytes offered at a time leave the sender's end and when
// they arrive at the other end.
class Direction {
 public:
  Direction(std::chrono::microseconds oneWay, double bytesPerSecond)
      : oneWay_(oneWay), bytesPerSecond_(bytesPerSecond) {}

  struct Schedule {
    Clock::time_point departs, arrives;
  };
  Schedule schedule(std::size_t bytes, Clock::time_point now, Clock::time_point notBefore) {
    std::scoped_lock lock(mutex_);
    Clock::time_point start = std::max({now, notBefore, nextFree_});
    if (bytesPerSecond_ > 0) {
      start += std::chrono::duration_cast<Clock::duration>(
          std::chrono::duration<double>(static_cast<double>(bytes) / bytesPerSecond_));
    }
    nextFree_ = start;
    return {start, start + oneWay_};
  }

 private:
  const std::chrono::microseconds oneWay_;
  const double bytesPerSecond_;
  std::mutex mutex_;
  Clock::time_point nextFree_;  // guarded by mutex_; when the link is free to send again
};

struct Filter {
  std::string method;
  std::string targetPrefix;
};

// Finds the HTTP/1.1 requests in a client's byte stream: a head up to the blank line, then as
// many body bytes as its Content-Length says. A chunked body or an overlong head ends the search
// on that connection.
class RequestScanner {
 public:
  template <typename OnRequest>
  void feed(std::string_view bytes, OnRequest&& onRequest) {
    while (!bytes.empty() && !lost_) {
      if (bodyLeft_ > 0) {
        const auto skipped = std::min<std::uint64_t>(bodyLeft_, bytes.size());
        bodyLeft_ -= skipped;
        bytes.remove_prefix(static_cast<std::size_t>(skipped));
        continue;
      }
      const std::size_t before = head_.size();
      const std::size_t taken = std::min(bytes.size(), kMaxHeadBytes);
      head_.append(bytes.data(), taken);
      const auto end = head_.find("\r\n\r\n", before < 3 ? 0 : before - 3);
      if (end == std::string::npos) {
        bytes.remove_prefix(taken);
        lost_ = head_.size() >= kMaxHeadBytes;
        continue;
      }
      bytes.remove_prefix(end + 4 - before);  // the rest is body or the next request
      head_.resize(end + 2);
      parseHead(onRequest);
      head_.clear();
    }
  }

 private:
  template <typename OnRequest>
  void parseHead(OnRequest& onRequest) {
    const std::string_view head(head_);
    const auto firstSpace = head.find(' ');
    const auto secondSpace = head.find(' ', firstSpace + 1);
    if (firstSpace == std::string_view::npos || secondSpace == std::string_view::npos) {
      lost_ = true;
      return;
    }
    onRequest(head.substr(0, firstSpace),
              head.substr(firstSpace + 1, secondSpace - firstSpace - 1));
    std::string lower(head);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    if (lower.find("\r\ntransfer-encoding:") != std::string::npos) lost_ = true;
    if (const auto at = lower.find("\r\ncontent-length:"); at != std::string::npos) {
      bodyLeft_ = std::strtoull(lower.c_str() + at + 17, nullptr, 10);
    }
  }

  std::string head_;
  std::uint64_t bodyLeft_ = 0;
  bool lost_ = false;
};

bool sendAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = ::send(fd, data, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    data += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

void noDelay(int fd) {
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

struct WanLink::Impl {
  explicit Impl(LinkShape shape)
      : shape(shape),
        toServer(shape.roundTrip / 2, shape.bytesPerSecond),
        toClient(shape.roundTrip / 2, shape.bytesPerSecond) {}

  struct Connection {
    int client = -1;
    int server = -1;
    std::thread up, down;
    std::atomic<int> running{2};
    ~Connection() {
      if (up.joinable()) up.join();
      if (down.joinable()) down.join();
      if (client >= 0) ::close(client);
      if (server >= 0) ::close(server);
    }
    void breakOff() const {
      ::shutdown(client, SHUT_RDWR);
      ::shutdown(server, SHUT_RDWR);
    }
  };

  void acceptLoop();
  void pump(Connection& connection, bool towardsServer, Clock::time_point notBefore);
  void countIfWanted(std::string_view method, std::string_view target);

  const LinkShape shape;
  Direction toServer, toClient;
  int listener = -1;
  int stop = -1;  // an eventfd, readable once the link closes
  int port = 0;
  std::atomic<int> upstream{0};
  std::thread acceptor;

  std::list<Connection> connections;  // acceptor thread only, until it has been joined

  std::mutex filterMutex;
  std::optional<Filter> filter;  // guarded by filterMutex
  std::atomic<std::size_t> counted{0};
};

void WanLink::Impl::countIfWanted(std::string_view method, std::string_view target) {
  std::scoped_lock lock(filterMutex);
  if (filter && (filter->method.empty() || method == filter->method) &&
      target.starts_with(filter->targetPrefix)) {
    ++counted;
  }
}

void WanLink::Impl::pump(Connection& connection, bool towardsServer, Clock::time_point notBefore) {
  const int from = towardsServer ? connection.client : connection.server;
  const int to = towardsServer ? connection.server : connection.client;
  Direction& direction = towardsServer ? toServer : toClient;
  struct Chunk {
    std::string bytes;
    Direction::Schedule at;
  };
  std::deque<Chunk> queue;
  RequestScanner scanner;
  bool open = true;
  std::vector<char> buffer(kReadBytes);
  for (;;) {
    auto now = Clock::now();
    while (!queue.empty() && queue.front().at.arrives <= now) {
      if (!sendAll(to, queue.front().bytes.data(), queue.front().bytes.size())) {
        connection.breakOff();
        return;
      }
      queue.pop_front();
      now = Clock::now();
    }
    if (!open && queue.empty()) {
      ::shutdown(to, SHUT_WR);
      return;
    }
    // The bytes still waiting for the link, and when the first of them leaves.
    std::size_t waiting = 0;
    std::optional<Clock::time_point> nextDeparture;
    for (const auto& chunk : queue) {
      if (chunk.at.departs <= now) continue;
      waiting += chunk.bytes.size();
      if (!nextDeparture) nextDeparture = chunk.at.departs;
    }
    const bool reading = open && waiting < kQueueBytes;
    std::optional<Clock::time_point> wake;
    if (!queue.empty()) wake = queue.front().at.arrives;
    if (!reading && nextDeparture) wake = std::min(*wake, *nextDeparture);
    pollfd fds[2] = {{stop, POLLIN, 0}, {from, POLLIN, 0}};
    timespec timeout{};
    if (wake) {
      const auto left = std::max(Clock::duration::zero(), *wake - now);
      const auto nanoseconds = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      timeout = {static_cast<time_t>(nanoseconds / 1000000000), nanoseconds % 1000000000};
    }
    if (::ppoll(fds, reading ? 2 : 1, wake ? &timeout : nullptr, nullptr) < 0 && errno != EINTR) {
      connection.breakOff();
      return;
    }
    if (fds[0].revents != 0) return;  // the link is closing
    if (!reading || fds[1].revents == 0) continue;
    const ssize_t got = ::recv(from, buffer.data(), buffer.size(), 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) {
      open = false;
      continue;
    }
    std::string bytes(buffer.data(), static_cast<std::size_t>(got));
    if (towardsServer) {
      scanner.feed(bytes, [this](std::string_view method, std::string_view target) {
        countIfWanted(method, target);
      });
    }
    const auto at = direction.schedule(bytes.size(), Clock::now(), notBefore);
    queue.push_back({std::move(bytes), at});
  }
}

void WanLink::Impl::acceptLoop() {
  for (;;) {
    pollfd fds[2] = {{stop, POLLIN, 0}, {listener, POLLIN, 0}};
    if (::poll(fds, 2, 1000) < 0 && errno != EINTR) return;
    if (fds[0].revents != 0) return;
    connections.remove_if([](const Connection& c) { return c.running.load() == 0; });
    if (fds[1].revents == 0) continue;
    const int client = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (client < 0) continue;
    const auto accepted = Clock::now();
    const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(upstream.load()));
    if (server < 0 || upstream.load() == 0 ||
        ::connect(server, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(client);
      if (server >= 0) ::close(server);
      continue;
    }
    noDelay(client);
    noDelay(server);
    Connection& connection = connections.emplace_back();
    connection.client = client;
    connection.server = server;
    // The client believes itself connected at once; its first bytes stand in for the handshake's
    // round trip as well.
    const auto handshake = accepted + shape.roundTrip;
    connection.up = std::thread([this, &connection, handshake] {
      pump(connection, true, handshake);
      --connection.running;
    });
    connection.down = std::thread([this, &connection] {
      pump(connection, false, Clock::time_point{});
      --connection.running;
    });
  }
}

WanLink::WanLink(LinkShape shape) : impl_(std::make_unique<Impl>(shape)) {
  Impl& s = *impl_;
  s.listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  s.stop = ::eventfd(0, EFD_CLOEXEC);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (s.listener < 0 || s.stop < 0 ||
      ::bind(s.listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(s.listener, 128) != 0 ||
      ::getsockname(s.listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    const std::string reason = std::strerror(errno);
    if (s.listener >= 0) ::close(s.listener);
    if (s.stop >= 0) ::close(s.stop);
    throw std::runtime_error("the emulated link cannot listen: " + reason);
  }
  s.port = ntohs(address.sin_port);
  s.acceptor = std::thread([&s] { s.acceptLoop(); });
}

WanLink::~WanLink() {
  Impl& s = *impl_;
  const std::uint64_t one = 1;
  (void)!::write(s.stop, &one, sizeof one);
  s.acceptor.join();
  for (const auto& connection : s.connections) connection.breakOff();
  s.connections.clear();  // joins the pumps
  ::close(s.listener);
  ::close(s.stop);
}

int WanLink::port() const { return impl_->port; }

std::string WanLink::url() const { return "http://127.0.0.1:" + std::to_string(impl_->port); }

void WanLink::setUpstream(int port) { impl_->upstream = port; }

void WanLink::countRequests(std::string method, std::string targetPrefix) {
  std::scoped_lock lock(impl_->filterMutex);
  impl_->filter = Filter{std::move(method), std::move(targetPrefix)};
  impl_->counted = 0;
}

std::size_t WanLink::countedRequests() const { return impl_->counted.load(); }

}  // namespace vorelia::bench
