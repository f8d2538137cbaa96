#include "easy_link_fixture.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "tessel/console/groups/standard_groups.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/lua_register.h"

namespace linktest {

cTestServer::~cTestServer() {
  ClearNet();
}

void cTestServer::GetInfo(stServerInfo& info) {
  info.port = m_nPort;
  info.bindip = 0x7F000001;
}

cTestClient::~cTestClient() {
  ClearNet();
}

void cTestClient::GetInfo(stClientInfo& info) {
  LoadInfo(info);
  info.port = m_nPort;
  if (adjust) adjust(info);
}

void EasyLinkTest::SetUp() {
  m_home = std::make_unique<cTempHome>();
  // The standard groups answer what the endpoints' own arrays do not hold.
  static const bool groups = [] {
    AddStandardGroups(cTesselCmd::Instance());
    return true;
  }();
  (void)groups;
}

void EasyLinkTest::TearDown() {
  m_client.reset();
  m_server.reset();
  m_outputGroup.reset();
  m_home.reset();
}

void EasyLinkTest::WriteLoginFile(const std::string& name, const std::string& lines) {
  std::filesystem::create_directories("config");
  std::ofstream("config/login_" + name + ".ini") << lines;
}

void EasyLinkTest::WriteAccount(const std::string& account, const std::string& password,
                                int level) {
  std::filesystem::create_directories("db/accounts");
  std::ofstream("db/accounts/" + account + ".ini")
      << "password = " << password << "\ncmd = " << level << "\n";
}

void EasyLinkTest::StartServer(unsigned short port) {
  m_server = std::make_unique<cTestServer>(port);
  ASSERT_TRUE(m_server->Start());
  ASSERT_NE(m_server->Port(), 0);
}

void EasyLinkTest::StartClient(const std::function<void(stClientInfo&)>& adjust) {
  m_client = std::make_unique<cTestClient>(m_server->Port());
  m_client->adjust = adjust;
  Link().SetClock([this] { return m_now.load(); });
  Link().BindiConnectDisconnect(&m_logins);
  m_outputGroup = std::make_unique<cTestCmd>("cCmd_TestOutput", [this](lua_State* L) {
    luareg::def(L, "Output", [this](const char* text) { m_outputs.emplace_back(text); });
  });
  Link().AddCmd(1, m_outputGroup.get());
  Link().AddCmd(3, m_outputGroup.get());
  ASSERT_TRUE(m_client->Start());
}

bool EasyLinkTest::Pump(const std::function<bool()>& pred, int ms, unsigned long stepMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    if (m_server) m_server->HandleMsg();
    if (m_client) {
      m_client->HandleMsg();
      m_client->RunEasy(stepMs);
    }
    if (pred()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace linktest
