// HostTest: a host of the test's own in a temporary home, with short end pauses, a timer clock
// moved by hand and standard input fed by the test (given back afterwards). LoggedInTest adds the
// link fixture's easy server "center" and its client "global" on 127.0.0.1, logged in as
// "opsuser", the host's cycles driven by the test thread. The client holds a recording group
// (Mark, Output) at levels 1 and 3; both sides count their peers' exception notices.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tessel/contracts/netlib.h"
#include "tessel/contracts/timer_manager.h"
#include "tessel/host/tessel.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "testkit/child_process.h"
#include "testkit/link_fixture.h"
#include "testkit/record_cmd.h"

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
  int m_oldStdin = -1;
  int m_stdinWriter = -1;
};

class LoggedInTest : public HostTest {
 protected:
  // Writes the login file and the account (of command level `level`), starts the host with the
  // server (of `maxlinks` links) and the client, and waits until the client is logged in; what
  // that printed is kept in m_started. `lines` go into the account file as well.
  void StartLinks(unsigned maxlinks = 100, const std::string& password = "s3cretpw", int level = 1,
                  const std::string& lines = "");
  void TearDown() override;
  // Runs host cycles until pred holds, at most about ms.
  bool CyclesUntil(const std::function<bool()>& pred, int ms = testkit::kWaitMs);
  // Sends a command over `link` from the test thread in a record of its own: while the worker
  // runs, the shared record of the command builders is the worker's.
  static int SendFromTest(iSend* link, int level, const std::string& text);
  // The server's link of the client.
  unsigned LinkId() { return m_host->FindServerAccount("opsuser")->GetID(); }

  std::unique_ptr<linktest::cTestServer> m_server;
  std::unique_ptr<linktest::cTestClient> m_client;
  std::string m_started;
};
