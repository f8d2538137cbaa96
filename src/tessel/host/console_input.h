// Reads console lines from standard input for the console loop, and lets any other thread make
// the loop read the line "q" (through a wake-up pipe), the way an operator would type it.
// ReadLine: the console thread only; Wake: any thread.
#pragma once

#include <string>

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

 private:
  bool TakeLine(std::string& pending, std::string& line);
  void ReadSome(int fd, std::string& into, bool& closed);

  int m_fd;
  int m_wake[2] = {-1, -1};
  bool m_inputClosed = false;
  bool m_wakeClosed = false;
  std::string m_input;
  std::string m_woken;
};
