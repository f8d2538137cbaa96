// "Server and client logged in": a host of the test's own (HostTest) with an easy server
// "center" and its easy client "global" on 127.0.0.1, the client logged in as "opsuser" (level
// 1 unless the test says otherwise), the host's cycles driven by the test thread. The client's
// endpoint holds a recording group (Mark, Output) at levels 1 and 3; both sides count their peers'
// exception notices.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "tessel/contracts/netlib.h"
#include "tessel/link/easy_client.h"
#include "tessel/link/easy_server.h"
#include "testkit/host_fixture.h"
#include "testkit/record_cmd.h"

class cLinkServer : public cEasyServer {
 public:
  explicit cLinkServer(unsigned maxlinks) : m_nMaxLinks(maxlinks) {}
  void GetInfo(stServerInfo& info) override;
  const char* GetName() override { return "center"; }
  void OnClientException(unsigned int linkId) override { notices.push_back(linkId); }
  unsigned short Port() { return GetNetServer() != nullptr ? GetNetServer()->GetPort() : 0; }
  std::vector<unsigned int> notices;

 private:
  unsigned m_nMaxLinks;
};

// Reads its login file ("config/login_<name>.ini"); the port is the server's.
class cLinkClient : public cEasyClient {
 public:
  explicit cLinkClient(cLinkServer& server, const char* name = "global");
  void GetInfo(stClientInfo& info) override;
  const char* GetName() override { return m_strName.c_str(); }
  void OnServerException() override { ++notices; }
  cRecordCmd record{"cCmd_TestRecord", {"Mark", "Output"}};
  int notices = 0;

 private:
  cLinkServer& m_server;
  std::string m_strName;
};

class LoggedInTest : public HostTest {
 protected:
  // Writes the login file and the account (of command level `level`), starts the host with the
  // server (of `maxlinks` links) and the client, and waits until the client is logged in; what
  // that printed is kept in m_started.
  void StartLinks(unsigned maxlinks = 100, const std::string& password = "s3cretpw", int level = 1);
  void TearDown() override;
  // Runs host cycles until pred holds, at most about ms.
  bool CyclesUntil(const std::function<bool()>& pred, int ms = 5000);
  // The server's link of the client.
  unsigned LinkId();

  std::unique_ptr<cLinkServer> m_server;
  std::unique_ptr<cLinkClient> m_client;
  std::string m_started;
};
