#include "testkit/logged_in_fixture.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "tessel/core/config_stores.h"
#include "tessel/msg/msg_records.h"
#include "testkit/stdout_capture.h"

// Short end pauses (ms): pause, poll, exception rounds and step, thread end, settle.
constexpr stEndPacing kQuickPacing{1, 5, 3, 1, 5000, 1};

void HostTest::SetUp() {
  m_dir = std::make_unique<testkit::cTempDir>(testkit::cTempDir::kHome);
  m_oldStdin = ::dup(0);
  int in[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ::dup2(in[0], 0);
  ::close(in[0]);
  m_stdinWriter = in[1];
  cTimerManager::Instance().SetClock(&m_clock);
  m_host = std::make_unique<cTessel>();
  m_host->SetEndPacing(kQuickPacing);
}

void HostTest::TearDown() {
  m_host.reset();
  cTimerManager::Instance().Clear();
  cTimerManager::Instance().SetClock(nullptr);
  GetConfigStore().SetStringValue("run", 1);
  ::close(m_stdinWriter);
  ::dup2(m_oldStdin, 0);
  ::close(m_oldStdin);
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

void LoggedInTest::StartLinks(unsigned maxlinks, const std::string& password, int level,
                              const std::string& lines) {
  // Launch parameters would override the login file.
  for (const char* key : {"serverip", "serverip2", "account", "password"})
    GetExeParamStore().SetStringString(key, "");
  m_dir->login("global", "opsuser", password, "autoconnect = 1\n");
  m_dir->account("opsuser", password, level, lines);
  testkit::cStdoutCapture capture;
  m_server = std::make_unique<linktest::cTestServer>(0, maxlinks);
  m_client = std::make_unique<linktest::cTestClient>(0, m_server.get());
  m_host->Init();
  m_host->SetTesselServer(m_server.get());
  m_host->SetTesselClient(m_client.get());
  ASSERT_TRUE(m_host->Start(false));
  ASSERT_TRUE(CyclesUntil([&] { return m_host->FindServerAccount("opsuser") != nullptr; }));
  m_started = capture.Text();
}

void LoggedInTest::TearDown() {
  testkit::cStdoutCapture quiet;
  if (m_server && m_host) {
    m_host->ClearNet();
    m_host.reset();
  }
  m_client.reset();
  m_server.reset();
  HostTest::TearDown();
}

// The record's bytes as they travel, no larger than its wire size: a flood of them stays cheap.
int LoggedInTest::SendFromTest(iSend* link, int level, const std::string& text) {
  std::vector<char> record(CmdWireSize(text.size()), '\0');
  const stMsg head{static_cast<std::uint16_t>(stMsg_Cmd::s_nType), 0};
  std::memcpy(record.data(), &head, sizeof(head));
  std::memcpy(record.data() + cCmdRecordView::kGroupOffset, &level, sizeof(level));
  std::memcpy(record.data() + cCmdRecordView::kTextOffset, text.data(), text.size());
  return link->Send(reinterpret_cast<const stMsg*>(record.data()), record.size());
}

bool LoggedInTest::CyclesUntil(const std::function<bool()>& pred, int ms) {
  for (int waited = 0; waited < ms; waited += 2) {
    Cycles(1);
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}
