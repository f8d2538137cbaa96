#include "testkit/logged_in_fixture.h"

#include <chrono>
#include <thread>

#include "tessel/core/config_stores.h"
#include "testkit/file_text.h"
#include "testkit/stdout_capture.h"

void cLinkServer::GetInfo(stServerInfo& info) {
  info.bindip = 0x7F000001;
  info.maxlinks = m_nMaxLinks;
}

cLinkClient::cLinkClient(cLinkServer& server, const char* name)
    : m_server(server), m_strName(name) {
  GetBridgeClient()->AddCmd(1, &record);
  GetBridgeClient()->AddCmd(3, &record);
}

void cLinkClient::GetInfo(stClientInfo& info) {
  LoadInfo(info);
  info.port = m_server.Port();
}

void LoggedInTest::StartLinks(unsigned maxlinks, const std::string& password, int level) {
  // Launch parameters would override the login file.
  for (const char* key : {"serverip", "serverip2", "account", "password"})
    GetExeParamStore().SetStringString(key, "");
  testkit::WriteFile(
      "config/login_global.ini",
      "serverip = 127.0.0.1\nautoconnect = 1\naccount = opsuser\npassword = " + password + "\n");
  testkit::WriteFile("db/accounts/opsuser.ini",
                     "password = " + password + "\ncmd = " + std::to_string(level) + "\n");
  testkit::cStdoutCapture capture;
  m_server = std::make_unique<cLinkServer>(maxlinks);
  m_client = std::make_unique<cLinkClient>(*m_server);
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

bool LoggedInTest::CyclesUntil(const std::function<bool()>& pred, int ms) {
  for (int waited = 0; waited < ms; waited += 2) {
    Cycles(1);
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return false;
}

unsigned LoggedInTest::LinkId() {
  return m_host->FindServerAccount("opsuser")->GetID();
}
