// Ctrl-C (SIGINT) and termination requests (SIGTERM) while cohost waits on something it can stop
// waiting for: a publication, or a line typed at the shell's prompt. While an InterruptScope is
// alive the two signals do not end the process: the handler notes the signal and writes one byte to
// a pipe that the waiting code polls (from any thread the signal lands on; it does nothing else).
// Outside every scope they keep their default action. Scopes are made on the main thread only.
#pragma once

namespace vorelia::host {

class InterruptScope {
 public:
  InterruptScope();   // catches the two signals from now on
  ~InterruptScope();  // the default action again once the outermost scope ends
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;
};

// Readable once a signal was caught, until clearInterrupt.
int interruptFd();
// Whether a signal was caught since the last clearInterrupt.
bool interrupted();
// Forgets a caught signal (the shell goes on after Ctrl-C at its prompt).
void clearInterrupt();

// Waits until fd is readable (true) or a signal is caught (false), at most timeoutMs (-1: no
// limit; a time-out also returns false with interrupted() still false).
bool waitReadable(int fd, int timeoutMs);

}  // namespace vorelia::host
