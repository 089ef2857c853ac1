#include "script_report.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace vorelia::host {

namespace {

// The read end of cohost's pipe; -1 until openScriptReports made it. Set before other threads run.
int readEnd = -1;

// A report is written whole in one write, which a pipe keeps apart from other writers' only up
// to PIPE_BUF bytes; each ends in a NUL byte, which no message holds.
constexpr std::size_t LongestReport = PIPE_BUF - 1;

}  // namespace

bool openScriptReports() {
  if (readEnd >= 0) return true;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return false;
  // The children inherit the write end; a full pipe makes their write fail rather than wait.
  if (fcntl(fds[1], F_SETFD, 0) != 0) {
    close(fds[0]);
    close(fds[1]);
    return false;
  }
  readEnd = fds[0];
  setenv(ScriptReportVariable, std::to_string(fds[1]).c_str(), 1);
  return true;
}

std::vector<std::string> takeScriptReports() {
  std::vector<std::string> reports;
  if (readEnd < 0) return reports;
  std::string data;
  char buffer[4096];
  ssize_t n;
  while ((n = read(readEnd, buffer, sizeof buffer)) > 0) data.append(buffer, n);
  for (std::size_t start = 0; start < data.size();) {
    const std::size_t end = std::min(data.find('\0', start), data.size());
    reports.push_back(data.substr(start, end - start));
    start = end + 1;
  }
  return reports;
}

bool reportScriptFailure(const std::string& message) {
  const char* named = std::getenv(ScriptReportVariable);
  if (named == nullptr) return false;
  int fd = -1;
  const char* end = named + std::strlen(named);
  if (std::from_chars(named, end, fd).ptr != end || fd <= STDERR_FILENO) return false;
  // Only the pipe cohost opened: a variable left over from elsewhere names no pipe of ours.
  struct stat status {};
  if (fstat(fd, &status) != 0 || !S_ISFIFO(status.st_mode)) return false;
  std::string report = message.substr(0, LongestReport);
  if (report.size() < message.size()) {
    // Drop the last character if it is not ASCII: the limit may have split it.
    std::size_t start = report.size();
    while (start > 0 && (static_cast<unsigned char>(report[start - 1]) & 0xC0) == 0x80) --start;
    if (start > 0 && static_cast<unsigned char>(report[start - 1]) >= 0xC0)
      report.resize(start - 1);
  }
  report += '\0';
  return write(fd, report.data(), report.size()) == static_cast<ssize_t>(report.size());
}

}  // namespace vorelia::host
