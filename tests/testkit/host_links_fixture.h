// A host of its own with a server "center" and a client "global" of it on 127.0.0.1, logged in
// as "opsuser" at level 1, pumped by the test thread. The client's endpoint holds a group at a
// level the test chooses that marks what it is sent.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/cmd.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "testkit/host_fixture.h"

namespace hostlinks {

class cMarkCmd : public cCmd {
 public:
  ~cMarkCmd() override { Clear(); }
  void bind_cln(lua_State* L) override {
    luareg::def(L, "Mark", [this](const char* text) { marks.emplace_back(text); });
  }
  const char* GetName() override { return "cCmd_TestMark"; }
  std::vector<std::string> marks;
};

class cServer : public cEasyServer {
 public:
  explicit cServer(unsigned maxlinks) : m_nMaxLinks(maxlinks) {}
  void GetInfo(stServerInfo& info) override {
    info.bindip = 0x7F000001;
    info.maxlinks = m_nMaxLinks;
  }
  const char* GetName() override { return "center"; }

 private:
  unsigned m_nMaxLinks;
};

class cClient : public cEasyClient {
 public:
  cClient(cServer& server, unsigned markLevel) : m_server(server) {
    GetBridgeClient()->AddCmd(markLevel, &mark);
  }
  void GetInfo(stClientInfo& info) override {
    LoadInfo(info);
    info.port = m_server.GetNetServer()->GetPort();
  }
  const char* GetName() override { return "global"; }
  cMarkCmd mark;

 private:
  cServer& m_server;
};

class HostLinksTest : public HostTest {
 protected:
  // Starts the server (of `maxlinks` links) and its client, whose mark group sits at
  // `markLevel`, and waits until the client is logged in.
  void StartLinks(unsigned maxlinks, unsigned markLevel, const std::string& password) {
    std::filesystem::create_directories("config");
    std::filesystem::create_directories("db/accounts");
    std::ofstream("config/login_global.ini")
        << "serverip = 127.0.0.1\nautoconnect = 1\naccount = opsuser\npassword = " << password
        << "\n";
    std::ofstream("db/accounts/opsuser.ini") << "password = " << password << "\ncmd = 1\n";
    m_server = std::make_unique<cServer>(maxlinks);
    m_client = std::make_unique<cClient>(*m_server, markLevel);
    m_host->Init();
    m_host->SetTesselServer(m_server.get());
    m_host->SetTesselClient(m_client.get());
    ASSERT_TRUE(m_host->Start(false));
    ASSERT_TRUE(CyclesUntil([&] { return m_host->FindServerAccount("opsuser") != nullptr; }));
  }
  void TearDown() override {
    if (m_server) {
      m_host->ClearNet();
      m_host.reset();
    }
    m_client.reset();
    m_server.reset();
    HostTest::TearDown();
  }
  // Runs host cycles until pred holds, at most about ms.
  bool CyclesUntil(const std::function<bool()>& pred, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 2) {
      Cycles(1);
      if (pred()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
  }
  // The server's link of the client.
  unsigned LinkId() { return m_host->FindServerAccount("opsuser")->GetID(); }

  std::unique_ptr<cServer> m_server;
  std::unique_ptr<cClient> m_client;
};

}  // namespace hostlinks
