// Acting on the TCP connections of the server below httplib, which offers no way to end a
// connection from a handler. A connection is found by its ports in the kernel's socket tables
// (/proc/net/tcp, tcp6) and then among the process's descriptors by the socket's inode, read
// from the links in /proc/self/fd: no call touches a descriptor other than the one acted on.
// Linux only.
#pragma once

#include <httplib.h>

#include <set>

namespace vorelia::sandbox {

// Shuts down, both ways, the connection on which request arrived, so that the client sees the
// connection end without a byte of answer. httplib's later write fails and it closes the socket.
// REQUIRES: called from the request's handler (the connection cannot close meanwhile). Returns
// false when the connection was not found.
bool dropConnection(const httplib::Request& request);

// Stops reading on the connections accepted on localPort, except those whose remote port is in
// spare, so that connections idling between requests end at once when the server stops. Spare
// every connection with a request under way: httplib takes a connection that reads as ended for
// a vanished client and stops writing its answer.
void endReadingOnConnections(int localPort, const std::set<int>& spare);

}  // namespace vorelia::sandbox
