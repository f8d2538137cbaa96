// A listening easy server and a connecting easy client in one test process on 127.0.0.1, pumped
// by the test thread, with a hand-moved clock on the client, the standard command groups, a
// recorder of the client's login results and of the Output commands it receives at levels 1 and 3.
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
#include "testkit/link_test_util.h"

namespace linktest {

class cTestServer : public cEasyServer {
 public:
  explicit cTestServer(unsigned short port = 0) : m_nPort(port) {}
  ~cTestServer() override;
  void GetInfo(stServerInfo& info) override;
  const char* GetName() override { return "center"; }
  unsigned short Port() { return GetNetServer() != nullptr ? GetNetServer()->GetPort() : 0; }

 private:
  unsigned short m_nPort;
};

// Reads its login file; the port and the re-connect wait come from the test.
class cTestClient : public cEasyClient {
 public:
  explicit cTestClient(unsigned short port, const char* name = "global")
      : m_nPort(port), m_strName(name) {}
  ~cTestClient() override;
  void GetInfo(stClientInfo& info) override;
  const char* GetName() override { return m_strName.c_str(); }
  std::function<void(stClientInfo&)> adjust;

 private:
  unsigned short m_nPort;
  std::string m_strName;
};

// Records the login results an endpoint is told of.
class cLoginRecorder : public iConnectDisconnect {
 public:
  void OnConnect(unsigned int) override { ++connects; }
  bool OnDisconnect(unsigned int) override {
    ++disconnects;
    return true;
  }
  void OnLogined(unsigned int, int result) override { results.push_back(result); }
  int connects = 0;
  int disconnects = 0;
  std::vector<int> results;
};

class EasyLinkTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Writes "config/login_<name>.ini" and the account file "db/accounts/<account>.ini".
  void WriteLoginFile(const std::string& name, const std::string& lines);
  void WriteAccount(const std::string& account, const std::string& password, int level);
  // Starts the server (on `port`, 0 = any) and a client of it with the recorders bound.
  void StartServer(unsigned short port = 0);
  void StartClient(const std::function<void(stClientInfo&)>& adjust = nullptr);
  // Pumps both sides (client: HandleMsg and RunEasy(stepMs)) until pred holds or ms pass.
  bool Pump(const std::function<bool()>& pred, int ms = 5000, unsigned long stepMs = 0);
  void PumpFor(int ms) {
    Pump([] { return false; }, ms);
  }
  cBridgeClient& Link() { return *m_client->GetBridgeClient(); }

  std::unique_ptr<cTempHome> m_home;
  std::atomic<std::time_t> m_now{1000000};
  std::unique_ptr<cTestServer> m_server;
  std::unique_ptr<cTestClient> m_client;
  cLoginRecorder m_logins;
  std::vector<std::string> m_outputs;  // texts of Output commands the client received at level 1
  std::unique_ptr<cTestCmd> m_outputGroup;
};

}  // namespace linktest
