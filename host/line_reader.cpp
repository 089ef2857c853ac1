#include "line_reader.h"

#include <termios.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <cwchar>
#include <iostream>

#include <histedit.h>

#include "interrupts.h"

namespace vorelia::host {

namespace {

// libedit's character source: one character of standard input, or -1 once Ctrl-C was caught so
// that el_gets gives up the line.
int readCharacter(EditLine*, wchar_t* character) {
  std::mbstate_t state{};
  while (true) {
    if (!waitReadable(STDIN_FILENO, -1)) return -1;
    char byte = 0;
    const ssize_t n = read(STDIN_FILENO, &byte, 1);
    if (n <= 0) return n == 0 ? 0 : -1;
    const std::size_t used = std::mbrtowc(character, &byte, 1, &state);
    if (used == static_cast<std::size_t>(-2)) continue;  // more bytes of one character
    if (used == static_cast<std::size_t>(-1)) *character = static_cast<unsigned char>(byte);
    return 1;
  }
}

// libedit's prompt function; libedit only reads the text.
char* promptOf(EditLine* editor) {
  void* data = nullptr;
  el_get(editor, EL_CLIENTDATA, &data);
  return const_cast<char*>(static_cast<const std::string*>(data)->c_str());
}

}  // namespace

struct LineReader::Editor {
  EditLine* line = nullptr;
  History* history = nullptr;
  HistEvent event{};
  ~Editor() {
    if (line != nullptr) el_end(line);
    if (history != nullptr) history_end(history);
  }
};

LineReader::LineReader(std::string prompt)
    : prompt_(std::move(prompt)), interactive_(isatty(STDIN_FILENO) == 1) {
  if (!interactive_) return;
  std::setlocale(LC_CTYPE, "");  // characters as the terminal sends them
  auto editor = std::make_unique<Editor>();
  editor->line = el_init("cohost", stdin, stderr, stderr);
  editor->history = history_init();
  if (editor->line == nullptr || editor->history == nullptr) return;
  history(editor->history, &editor->event, H_SETSIZE, 500);
  history(editor->history, &editor->event, H_SETUNIQUE, 1);
  el_set(editor->line, EL_EDITOR, "emacs");
  el_set(editor->line, EL_HIST, history, editor->history);
  el_set(editor->line, EL_CLIENTDATA, const_cast<std::string*>(&prompt_));
  el_set(editor->line, EL_PROMPT, promptOf);
  el_set(editor->line, EL_GETCFN, readCharacter);
  el_source(editor->line, nullptr);  // the user's ~/.editrc, when there is one
  editor_ = std::move(editor);
}

LineReader::~LineReader() = default;

std::optional<std::string> LineReader::next() {
  if (editor_) {
    InterruptScope catching;
    int count = 0;
    const char* text = el_gets(editor_->line, &count);
    if (interrupted()) {
      clearInterrupt();
      std::cerr << "\n";
      return std::string();
    }
    if (text == nullptr || count <= 0) return std::nullopt;
    std::string line(text, static_cast<std::size_t>(count));
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.find_first_not_of(" \t") != std::string::npos) {
      history(editor_->history, &editor_->event, H_ENTER, line.c_str());
    }
    return line;
  }
  if (interactive_) {
    std::cerr << prompt_;
    std::cerr.flush();
  }
  std::string line;
  if (!std::getline(std::cin, line)) return std::nullopt;
  return line;
}

std::optional<std::string> readSecretLine(const std::string& prompt) {
  termios saved{};
  const bool terminal = tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    std::cerr << prompt;
    std::cerr.flush();
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  }
  std::string line;
  const bool read = static_cast<bool>(std::getline(std::cin, line));
  if (terminal) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << "\n";
  }
  if (!read) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

void dropInputLine() {
  if (isatty(STDIN_FILENO) == 1) return;
  std::string dropped;
  std::getline(std::cin, dropped);
}

}  // namespace vorelia::host
