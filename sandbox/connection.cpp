#include "sandbox/connection.h"

#include <sys/socket.h>
#include <unistd.h>

#include <charconv>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace vorelia::sandbox {
namespace {

struct TcpEntry {
  int local = -1;
  int remote = -1;
  unsigned long inode = 0;
};

// The port of an "ADDRESS:PORT" field of the kernel's tables (both in hexadecimal).
std::optional<int> portOf(const std::string& field) {
  const auto colon = field.rfind(':');
  if (colon == std::string::npos) return std::nullopt;
  int port = 0;
  const char* begin = field.data() + colon + 1;
  const char* end = field.data() + field.size();
  if (std::from_chars(begin, end, port, 16).ec != std::errc{}) return std::nullopt;
  return port;
}

// The sockets of this network namespace that belong to a process (inode not 0).
std::vector<TcpEntry> tcpEntries() {
  std::vector<TcpEntry> entries;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // column titles
    while (std::getline(in, line)) {
      std::istringstream fields(line);
      std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout;
      unsigned long inode = 0;
      fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
          timeout >> inode;
      const auto localPort = portOf(local);
      const auto remotePort = portOf(remote);
      if (fields && inode != 0 && localPort && remotePort) {
        entries.push_back({*localPort, *remotePort, inode});
      }
    }
  }
  return entries;
}

// The inode of the socket behind descriptor fd, from its link "socket:[INODE]".
std::optional<unsigned long> socketInode(int fd) {
  char target[64];
  const std::string link = "/proc/self/fd/" + std::to_string(fd);
  const ssize_t size = ::readlink(link.c_str(), target, sizeof target - 1);
  if (size <= 0) return std::nullopt;
  const std::string_view text(target, static_cast<std::size_t>(size));
  constexpr std::string_view kPrefix = "socket:[";
  if (!text.starts_with(kPrefix) || !text.ends_with(']')) return std::nullopt;
  unsigned long inode = 0;
  const char* begin = text.data() + kPrefix.size();
  if (std::from_chars(begin, text.data() + text.size() - 1, inode).ec != std::errc{}) {
    return std::nullopt;
  }
  return inode;
}

// This process's descriptor for the socket with inode, if any.
std::optional<int> descriptorOf(unsigned long inode) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
    const std::string name = entry.path().filename().string();
    int fd = -1;
    if (std::from_chars(name.data(), name.data() + name.size(), fd).ec != std::errc{}) continue;
    if (socketInode(fd) == inode) return fd;
  }
  return std::nullopt;
}

}  // namespace

bool dropConnection(const httplib::Request& request) {
  for (const TcpEntry& entry : tcpEntries()) {
    if (entry.local != request.local_port || entry.remote != request.remote_port) continue;
    if (const auto fd = descriptorOf(entry.inode)) return ::shutdown(*fd, SHUT_RDWR) == 0;
  }
  return false;
}

void endReadingOnConnections(int localPort, const std::set<int>& spare) {
  for (const TcpEntry& entry : tcpEntries()) {
    if (entry.local != localPort || spare.contains(entry.remote)) continue;
    // An idle connection may end by itself meanwhile and its number go to a new descriptor;
    // the inode is checked again right before, which leaves that a window of a few instructions
    // (and only while the server stops).
    const auto fd = descriptorOf(entry.inode);
    if (fd && socketInode(*fd) == entry.inode) ::shutdown(*fd, SHUT_RD);
  }
}

}  // namespace vorelia::sandbox
