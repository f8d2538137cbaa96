// Turns Ctrl+C (SIGINT) and the close of the console (SIGHUP, SIGTERM) into calls made on a
// thread of its own (sigwait), never inside a signal handler, so the handler may take locks,
// log and end the host. Block() runs on the main thread before other threads are started.
#pragma once

#include <functional>

class cConsoleSignals {
 public:
  using Handler = std::function<void(int signo)>;

  // Blocks the three signals in the calling thread; threads started later inherit the mask,
  // so only the signal thread receives them.
  static void Block();

  // Starts the signal thread (once; later calls replace the handler). False when it cannot
  // start; the signals then keep their default action.
  static bool Start(Handler handler);
  // Drops the handler (the signals are then ignored); the thread keeps waiting.
  static void ClearHandler();
};
