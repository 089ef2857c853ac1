// The lines of the shell. On a terminal, with line editing and a history of this session's lines
// (libedit), the prompt on the error stream, and Ctrl-C dropping the line being typed; otherwise
// plain lines of standard input. Main thread only.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace vorelia::host {

class LineReader {
 public:
  // prompt is shown before each line, on a terminal only.
  explicit LineReader(std::string prompt);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Whether standard input is a terminal.
  bool interactive() const { return interactive_; }

  // The next line without its line break; nullopt at the end of input. A line dropped with
  // Ctrl-C reads as an empty line.
  std::optional<std::string> next();

 private:
  struct Editor;
  const std::string prompt_;
  const bool interactive_;
  std::unique_ptr<Editor> editor_;  // set on a terminal
};

// A line of standard input typed without echo on a terminal (the prompt goes to the error stream
// then), or the next line of input otherwise; nullopt at the end of input.
std::optional<std::string> readSecretLine(const std::string& prompt);

// Reads the next line of standard input and forgets it; does nothing on a terminal.
void dropInputLine();

}  // namespace vorelia::host
