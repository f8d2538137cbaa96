// The host with a real easy server and easy client of its own on 127.0.0.1: the walks over them,
// the lookups by name and by account, and the hooks the host installs.
#include "tessel/host/tessel.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/netlib.h"
#include "tessel/core/tessel_values.h"
#include "tessel/link/net_help.h"
#include "testkit/logged_in_fixture.h"

namespace {

using HostLinksTest = LoggedInTest;

TEST_F(HostLinksTest, LookupsFindEndpointsLinksAndTheOwnAccount) {
  StartLinks(100, "pw");
  cBridgeClient* route = m_client->GetBridgeClient();
  EXPECT_EQ(m_host->FindBridge("center"), m_server->GetBridgeServer());
  EXPECT_EQ(m_host->FindBridge("global"), route);
  EXPECT_EQ(m_host->FindBridge("nobody"), nullptr);

  iSend* onServer = m_host->FindServerAccount("opsuser");
  ASSERT_NE(onServer, nullptr);
  EXPECT_NE(onServer->GetID(), 0) << "the server's link of that account";
  int found = -1;
  EXPECT_EQ(m_host->FindLinkProgram("global", found), m_client->GetNetClient());
  EXPECT_EQ(found, 1);
  EXPECT_EQ(m_host->FindLinkProgram("opsuser", found), onServer);
  EXPECT_EQ(found, 1);
  EXPECT_EQ(m_host->FindLinkProgram("nobody", found), nullptr);
  EXPECT_EQ(found, 0);

  const std::string program = cTesselValues::Instance().GetProgram();
  EXPECT_EQ(m_host->GetAccount(), program);
  EXPECT_EQ(m_host->IsAccount("opsuser"), 0);
  m_host->SetDefaultRoute(route);
  EXPECT_STREQ(m_host->GetAccount(), "opsuser");
  EXPECT_EQ(m_host->IsAccount("opsuser"), 1);
  EXPECT_EQ(m_host->IsAccount(program.c_str()), 1) << "the program's name stays its own";
  m_host->SetDefaultRoute(nullptr);
  EXPECT_EQ(m_host->GetAccountFather(), program) << "the login answer named the server";
}

TEST_F(HostLinksTest, CommandsToAllServersSkipServersOfManyLinksOnlyForManagers) {
  for (unsigned maxlinks : {100u, 1000u}) {
    SCOPED_TRACE(maxlinks);
    StartLinks(maxlinks, "pw");
    m_host->SendCmdAllServerManager(1, "Mark('manager')");
    m_host->SendCmdAllServer(1, "Mark('all')");
    const auto marks = [&] { return m_client->record.FirstArgs("Mark"); };
    ASSERT_TRUE(CyclesUntil([&] { return !marks().empty() && marks().back() == "all"; }));
    const std::vector<std::string> expected = maxlinks < 1000
                                                  ? std::vector<std::string>{"manager", "all"}
                                                  : std::vector<std::string>{"all"};
    EXPECT_EQ(marks(), expected);
    TearDown();
    SetUp();
  }
}

TEST_F(HostLinksTest, EndStopsReconnectingAndClearsTheNetwork) {
  StartLinks(100, "pw");
  m_host->End();
  EXPECT_EQ(m_server->GetNetServer(), nullptr);
  EXPECT_EQ(m_client->GetNetClient(), nullptr);
  EXPECT_FALSE(m_client->GetBridgeClient()->GetInfo().autoreconnect);
}

// The host started with standard input closed: the pipes it makes must not take descriptor 0.
TESSEL_CHILD_SCENARIO(host_closed_stdin) {
  ::close(0);
  cTessel host;
  struct stat st {};
  if (::fstat(0, &st) != 0) return 1;
  return S_ISCHR(st.st_mode) ? 0 : 2;
}

TEST(HostStandardFds, AClosedStandardInputIsOpenedOnDevNull) {
  testkit::cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "host_closed_stdin", false);
  EXPECT_TRUE(r.exited) << r.out;
  EXPECT_EQ(r.code, 0) << r.out;
}

}  // namespace
