#include "host_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <iostream>
#include <thread>

#include "tessel/contracts/timer.h"
#include "tessel/core/config_stores.h"

stEndPacing QuickPacing() {
  stEndPacing p;
  p.pauseMs = 1;
  p.pollMs = 5;
  p.exceptionRounds = 3;
  p.exceptionStepMs = 1;
  p.threadEndMs = 5000;
  p.settleMs = 1;
  return p;
}

namespace {

// A timer that calls its fault when it fires.
class cFaultTimer : public iTimerObjEx {
 public:
  explicit cFaultTimer(void (*fault)()) : m_fault(fault) {}
  unsigned long OnTimer(unsigned long) override {
    m_fault();
    return 0;
  }

 private:
  void (*m_fault)();
};

}  // namespace

int RunProgramHost(const std::string& params, void (*fault)()) {
  AddExeParamStream(params.c_str());
  cTessel& host = cTessel::Instance();
  host.SetEndPacing(QuickPacing());
  host.SetProgram("Dec  6 2026", "10:00:00", "1.0.0", "map");
  host.Init();
  static cFaultTimer timer(fault);
  if (fault != nullptr) timer.AddTimer(TimeRange_MS, TimerEnum_Once, 30, 1);
  if (!host.Start(true)) return 10;
  // The worker is running (its crash-status recorder installed) before the console starts.
  for (int i = 0; i < 500 && host.IsStopped(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  host.Main();
  std::cout << "main returned" << std::endl;
  host.End();
  std::cout << "ended in order" << std::endl;
  return 0;
}

void HostTest::SetUp() {
  char cwd[4096];
  m_oldCwd = ::getcwd(cwd, sizeof cwd) ? cwd : "/tmp";
  m_dir = std::make_unique<testkit::cTempDir>();
  ::setenv("TESSEL_HOME", m_dir->path().c_str(), 1);
  ::setenv("TESSEL_REGISTRY", m_dir->file("registry").c_str(), 1);
  m_oldStdin = ::dup(0);
  int in[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ::dup2(in[0], 0);
  ::close(in[0]);
  m_stdinWriter = in[1];
  cTimerManager::Instance().SetClock(&m_clock);
  m_host = std::make_unique<cTessel>();
  m_host->SetEndPacing(QuickPacing());
}

void HostTest::TearDown() {
  m_host.reset();
  cTimerManager::Instance().Clear();
  cTimerManager::Instance().SetClock(nullptr);
  GetConfigStore().SetStringValue("run", 1);
  ::close(m_stdinWriter);
  ::dup2(m_oldStdin, 0);
  ::close(m_oldStdin);
  if (::chdir(m_oldCwd.c_str()) != 0) ADD_FAILURE() << "cannot return to " << m_oldCwd;
  m_dir.reset();
}

void HostTest::Type(const std::string& line) {
  const std::string text = line + "\n";
  ASSERT_EQ(::write(m_stdinWriter, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

void HostTest::Cycles(int n, std::uint32_t stepMs) {
  for (int i = 0; i < n; ++i) {
    m_clock.ms += stepMs;
    m_host->RunOnce(0);
  }
}
