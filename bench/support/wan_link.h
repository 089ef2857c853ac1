// A wide-area link stood in by a TCP proxy on loopback, for benchmarks: clients connect to the
// link's port and their bytes reach the server (and the server's answers reach them) as over a
// slower, farther network. Each direction
//   - holds every byte for half the round trip,
//   - carries at most bytesPerSecond, shared by all connections as one link would be, with a
//     short queue per connection (so a busy connection slows the others as on a real link, and
//     a sender is held back instead of filling the proxy's memory),
// and a new connection's first bytes wait one more round trip, the cost of its handshake.
//
// It can also count the HTTP/1.1 requests that pass towards the server (method and target, read
// from the byte stream), e.g. the blob writes of one client.
//
// Threads: the constructor and destructor on one thread; the other members on any thread. Two
// threads per connection and one that accepts.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

namespace vorelia::bench {

struct LinkShape {
  std::chrono::microseconds roundTrip{0};
  double bytesPerSecond = 0;  // per direction; 0 is unlimited
};

class WanLink {
 public:
  // Listens on an ephemeral loopback port at once. Throws std::runtime_error when it cannot.
  explicit WanLink(LinkShape shape);
  // Closes every connection and joins every thread.
  ~WanLink();
  WanLink(const WanLink&) = delete;
  WanLink& operator=(const WanLink&) = delete;

  int port() const;
  std::string url() const;  // "http://127.0.0.1:PORT"

  // The server's loopback port. Connections accepted before it is set are closed at once, so set
  // it before handing the link's URL to a client (the port may be needed earlier, e.g. for a
  // server that names the link as its public address).
  void setUpstream(int port);

  // Counts from now on the requests towards the server whose method is method (any method when it
  // is empty) and whose target starts with targetPrefix, and forgets the earlier count.
  void countRequests(std::string method, std::string targetPrefix);
  std::size_t countedRequests() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace vorelia::bench
