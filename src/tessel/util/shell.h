// Running command lines through the system shell (/bin/sh -c) for the maintenance and OS
// commands. Every child starts with standard input on /dev/null (or the file given), with the
// signal mask and dispositions reset, and with none of this process's other descriptors (sockets,
// log files), whatever their close-on-exec flags say. Any thread; each call waits for the shell it
// started, never for a background job.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

// `text` as one shell word: in single quotes, each ' written as '\''.
std::string ShellQuote(std::string_view text);

// Runs the line and waits for it; the shell's exit status, or -1 when no shell could be started
// or it ended by a signal. Standard output and standard error are this process's.
int RunShell(const std::string& line);

// What a shell line run by RunShellWhile did.
struct stShellWait {
  int waitStatus = -1;  // as waitpid gives it (system()'s result); -1 when no shell was started
  bool killed = false;  // `keepWaiting` said no first: the line's process group was killed
};

// Runs the line in a process group of its own, standard output and standard error this
// process's, standard input `input` when it is >= 0 (the child reads from its offset), and waits
// for it while `keepWaiting()` says so (asked every few milliseconds); when it says no first, the
// whole process group is killed and reaped.
stShellWait RunShellWhile(const std::string& line, const std::function<bool()>& keepWaiting,
                          int input = -1);

// What a shell line run by RunShellLimited did.
struct stShellRun {
  int status = -1;         // as RunShell
  bool timedOut = false;   // the time limit ended it
  bool truncated = false;  // it wrote more than was kept
  std::string out;         // what it wrote to standard output and standard error
  std::string error;       // why the line never ran (no descriptor left for its pipe); or empty
};

// Runs the line in a process group of its own and collects what it writes to standard output
// and standard error through a pipe of its own (at most `maxBytes` kept; the rest is read and
// dropped). Returns once the shell ended and what it wrote was read; jobs it left in the
// background keep running. When `limitMs` (0: none) passes first, or `stop` turns true, the
// whole process group is killed.
stShellRun RunShellLimited(const std::string& line, std::size_t maxBytes, unsigned limitMs,
                           const std::atomic<bool>* stop = nullptr);
// The same, the process group killed as well when `keepWaiting()` (asked every few
// milliseconds) says no first.
stShellRun RunShellLimited(const std::string& line, std::size_t maxBytes, unsigned limitMs,
                           const std::function<bool()>& keepWaiting);

// Starts the line as a background job with its standard streams on /dev/null and returns at
// once; true when the shell started it.
bool StartShellDetached(const std::string& line);
