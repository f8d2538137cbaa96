// The host with a real easy server and easy client of its own on 127.0.0.1: the lookups by
// account, the commands to all servers, and the end. The lookups of endpoints by name are the
// host group's cases.
#include <sys/stat.h>
#include <unistd.h>

#include "tessel/core/tessel_values.h"
#include "tessel/host/tessel.h"
#include "testkit/logged_in_fixture.h"

namespace {

// Commands for managers skip servers of many links (the clients' servers).
TEST_F(LoggedInTest, CommandsToAllServersLookupsByAccountAndTheEndThatClearsTheNetwork) {
  for (unsigned maxlinks : {1000u, 100u}) {
    if (maxlinks == 100) {
      TearDown();
      SetUp();
    }
    StartLinks(maxlinks, "pw");
    EXPECT_EQ(m_host->SendCmdAllServerManager(1, "Mark('manager')"), maxlinks < 1000 ? 1 : -1);
    m_host->SendCmdAllServer(1, "Mark('all')");
    const auto marks = [&] { return m_client->record.FirstArgs("Mark"); };
    const auto lastIsAll = [&] { return !marks().empty() && marks().back() == "all"; };
    ASSERT_TRUE(CyclesUntil(lastIsAll));
    EXPECT_EQ(marks().size(), maxlinks < 1000 ? 2u : 1u) << maxlinks;
  }
  int found = -1;
  EXPECT_EQ(m_host->FindLinkProgram("opsuser", found), m_host->FindServerAccount("opsuser"));
  EXPECT_EQ(found, 1);
  EXPECT_EQ(m_host->FindLinkProgram("nobody", found), nullptr);
  EXPECT_EQ(found, 0);
  const std::string program = cTesselValues::Instance().GetProgram();
  m_host->SetDefaultRoute(m_client->GetBridgeClient());
  EXPECT_STREQ(m_host->GetAccount(), "opsuser");
  EXPECT_EQ(m_host->IsAccount(program.c_str()), 1) << "the program's name stays its own";
  m_host->SetDefaultRoute(nullptr);
  EXPECT_EQ(m_host->GetAccountFather(), program) << "the login answer named the server";
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
  return ::fstat(0, &st) == 0 && S_ISCHR(st.st_mode) ? 0 : 1;
}

TEST(HostStandardFds, AClosedStandardInputIsOpenedOnDevNull) {
  testkit::cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "host_closed_stdin", false);
  EXPECT_EQ(r.code, 0) << r.out;
}

}  // namespace
