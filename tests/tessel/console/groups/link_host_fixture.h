// A host of its own with a server "center" and a client "global" of it on 127.0.0.1, logged in
// as "opsuser" at level 1, pumped by the test thread. The client's endpoint holds a group of its
// own at level 3 that marks what it is sent.
#pragma once

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cmd_group_util.h"
#include "tessel/console/groups/config_stores.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/contracts/netlib.h"
#include "tessel/host/host_fixture.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"

namespace grouplink {

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
  void GetInfo(stServerInfo& info) override { info.bindip = 0x7F000001; }
  const char* GetName() override { return "center"; }
};

class cClient : public cEasyClient {
 public:
  explicit cClient(cServer& server) : m_server(server) { GetBridgeClient()->AddCmd(3, &mark); }
  void GetInfo(stClientInfo& info) override {
    LoadInfo(info);
    info.port = m_server.GetNetServer()->GetPort();
  }
  const char* GetName() override { return "global"; }
  cMarkCmd mark;

 private:
  cServer& m_server;
};

class LinkHostTest : public HostTest {
 protected:
  void SetUp() override {
    HostTest::SetUp();
    // Launch parameters would override the login file.
    for (const char* key : {"serverip", "serverip2", "account", "password"})
      GetExeParamStore().SetStringString(key, "");
    std::filesystem::create_directories("config");
    std::filesystem::create_directories("db/accounts");
    std::ofstream("config/login_global.ini")
        << "serverip = 127.0.0.1\nautoconnect = 1\naccount = opsuser\npassword = s3cretpw\n";
    std::ofstream("db/accounts/opsuser.ini") << "password = s3cretpw\ncmd = 1\n";
    m_server = std::make_unique<cServer>();
    m_client = std::make_unique<cClient>(*m_server);
    CoutCapture capture;
    m_host->Init();
    m_host->SetTesselServer(m_server.get());
    m_host->SetTesselClient(m_client.get());
    ASSERT_TRUE(m_host->Start(false));
    ASSERT_TRUE(CyclesUntil([&] { return m_host->FindServerAccount("opsuser") != nullptr; }));
    m_started = capture.Text();
  }
  void TearDown() override {
    {
      CoutCapture quiet;
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
  std::string m_started;  // what the start and the login printed
};

}  // namespace grouplink
