#include "tessel/link/account_rights.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tessel/contracts/baselib.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/config_stores.h"
#include "tessel/link/cmd_handler.h"
#include "tessel/link/cmd_send.h"
#include "tessel/link/net_help.h"
#include "tessel/msg/msg_registry.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/fake_clock.h"
#include "testkit/file_text.h"
#include "testkit/in_order.h"
#include "testkit/link_fixture.h"
#include "testkit/stdout_capture.h"

namespace linktest {
namespace {

// The server's own group 4 holds Echo (@read) and Poke (@write); the plain peer logs in as op.
class AccountRightsTest : public LinkTest {
 protected:
  void SetUp() override {
    SetConfigValue("check_login", 1);
    SetConfigString("rights_without_account", "");
    StartServer();
    Bridge().AddCmd(4, &group_);
    group_.Funcs().SetRight("Echo", eCmdRight::kRead);
    group_.Funcs().SetRight("Poke", eCmdRight::kWrite);
    group_.Funcs().SetRight("StartYield", eCmdRight::kWrite);
    group_.Funcs().SetRight("Yield", eCmdRight::kRead);
    ASSERT_TRUE(ConnectPeer());
  }
  void Account(const std::string& rights) { m_home.account("op", "pw", 1, rights); }
  // The peer's Output holds `part`.
  bool PeerSaw(int group, const std::string& text, const std::string& part) {
    return Exchange(group, text, [&](const testkit::stDelivery& d) {
      return d.CmdText().find(part) != std::string::npos;
    });
  }
  std::string LoadError(const std::string& rights) {
    Account(rights);
    stAccountRights out;
    std::string error;
    EXPECT_FALSE(LoadAccountRights("db/accounts/op.ini", "op", out, error)) << rights;
    return error;
  }
  cFnCmd group_{"cCmd_RightsTest", [](lua_State* L) {
                  luareg::def(L, "Echo", [](const char* text) { get_gout() << text; });
                  luareg::def(L, "Poke", [] { get_gout() << "poked"; });
                  RegisterFunc_Yield(L);
                }};
};

TEST_F(AccountRightsTest, AFileIsReadWholeOrRefusedNamingItsLine) {
  stAccountRights out;
  std::string error;
  Account("");
  ASSERT_TRUE(LoadAccountRights("db/accounts/op.ini", "op", out, error));
  EXPECT_EQ(out.rights, nullptr);
  EXPECT_FALSE(out.process);
  Account("process = 1\ntargets = map*\n");
  ASSERT_TRUE(LoadAccountRights("db/accounts/op.ini", "op", out, error));
  EXPECT_TRUE(out.process);
  EXPECT_FALSE(out.rights->MayReach("global"));
  EXPECT_TRUE(out.rights->MayReach("map2"));
  EXPECT_EQ(LoadError("allow = @read, @write\n"), "db/accounts/op.ini:3: a blank inside the value");
  EXPECT_EQ(LoadError("deny = 4\ndeny = 5\n"), "db/accounts/op.ini:4: deny given twice");
  EXPECT_EQ(LoadError("allow =\n"), "db/accounts/op.ini:3: expected: allow = VALUE");
  EXPECT_EQ(LoadError("process = yes\n"), "db/accounts/op.ini:3: process must be 0 or 1");
  // A rule written so that it does not read as one refuses the file: skipped, it would grant
  // what it meant to take away.
  EXPECT_EQ(LoadError("deny=@shell\n"), "db/accounts/op.ini:3: expected: deny = VALUE");
  EXPECT_EQ(LoadError("Deny = @shell\n"), "db/accounts/op.ini:3: expected: deny = VALUE");
  EXPECT_EQ(LoadError("\xEF\xBB\xBF"
                      "deny = @shell\n"),
            "db/accounts/op.ini:3: a byte-order mark before deny");
  EXPECT_EQ(LoadError("deny = 51\n"), "db/accounts/op.ini:3: no group has the number 51");
  // A file that ends inside a rule's key is being written: the rules below are not there yet.
  EXPECT_EQ(LoadError("deny = @admin\nDe"),
            "db/accounts/op.ini:4: the file ends inside a key, as one being written");
}

// A bad rule keeps a first login out; a logged-in account keeps its rights over a bad reload and
// takes good new ones at its next command.
TEST_F(AccountRightsTest, ABadFileKeepsAFirstLoginOutAndALoggedInAccountsRights) {
  Account("allow = @read,\n");
  EXPECT_TRUE(PeerSaw(2, "Login('op','pw')", "login error db/accounts/op.ini:3: an empty item"));
  Account("d");
  EXPECT_TRUE(PeerSaw(2, "Login('op','pw')", "login error db/accounts/op.ini:3: the file ends"));
  // Saved as UTF-16 by a Windows editor, the password and the rules read as written.
  m_home.write("db/accounts/op.ini", testkit::Utf16Le("password = pw\r\ncmd = 1\r\nallow = @read"));
  ASSERT_TRUE(PeerLogIn("op", "pw"));
  EXPECT_TRUE(PeerAnswered(4, "Echo('a')", "a"));
  EXPECT_TRUE(PeerAnswered(4, "Poke() Echo('b')", "refused: op may not run Poke (needs @write)\n"));
  Account("allow = @read,@write\n");
  EXPECT_EQ(Accounts().ReloadRights(), 0);
  EXPECT_TRUE(PeerAnswered(4, "Poke()", "poked"));
  Account("allow = @read,@nosuch\n");
  EXPECT_EQ(Accounts().ReloadRights(), 1);
  EXPECT_TRUE(PeerAnswered(4, "Poke()", "poked"));
  // The file's level counts too: at 0 the account may run nothing but log in and out.
  m_home.account("op", "pw", 0);
  EXPECT_EQ(Accounts().ReloadRights(), 0);
  EXPECT_TRUE(PeerRefused(4, "Poke()", ChatException_NoPri));
}

// Code a command left to run later is held to the account's file as read again: a narrower
// one refuses its next call, as it does the account's next command.
TEST_F(AccountRightsTest, CodeDeferredBeforeAReloadIsHeldToTheNarrowerFile) {
  ManagerClock time;
  Account("allow = @read,@write\n");
  ASSERT_TRUE(PeerLogIn("op", "pw"));
  ASSERT_TRUE(PeerAnswered(
      4, "StartYield(function() for i = 1, 2 do Yield(10) Poke() end end) Echo('later')", "later"));
  testkit::cStdoutCapture out;
  time.Step(20);
  EXPECT_NE(out.Text().find("poked"), std::string::npos) << out.Text();
  Account("allow = @read\n");
  EXPECT_EQ(Accounts().ReloadRights(), 0);
  time.Step(20);
  EXPECT_TRUE(testkit::InOrder(out.Text(), {"refused: op may not run Poke (needs @write)"}));
}

// Logins without a file: every group by default, else what the configuration value allows;
// none while the value stands past a line that stopped the string file's load. A Kick refuses
// what the link had queued and the worker not run yet.
TEST_F(AccountRightsTest, LoginsWithoutAFileTakeRightsWithoutAccount) {
  SetConfigValue("check_login", 0);
  GetConfigStore().LoadStringA(
      m_home.write("cut_str.ini", "a note\nrights_without_account = @read\n").c_str());
  EXPECT_TRUE(PeerAnswered(2, "Login('anyone','x')",
                           "login error rights_without_account: not read past an unreadable line "
                           "of config/config_str.ini\n"));
  SetConfigString("rights_without_account", "@read");
  ASSERT_TRUE(PeerLogIn("anyone", "x"));
  EXPECT_TRUE(PeerAnswered(4, "Poke()", "refused: anyone may not run Poke (needs @write)\n"));
  SetConfigString("rights_without_account", "");
  Accounts().ReloadRights();
  EXPECT_TRUE(PeerAnswered(4, "Poke()", "poked"));
  for (int i = 1; i <= 3; ++i)
    SendCmd(m_peerLink->client, 13, "SetConfigValue('kicked', " + std::to_string(i) + ")");
  ASSERT_TRUE(testkit::WaitUntil([&] { return Bridge().GetNetHelp()->GetQueued() >= 3; }));
  ASSERT_TRUE(Bridge().Kick(1));
  ASSERT_TRUE(Pump([&] { return Accounts().GetAccount(1) == nullptr; }));
  EXPECT_EQ(GetConfigValue("kicked", 0), 0);
  SetConfigValue("check_login", 1);
}

// The command script runs each link's texts in an environment of the link's own: a global a
// narrowed account sets there is not what an operator's link calls under the operator's rights.
TEST_F(AccountRightsTest, AGlobalOneLinkSetsInTheCommandScriptStaysThatLinks) {
  KLuaScript script("cmd");
  script.DoString(
      "function Ver() calls = (calls or 0) + 1 end "
      "function Note(v) noted = (noted or '') .. tostring(v) end "
      "shared = {call = function(f, ...) return f(...) end}");
  SetCmdScript(&script);
  Account("allow = @read\n");
  ASSERT_TRUE(PeerLogIn("op", "pw"));
  WriteAccount("root", "pw", 9);
  testkit::cNetRecorder rec;
  testkit::cClientScope root(rec, m_server->Port());
  SendCmd(root.client, 2, "Login('root','pw')");
  ASSERT_TRUE(
      Pump([&] { return rec.Has([](auto& d) { return d.CmdText().starts_with("Logined(1"); }); }));
  Bridge().SetUseConsoleCmd(false);  // group 40 is no group's: its texts run in the script only
  const std::string marker = (m_home.path() / "marker").string();
  EXPECT_TRUE(PeerRefused(40, "Ver = function() os.execute('touch " + marker + "') end mine = 1",
                          ChatException_NoCmd));
  EXPECT_TRUE(PeerRefused(40, "Note(mine)", ChatException_NoCmd));
  // A function it leaves in a shared table keeps its rights when it tail-calls the script's.
  EXPECT_TRUE(PeerRefused(
      40, "shared.f = function() return shared.call(os.execute, 'touch " + marker + "') end",
      ChatException_NoCmd));
  SendCmd(root.client, 40, "Ver() Note(mine) shared.f()");
  ASSERT_TRUE(Pump([&] { return rec.Has(testkit::RecordOf(stMsg_Exception::s_nType)); }));
  SetCmdScript(nullptr);
  EXPECT_FALSE(std::filesystem::exists(marker));
  EXPECT_EQ(script.DoString("assert(calls == 1 and noted == '1nil' and mine == nil)"), 0);
}

}  // namespace
}  // namespace linktest
