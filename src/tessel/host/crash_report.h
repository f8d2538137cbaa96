// Writes the crash report "ERRORLOG.TXT" and the dump file of a fatal fault in the working
// directory, then starts the report tool "XCrashReport" from the executable's folder.
// Called on the faulting thread (usually inside a signal handler); the first report wins. The
// report is written without allocating and without the process's own locks (plain system calls
// on fixed buffers, values prepared ahead).
#pragma once

#include <signal.h>
#include <ucontext.h>

#include <cstdint>

// What a report describes: a fatal signal with its machine state, a C++ exception, or the
// present state of the calling thread (the console's dump).
struct stCrashInfo {
  uint32_t code = 0;                    // exception code, see cCrashReport::Describe
  int signo = 0;                        // the fatal signal; 0 when not raised by a signal
  const siginfo_t* info = nullptr;      // signal details (fault address), may be null
  const ucontext_t* context = nullptr;  // machine state; the caller's own state when null
  const char* what = nullptr;           // text of a C++ exception, may be null
};

// Exception codes the reports use.
enum : uint32_t {
  kCrashBreakpoint = 0x80000003,
  kCrashAccessViolation = 0xC0000005,
  kCrashCppException = 0xE06D7363,
};

// The dump file "<exe name>.dmp" is a file of our own, in this order:
//   "TESSELDMP 1\n"
//   "code 0x%08x signal %d thread %d fault 0x%016x\n"
//   23 lines "reg <name> 0x%016x\n", the general registers of the fault in the order of
//      ucontext_t (R8 ... CR2)
//   "stack 0x%016x %d\n" (stack pointer, byte count), then that many raw bytes from the stack
//      pointer upwards (at most 0x3000, fewer where the stack ends), then "\n"
//   "maps\n" and the text of /proc/self/maps
//   "end\n"
class cCrashReport {
 public:
  // Writes the report and the dump. Returns 1 when the report tool was started (the guard then
  // handles the fault), 0 otherwise: a report was already written, the report file could not be
  // created, a debugger is attached, or the tool is missing or failed to start. A call made
  // while another thread writes the first report returns 0 once that report is complete (or
  // after 10 s).
  static int Report(const stCrashInfo& info, const char* exeName, const char* params);

  // True once a report was begun in this process (any thread).
  static bool Reported();

  // Called once, after the first report and its dump are written and the report tool started;
  // usually inside a fatal-signal handler, so it must neither allocate nor lock (any thread may
  // set it; the latest setting wins).
  static void SetPreReport(void (*callback)());

  // Writes the dump file of the given fault; with null info, of the caller's present state.
  static bool WriteMiniDump(const char* path, const stCrashInfo* info);

  // Computes ahead what a signal handler must not: executable path, user name, system name,
  // time-zone offset, the first backtrace. Called by the guard's installation; idempotent.
  static void Prepare();

  static uint32_t CodeOfSignal(int signo, int siCode);
  static const char* Describe(uint32_t code);
};
