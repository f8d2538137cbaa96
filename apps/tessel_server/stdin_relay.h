// Puts a pipe between the process's standard input and the host's console loop: a thread of
// its own copies every byte of the real input into the pipe and, at the end of the input, types
// "quit" so the program ends in order. Start and the destructor: main thread.
#pragma once

#include <atomic>
#include <thread>

class cStdinRelay {
 public:
  cStdinRelay() = default;
  ~cStdinRelay();
  cStdinRelay(const cStdinRelay&) = delete;
  cStdinRelay& operator=(const cStdinRelay&) = delete;

  // Makes standard input the pipe's reading end and starts the copying thread. Call it after
  // the console signals are blocked, so the thread inherits the mask. False when it cannot.
  bool Start();
  // Stops the copying and makes the real input standard input again, for a new start of the
  // program in this process.
  void GiveBack();

 private:
  // Puts `input` on standard input, which closes the pipe's reading end (a blocked write then
  // fails; SIGPIPE is ignored by the program), and ends the thread.
  void StopCopying(int input);
  void Copy();
  bool WriteAll(const char* data, size_t size);

  int m_input = -1;  // the real standard input
  int m_pipe = -1;   // the pipe's writing end
  int m_stop[2] = {-1, -1};
  std::thread m_thread;
};
