#include "tessel/link/cmd_audit.h"

#include <gtest/gtest.h>

#include "tessel/link/cmd_send.h"
#include "testkit/audit_files.h"
#include "testkit/link_fixture.h"

namespace linktest {
namespace {

// A record refused before its text runs names what it lacked: the group a rights check refused
// whole, or, for an account of level 0, a level above it.
TEST_F(LinkTest, ARecordRefusedBeforeItsTextRunsNamesWhatItLacked) {
  struct cNoGroup6 : iCmdRights {
    HandleChatExceptionEnum Allow(const stCmdContext& cmd) override {
      return cmd.group == 6 ? ChatException_NoPri : ChatException_OK;
    }
  } rights;
  testkit::cProcessTrail at;
  ASSERT_TRUE(at.open);
  cCmdAudit::Install();
  WriteAccount("gm", "pw", 9);
  WriteAccount("viewer", "pw", 0);
  StartServer();
  ASSERT_TRUE(ConnectPeer());
  ASSERT_TRUE(PeerLogIn("gm", "pw"));
  SetCmdRights(&rights);
  EXPECT_TRUE(PeerRefused(6, "Hello()", ChatException_NoPri));
  SetCmdRights(nullptr);
  SendCmd(m_peerLink->client, 2, "Logout()");
  ASSERT_TRUE(PeerLogIn("viewer", "pw"));
  EXPECT_TRUE(PeerRefused(6, "Hello()", ChatException_NoPri));
  std::vector<std::string> refused;
  for (const std::string& line : at.CmdLines())
    if (AuditField(line, "outcome") == "refused") refused.push_back(line);
  ASSERT_EQ(refused.size(), 2u);
  EXPECT_EQ(AuditField(refused[0], "right"), "6");
  EXPECT_EQ(AuditField(refused[1], "right"), "level>0");
}

}  // namespace
}  // namespace linktest
