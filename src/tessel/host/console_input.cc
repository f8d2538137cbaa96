#include "tessel/host/console_input.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "platform/line_editor.h"
#include "tessel/console/alias.h"
#include "tessel/core/login_text.h"

cConsoleInput::cConsoleInput(int fd)
    : m_fd(fd), m_bTerminal(platform::cLineEditor::IsTerminal(fd)) {
  if (::pipe2(m_wake, O_CLOEXEC | O_NONBLOCK) != 0) {
    // Without the pipe (no descriptor left) a wake-up is a flag the loop looks at between waits
    // of kAsideLookMs; the line editor, which waits on the terminal and the pipe alone, is not
    // used: the terminal's lines are read as they come.
    m_wake[0] = m_wake[1] = -1;
    std::cerr << "cConsoleInput: no wake-up pipe (" << std::strerror(errno)
              << "); the console looks for an end every " << kAsideLookMs << " ms" << std::endl;
    m_bTerminal = false;
  }
  if (m_bTerminal && ::tcgetattr(fd, &m_terminal) != 0) m_bTerminal = false;
}

void cConsoleInput::RestoreTerminal() const {
  if (m_bTerminal) ::tcsetattr(m_fd, TCSANOW, &m_terminal);
}

cConsoleInput::~cConsoleInput() {
  if (m_wake[0] >= 0) ::close(m_wake[0]);
  if (m_wake[1] >= 0) ::close(m_wake[1]);
}

void cConsoleInput::Wake() {
  // A full pipe already holds enough wake-ups; the write may fail then.
  static const char kLine[] = "q\n";
  if (m_wake[1] < 0) {
    m_wokenAside.store(true);
    return;
  }
  [[maybe_unused]] ssize_t n = ::write(m_wake[1], kLine, sizeof kLine - 1);
}

bool cConsoleInput::TakeLine(std::string& pending, std::string& line, size_t* scanned) {
  size_t end = pending.find('\n', scanned != nullptr ? *scanned : 0);
  if (scanned != nullptr) *scanned = end == std::string::npos ? pending.size() : 0;
  if (end == std::string::npos) return false;
  line.assign(pending, 0, end);
  pending.erase(0, end + 1);
  // A typed line may end with a carriage return as well.
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

void cConsoleInput::ReadSome(int fd, std::string& into, bool& closed) {
  char chunk[1024];
  ssize_t n = ::read(fd, chunk, sizeof chunk);
  if (n > 0)
    into.append(chunk, static_cast<size_t>(n));
  else if (n == 0 || (errno != EAGAIN && errno != EINTR))
    closed = true;
}

// A terminal line: typed lines come edited; the end of the terminal's input is the word
// "quit", as the end of a piped input is for the sample program. A wake-up is read as usual.
bool cConsoleInput::EditLine(std::string& line) {
  if (TakeLine(m_woken, line)) return true;
  if (!m_editor) {
    std::error_code ec;
    const std::filesystem::path history = std::filesystem::current_path(ec) / kHistoryFile;
    m_editor = std::make_unique<platform::cLineEditor>("tessel", m_fd, stdout,
                                                       ec ? std::string() : history.string());
    m_editor->SetPrompt(kPrompt);
    m_editor->SetNames(m_names);
    m_editor->SetMaxLineBytes(kMaxLineBytes);
  }
  for (;;) {
    switch (m_editor->ReadLine(line, m_wakeClosed ? -1 : m_wake[0])) {
      case platform::cLineEditor::eRead::kLine:
        // A line that logs in keeps its password out of the history file, as does one whose
        // alias or replacement makes it a login (the password among its parameters).
        if (MaskCmdText(line) == line && cAlias::SecretWordEnd(line) == std::string::npos)
          m_editor->Remember(line);
        return true;
      case platform::cLineEditor::eRead::kEnd:
        line = "quit";
        return true;
      case platform::cLineEditor::eRead::kWoken:
        ReadSome(m_wake[0], m_woken, m_wakeClosed);
        if (TakeLine(m_woken, line)) return true;
        break;
    }
  }
}

// A line without end (a pipe of bytes that holds no line end) grew the input until the memory
// was gone. Whole lines are taken before each read, so the input holds one line's start.
void cConsoleInput::DropOverlongLine() {
  const size_t end = m_input.find('\n', m_inputScanned);
  if (!m_dropping) {
    if (std::min(end, m_input.size()) <= kMaxLineBytes) return;
    std::cerr << "console line dropped, longer than " << (kMaxLineBytes >> 20) << " MiB"
              << std::endl;
  }
  m_input.erase(0, end == std::string::npos ? end : end + 1);
  m_dropping = end == std::string::npos;
  m_inputScanned = 0;
}

bool cConsoleInput::ReadLine(std::string& line, int timeoutMs) {
  if (m_bTerminal && timeoutMs < 0) return EditLine(line);
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs);
  for (;;) {
    // A wake-up goes before typed lines: it asks the loop to quit.
    if (m_wokenAside.exchange(false)) m_woken += "q\n";
    if (TakeLine(m_woken, line) || TakeLine(m_input, line, &m_inputScanned)) return true;
    pollfd fds[2];
    nfds_t count = 0;
    int inputAt = -1, wakeAt = -1;
    if (!m_wakeClosed && m_wake[0] >= 0) {
      wakeAt = static_cast<int>(count);
      fds[count++] = {m_wake[0], POLLIN, 0};
    }
    if (!m_inputClosed) {
      inputAt = static_cast<int>(count);
      fds[count++] = {m_fd, POLLIN, 0};
    }
    int wait = -1;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      wait = static_cast<int>(left.count());
    }
    if (m_wake[0] < 0) wait = wait < 0 ? kAsideLookMs : std::min(wait, kAsideLookMs);
    if (count == 0 && m_wake[0] >= 0) return false;
    int ready = ::poll(fds, count, wait);
    if (ready < 0 && errno != EINTR) return false;
    if (ready <= 0) continue;
    if (wakeAt >= 0 && fds[wakeAt].revents != 0) ReadSome(m_wake[0], m_woken, m_wakeClosed);
    if (inputAt >= 0 && fds[inputAt].revents != 0) {
      ReadSome(m_fd, m_input, m_inputClosed);
      DropOverlongLine();
      // The last line of a closed input may lack its line end.
      if (m_inputClosed && !m_input.empty() && m_input.back() != '\n') m_input += '\n';
    }
  }
}
