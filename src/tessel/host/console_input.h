// Reads console lines from standard input for the console loop, and lets any other thread make
// the loop read the line "q" (through a wake-up pipe), the way an operator would type it. On a
// terminal the lines are edited (prompt, history in the working folder, Tab completion); from a
// pipe or a file they are read as they come. ReadLine: the console thread only; Wake: any thread.
#pragma once

#include <termios.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The terminal's line editor stays inside the library: its header is not one a program includes.
namespace platform {
class cLineEditor;
}

class cConsoleInput {
 public:
  explicit cConsoleInput(int fd = 0);
  ~cConsoleInput();
  cConsoleInput(const cConsoleInput&) = delete;
  cConsoleInput& operator=(const cConsoleInput&) = delete;

  // Waits for a whole line (returned without its line end) or a wake-up ("q"). A closed input
  // is no line: the loop then waits for a wake-up alone. timeoutMs < 0 waits without bound;
  // false when the time ran out.
  bool ReadLine(std::string& line, int timeoutMs = -1);

  // The next line read is "q".
  void Wake();
  // Reads no more from the input, and edits no line: only wake-ups come from now on (a process
  // that runs without a console).
  void CloseInput() {
    m_inputClosed = true;
    m_bTerminal = false;
  }

  // True when the input is a terminal: ReadLine shows the prompt itself.
  bool IsEditing() const { return m_bTerminal; }
  // What Tab completes from (called on the console thread while a line is read).
  using NamesFunc = std::function<std::vector<std::string>()>;
  void SetNames(NamesFunc names) { m_names = std::move(names); }

  // Puts the terminal back as it was before any line was edited: for an end that does not
  // return to the console thread (Ctrl+C). Any thread.
  void RestoreTerminal() const;

  // The prompt of an edited line.
  static constexpr const char* kPrompt = "!>";
  // The history file, in the working folder.
  static constexpr const char* kHistoryFile = "console_history";
  // The longest line read (typed, from a pipe or a file): the bytes of a longer one are dropped up
  // to its end, said on standard error.
  static constexpr size_t kMaxLineBytes = 16 << 20;

 private:
  // Takes the first whole line of `pending`; `scanned`: its bytes known to hold no line end
  // (a long line is searched once, not again at every read).
  bool TakeLine(std::string& pending, std::string& line, size_t* scanned = nullptr);
  void ReadSome(int fd, std::string& into, bool& closed);
  bool EditLine(std::string& line);
  void DropOverlongLine();

  // How often the loop looks for a wake-up when there is no pipe to bring it.
  static constexpr int kAsideLookMs = 50;

  int m_fd;
  int m_wake[2] = {-1, -1};               // made once, at the build; -1 when it could not be
  std::atomic<bool> m_wokenAside{false};  // a wake-up that found no pipe
  bool m_inputClosed = false;
  bool m_wakeClosed = false;
  bool m_dropping = false;    // the input's line passed kMaxLineBytes: dropped up to its end
  size_t m_inputScanned = 0;  // bytes of m_input that hold no line end
  std::string m_input;
  std::string m_woken;
  bool m_bTerminal;
  termios m_terminal{};  // the terminal's settings at start, when it is one
  NamesFunc m_names;
  std::unique_ptr<platform::cLineEditor> m_editor;  // made at the first edited line
};
