// Turns fatal signals (SIGSEGV, SIGBUS, SIGFPE, SIGILL) and C++ exceptions (those that leave a
// guarded call, and those that end the process through std::terminate) into crash reports.
// The handlers run on a per-thread alternate stack. Any thread may run a guarded call.
#pragma once

class cCrashGuard {
 public:
  // Installs the fatal-signal handlers and the terminate handler once per process and prepares
  // the reporter.
  static void Install();

  // Gives the calling thread an alternate signal stack (freed when the thread ends), so a stack
  // overflow can still be reported.
  static void PrepareThread();

  // Names used for faults outside any guarded call (copied; any thread, best set at start).
  static void SetNames(const char* exeName, const char* params);

  // Runs body(arg) under the guard. Returns 0 when body returned normally, 1 when a fault or an
  // escaping C++ exception was reported and the reporter handled it (the report tool started).
  // When the reporter does not handle it, a fault takes its signal's default action (the process
  // ends) and an exception is thrown on. The strings must outlive the call.
  static int Run(void (*body)(void*), void* arg, const char* exeName, const char* params);
};
