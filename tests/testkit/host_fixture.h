// A host made in a temporary home folder, with short end pauses,
// a settable timer clock and standard input fed by the test. Restores the working folder
// and standard input afterwards.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "tessel/contracts/timer_manager.h"
#include "tessel/core/string_value.h"
#include "tessel/host/tessel.h"
#include "testkit/child_process.h"

// The timer manager's clock, moved by hand (from any thread).
class cHandClock : public iTimerClock {
 public:
  std::uint32_t GetMilliSeconds() override { return ms; }
  long GetSeconds() override { return seconds; }
  std::atomic<std::uint32_t> ms{1000};
  std::atomic<long> seconds{1700000000};
};

class HostTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Runs n cycles, moving the hand clock by stepMs before each.
  void Cycles(int n, std::uint32_t stepMs = 10);
  // Types a line into the console's standard input.
  void Type(const std::string& line);

  std::unique_ptr<testkit::cTempDir> m_dir;
  cHandClock m_clock;
  std::unique_ptr<cTessel> m_host;

 private:
  std::string m_oldCwd;
  int m_oldStdin = -1;
  int m_stdinWriter = -1;
};

// Short pauses for the end sequence.
stEndPacing QuickPacing();

// In a child process: starts the process's host as a program does, with the launch parameters
// `params` and, when `fault` is given, a timer that calls it in a cycle; then runs the console
// loop and the end as the program would, saying so on standard output.
int RunProgramHost(const std::string& params, void (*fault)() = nullptr);
