// The link fixture: in a temporary home, an easy server "center" on 127.0.0.1 (its own groups
// first, the standard groups behind them) and either its easy client "global" or a plain peer of
// the network library that records every delivery; the test thread pumps both sides. The
// client's clock is moved by hand; its login results and connects are counted, and a recording
// group at levels 1 and 3 keeps the Output commands it receives. The same server and client,
// driven by a host, make the host floor's logged-in fixture.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "testkit/net_recorder.h"
#include "testkit/record_cmd.h"
#include "testkit/temp_dir.h"

namespace linktest {

// A command group whose functions a registration function binds.
class cFnCmd : public cCmd {
 public:
  cFnCmd(const char* name, std::function<void(lua_State*)> bind)
      : m_name(name), m_bind(std::move(bind)) {}
  ~cFnCmd() override { Clear(); }
  void bind_cln(lua_State* L) override { m_bind(L); }
  const char* GetName() override { return m_name.c_str(); }

 private:
  std::string m_name;
  std::function<void(lua_State*)> m_bind;
};

class cTestServer : public cEasyServer {
 public:
  // maxlinks 0 keeps the network library's default.
  explicit cTestServer(unsigned short port = 0, unsigned maxlinks = 0)
      : m_nPort(port), m_nMaxLinks(maxlinks) {}
  void GetInfo(stServerInfo& info) override;
  const char* GetName() override { return "center"; }
  void OnClientException(unsigned int linkId) override { notices.push_back(linkId); }
  unsigned short Port() { return GetNetServer() != nullptr ? GetNetServer()->GetPort() : 0; }
  std::vector<unsigned int> notices;  // links whose client reported an exception

 private:
  unsigned short m_nPort;
  unsigned m_nMaxLinks;
};

// Reads config/login_global.ini; the port is the test's, else the server's when it connects;
// `adjust` changes the rest. A recording group (Mark, Output) sits at levels 1 and 3.
class cTestClient : public cEasyClient {
 public:
  explicit cTestClient(unsigned short port, cTestServer* server = nullptr)
      : m_nPort(port), m_pServer(server) {
    for (int level : {1, 3}) GetBridgeClient()->AddCmd(level, &record);
  }
  ~cTestClient() override { ClearNet(); }
  void GetInfo(stClientInfo& info) override;
  const char* GetName() override { return "global"; }
  void OnServerException() override { ++notices; }
  std::function<void(stClientInfo&)> adjust;
  cRecordCmd record{"cCmd_TestRecord", {"Mark", "Output"}};
  int notices = 0;  // exception notices from the server

 private:
  unsigned short m_nPort;
  cTestServer* m_pServer;
};

// Counts what an endpoint tells its listeners.
struct cLoginRecorder : iConnectDisconnect {
  void OnConnect(unsigned int) override { ++connects; }
  bool OnDisconnect(unsigned int) override {
    ++disconnects;
    return true;
  }
  void OnLogined(unsigned int, int result) override { results.push_back(result); }
  int connects = 0, disconnects = 0;
  std::vector<int> results;
};

class LinkTest : public ::testing::Test {
 protected:
  LinkTest();
  ~LinkTest() override;
  // config/login_global.ini; db/accounts/<account>.ini.
  void WriteLogin(const std::string& lines) { m_home.write("config/login_global.ini", lines); }
  void WriteAccount(const std::string& account, const std::string& password, int level) {
    m_home.account(account, password, level);
  }
  void StartServer(unsigned short port = 0);
  void StartClient(const std::function<void(stClientInfo&)>& adjust = nullptr);
  // Connects the plain peer, the server's link 1; true once the server made its account record.
  bool ConnectPeer();
  // Sends a command from the peer, then pumps until the peer received a record for which
  // `pred` holds: the Output of `output`, an exception notice with `code`, a login result of 1.
  bool Exchange(int group, const std::string& text, const testkit::Pred& pred);
  bool PeerAnswered(int group, const std::string& text, const std::string& output);
  bool PeerRefused(int group, const std::string& text, int code);
  // Sends a record of `type` with `body` from the peer; true once it is refused with `code`.
  bool PeerRecordRefused(int type, const std::string& body, int code);
  bool PeerLogIn(const std::string& account, const std::string& password);
  // Writes the account "opsuser" (password pw, level 1) and a login file with it and `password`
  // that connects again by itself; starts both sides and waits for the first login result.
  void StartLoggedIn(const std::string& password = "pw",
                     const std::function<void(stClientInfo&)>& adjust = nullptr);
  // Pumps both sides (client: HandleMsg and RunEasy(stepMs)) until `pred` holds or `ms` pass.
  bool Pump(const std::function<bool()>& pred, int ms = testkit::kWaitMs, unsigned long stepMs = 0);
  void PumpFor(int ms) {
    Pump([] { return false; }, ms);
  }
  cBridgeClient& Link() { return *m_client->GetBridgeClient(); }
  cBridgeServer& Bridge() { return *m_server->GetBridgeServer(); }
  cAccountManagerHelpServer& Accounts() { return m_server->GetAccountManagerHelpServer(); }
  std::vector<std::string> Outputs() const { return m_client->record.FirstArgs("Output"); }
  bool Said(const std::string& part) const;

  testkit::cTempDir m_home{testkit::cTempDir::kHome};
  std::atomic<std::time_t> m_now{1000000};
  cLoginRecorder m_logins;
  std::unique_ptr<cTestServer> m_server;
  std::unique_ptr<cTestClient> m_client;
  testkit::cNetRecorder m_peer;
  std::unique_ptr<testkit::cClientScope> m_peerLink;
};

}  // namespace linktest
