// Bounds the orderly end of the process: armed when the end begins, it keeps the step the end is
// in and, when the limit passes with the end still held, says on standard error what held it
// and ends the process with kExitEndHeld. Any thread; its watching thread lives as the process.
#pragma once

#include <string>

class cEndWatch {
 public:
  // Exit code of a process whose end was still held at its limit.
  static constexpr int kExitEndHeld = 6;
  // Seconds the whole end may take unless end_time_limit in config/config_int.ini says other.
  static constexpr int kDefaultLimitSeconds = 120;

  // The configured limit in seconds (end_time_limit; 0 = none, a negative one the default).
  static int LimitSeconds();
  // Sets the deadline `seconds` from now (none when 0) and names the step that begins.
  static void Arm(int seconds, const std::string& step);
  // Names the step the end goes on with; the deadline stays.
  static void Step(const std::string& step);
  // No deadline any more: the end is over and the process goes on (a host of a test).
  static void Disarm();
};
