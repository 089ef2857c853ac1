#include "interrupts.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

namespace vorelia::host {

namespace {

int pipeFds[2] = {-1, -1};
std::atomic<bool> caught{false};
int depth = 0;  // open scopes; main thread only

void onSignal(int) {
  const int saved = errno;
  caught.store(true);
  const char byte = 1;
  [[maybe_unused]] const ssize_t n = write(pipeFds[1], &byte, 1);  // full pipe: already readable
  errno = saved;
}

void openPipe() {
  static std::once_flag once;
  std::call_once(once, [] {
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) pipeFds[0] = pipeFds[1] = -1;
  });
}

void setAction(void (*handler)(int)) {
  struct sigaction action = {};
  action.sa_handler = handler;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

InterruptScope::InterruptScope() {
  openPipe();
  if (depth++ == 0 && pipeFds[1] >= 0) setAction(onSignal);
}

InterruptScope::~InterruptScope() {
  if (--depth == 0) setAction(SIG_DFL);
}

int interruptFd() {
  openPipe();
  return pipeFds[0];
}

bool interrupted() { return caught.load(); }

void clearInterrupt() {
  char buffer[64];
  while (pipeFds[0] >= 0 && read(pipeFds[0], buffer, sizeof buffer) > 0) {
  }
  caught.store(false);
}

bool waitReadable(int fd, int timeoutMs) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {interruptFd(), POLLIN, 0}};
  while (!interrupted()) {
    const int ready = poll(fds, 2, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) return false;
    if (fds[1].revents != 0) return false;
    return fds[0].revents != 0;
  }
  return false;
}

}  // namespace vorelia::host
