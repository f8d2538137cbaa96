// The host with a real easy server and easy client of its own on 127.0.0.1: the lookups by
// name and by account, the commands to all servers, and the end.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tessel/core/tessel_values.h"
#include "tessel/host/tessel.h"
#include "testkit/child_process.h"
#include "testkit/logged_in_fixture.h"

namespace {

TEST_F(LoggedInTest, LookupsFindEndpointsLinksAndTheOwnAccountAndEndClearsTheNetwork) {
  StartLinks(100, "pw");
  cBridgeClient* route = m_client->GetBridgeClient();
  EXPECT_EQ(m_host->FindBridge("center"), m_server->GetBridgeServer());
  EXPECT_EQ(m_host->FindBridge("global"), route);
  EXPECT_EQ(m_host->FindBridge("nobody"), nullptr);
  int found = -1;
  EXPECT_EQ(m_host->FindLinkProgram("global", found), m_client->GetNetClient());
  EXPECT_EQ(m_host->FindLinkProgram("opsuser", found), m_host->FindServerAccount("opsuser"));
  EXPECT_EQ(found, 1);
  EXPECT_EQ(m_host->FindLinkProgram("nobody", found), nullptr);
  EXPECT_EQ(found, 0);
  const std::string program = cTesselValues::Instance().GetProgram();
  EXPECT_EQ(m_host->IsAccount("opsuser"), 0);
  m_host->SetDefaultRoute(route);
  EXPECT_STREQ(m_host->GetAccount(), "opsuser");
  EXPECT_EQ(m_host->IsAccount(program.c_str()), 1) << "the program's name stays its own";
  m_host->SetDefaultRoute(nullptr);
  EXPECT_EQ(m_host->GetAccountFather(), program) << "the login answer named the server";
  m_host->End();
  EXPECT_EQ(m_server->GetNetServer(), nullptr);
  EXPECT_EQ(m_client->GetNetClient(), nullptr);
  EXPECT_FALSE(m_client->GetBridgeClient()->GetInfo().autoreconnect);
}

// Commands for managers skip servers of many links (the clients' servers).
TEST_F(LoggedInTest, CommandsToAllServersSkipServersOfManyLinksOnlyForManagers) {
  for (unsigned maxlinks : {100u, 1000u}) {
    StartLinks(maxlinks, "pw");
    m_host->SendCmdAllServerManager(1, "Mark('manager')");
    m_host->SendCmdAllServer(1, "Mark('all')");
    const auto marks = [&] { return m_client->record.FirstArgs("Mark"); };
    ASSERT_TRUE(CyclesUntil([&] { return !marks().empty() && marks().back() == "all"; }));
    EXPECT_EQ(marks().size(), maxlinks < 1000 ? 2u : 1u) << maxlinks;
    TearDown();
    SetUp();
  }
}

// The host started with standard input closed: the pipes it makes must not take descriptor 0.
TESSEL_CHILD_SCENARIO(host_closed_stdin) {
  ::close(0);
  cTessel host;
  struct stat st {};
  return ::fstat(0, &st) == 0 && S_ISCHR(st.st_mode) ? 0 : 1;
}

TEST(HostStandardFds, AClosedStandardInputIsOpenedOnDevNull) {
  testkit::cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "host_closed_stdin", false);
  EXPECT_EQ(r.code, 0) << r.out;
}

}  // namespace
