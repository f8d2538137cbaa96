#include "tessel/core/audit_scope.h"

#include <gtest/gtest.h>

#include "tessel/contracts/lua_register.h"
#include "tessel/core/audit_trail.h"
#include "tessel/core/cmd.h"
#include "testkit/audit_files.h"
#include "testkit/stdout_capture.h"

namespace {

// Run(text) runs another text in the same group, as a command that parses a line does.
struct cAuditedCmd : cCmd {
  void bind_cln(lua_State* L) override {
    luareg::def(L, "Nop", [] {});
    luareg::def(L, "Run", [this](const char* text) { Do(text); });
    luareg::def(L, "SendOn", [](const char* peer) { cAuditScope::NoteUncarried(peer); });
  }
  const char* GetName() override { return "cCmd_Audited"; }
};

class AuditScope : public ::testing::Test {
 protected:
  void SetUp() override {
    cAuditScope::SetProcess("game");
    group.Create();
  }
  testkit::cProcessTrail at;
  cAuditedCmd group;
  testkit::cStdoutCapture quiet;
};

TEST_F(AuditScope, EachTextLeavesALineNamingItsSourceAndAnInnerSourceKeepsTheOrigin) {
  group.Do("Nop()");
  {
    const cAuditScope console(cAuditScope::stWho(eAuditSource::Console, "console"));
    const cAuditScope alias{cAuditScope::stWho(eAuditSource::Alias)};
    group.Do("Nop()");
  }
  const auto lines = at.CmdLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(AuditField(lines[0], "source"), "local");
  EXPECT_EQ(AuditField(lines[0], "origin"), "-");
  EXPECT_EQ(AuditField(lines[1], "source"), "alias");
  EXPECT_EQ(AuditField(lines[1], "origin"), "console@game");
}

TEST_F(AuditScope, ARefusalNamesItsRightAndAnyOtherErrorIsALuaError) {
  group.Do("Nop()");
  group.Do("Nop() error('refused: ro may not run System (needs @shell)')");
  group.Do("error('boom')");
  const auto lines = at.CmdLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(AuditField(lines[0], "outcome"), "ran");
  EXPECT_EQ(AuditField(lines[1], "outcome"), "refused");
  EXPECT_EQ(AuditField(lines[1], "right"), "@shell");
  EXPECT_EQ(AuditField(lines[2], "outcome"), "error");
}

// A received record's handler writes the record's own line; what the record runs in turn is
// lined here, from the record's peer.
TEST_F(AuditScope, AScopeThatWritesItsOwnLineLeavesOnlyTheTextsRunInside) {
  {
    const cAuditScope peer(cAuditScope::stWho(eAuditSource::Peer, "ops", "127.0.0.1"), true);
    group.Do("Run('Nop()')");
  }
  const auto lines = at.CmdLines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(AuditField(lines[0], "text"), "Nop()");
  EXPECT_EQ(AuditField(lines[0], "origin"), "ops@game");
  EXPECT_EQ(AuditField(lines[0], "peer"), "127.0.0.1");
}

// A command sent on to a peer that cannot take the origin is named on the line of the text that
// sent it, each peer once; a scope that writes its own line keeps the names for it.
TEST_F(AuditScope, PeersACommandWentToWithoutItsOriginAreNamedOnTheLineOfItsSender) {
  group.Do("Nop()");
  group.Do("SendOn('ops') SendOn('gm') SendOn('ops')");
  std::string many;
  for (int i = 0; i < 30; ++i) many += "SendOn('peer" + std::to_string(i) + "') ";
  group.Do(many.c_str());
  {
    const cAuditScope peer(cAuditScope::stWho(eAuditSource::Peer, "proc", "127.0.0.1"), true);
    group.Do("SendOn('map') Run('SendOn(\\'chat\\')')");
    EXPECT_EQ(peer.Uncarried(), "map");
  }
  const auto lines = at.CmdLines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].find("uncarried="), std::string::npos);
  EXPECT_EQ(AuditField(lines[1], "uncarried"), "ops,gm");
  const std::string_view cut = AuditField(lines[2], "uncarried");
  EXPECT_EQ(cut.substr(0, 12), "peer0,peer1,");
  EXPECT_EQ(cut.substr(cut.size() - 4), ",...");
  EXPECT_LE(cut.size(), 90u);
  EXPECT_EQ(AuditField(lines[3], "uncarried"), "chat");
}

}  // namespace
