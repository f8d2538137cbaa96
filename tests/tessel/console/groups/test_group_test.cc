#include "tessel/console/groups/cmd_test.h"

#include <gtest/gtest.h>

#include <lua.hpp>
#include <memory>
#include <string>

#include "cmd_group_util.h"
#include "tessel/console/tessel_cmd.h"
#include "tessel/link/bridge_server.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/link_test_util.h"

namespace {

using namespace linktest;

// Runs a statement in a fresh Lua state whose Echo keeps its arguments.
bool RunEchoStatement(const std::string& statement, double& n, std::string& text) {
  std::unique_ptr<lua_State, void (*)(lua_State*)> L(luaL_newstate(), lua_close);
  luaL_dostring(L.get(),
                "function Echo(n, t) echo_n, echo_t, echo_count = n, t, (echo_count or 0) + 1 end");
  if (luaL_dostring(L.get(), statement.c_str()) != 0) return false;
  lua_getglobal(L.get(), "echo_count");
  if (lua_tonumber(L.get(), -1) != 1) return false;
  lua_getglobal(L.get(), "echo_n");
  lua_getglobal(L.get(), "echo_t");
  n = lua_tonumber(L.get(), -2);
  size_t size = 0;
  const char* s = lua_tolstring(L.get(), -1, &size);
  text.assign(s != nullptr ? s : "", s != nullptr ? size : 0);
  return true;
}

// A received text must come back as the same text, never as code of the statement.
TEST(TestGroup, TheEchoStatementCarriesAnyTextAsOneStringArgument) {
  const std::string texts[] = {
      "x",
      "it's",
      "a\\b",
      "'); os.exit(1) --",
      "\"double\" and 'single'",
      "line\nbreak\r\n\ttab",
      "]] [[ ]=]",
      std::string("nul\0byte", 8),
      "\x01\x7f end 9",
  };
  for (const std::string& text : texts) {
    const std::string statement = cCmdTest::EchoStatement(7, text);
    double n = 0;
    std::string back;
    ASSERT_TRUE(RunEchoStatement(statement, n, back)) << statement;
    EXPECT_EQ(n, 7) << statement;
    EXPECT_EQ(back, text) << statement;
  }
}

// The reference text is the first one the process sees, so the whole echo story is one test.
TEST(TestGroup, EchoChecksItsTextLocallyAndBouncesWithAGrowingCounterOverALink) {
  const std::string text = "it's ]] \"x\"";
  const std::string quoted = "'it\\'s ]] \\\"x\\\"'";
  ASSERT_EQ(cCmdTest::EchoStatement(1, text), "Echo(1," + quoted + ")");

  // Typed on the console: the first text becomes the reference, a different one is an error,
  // and nothing is sent.
  get_gout().SetLocalInput(true);
  stGroupRun run = RunInGroup(cCmdTest::Instance(), "Echo(0," + quoted + ")");
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(run.out, "");
  run = RunInGroup(cCmdTest::Instance(), "Echo(1,'other')");
  EXPECT_EQ(run.out, "Echo error!\n");
  get_gout().SetLocalInput(false);

  cTempHome home;
  cServerEndpoint server;
  UseConsoleGroups(server);
  cPeer peer(server.Port());
  ASSERT_TRUE(server.LogIn(peer, "gm", "s3cret"));
  ASSERT_NE(peer.SendCmd(6, "Echo(3," + quoted + ")"), 0);
  const auto echoed = [&](const stReceived& r) {
    return IsCmd(r) && r.Word(0) == 6 && r.CmdText() == "Echo(4," + quoted + ")";
  };
  EXPECT_TRUE(server.PumpUntil([&] { return peer.Has(echoed); }));
}

TEST_F(GroupLinkTest, ChangeCmdArrayToNextSwitchesWhatTheConsoleEntersForAnEndpoint) {
  cBridgeServer& bridge = *m_server->GetBridgeServer();
  cCmdArray next;
  const struct {
    const char* statement;
    bool bind;
    const char* out;
    bool isNext;
  } cases[] = {
      {"ChangeCmdArrayToNext('nosuch',1)", false, "not found nosuchbridge.\n", false},
      {"ChangeCmdArrayToNext('center',1)", false, "bridge center not have next cmdarray.\n", false},
      {"ChangeCmdArrayToNext('center',1)", true, "bridge center change cmdarray is next.\n", true},
      {"ChangeCmdArrayToNext('center',0)", true, "bridge center change cmdarray is default.\n",
       false},
  };
  for (const auto& c : cases) {
    bridge.BindNext(c.bind ? &next : nullptr);
    const stGroupRun run = RunInGroup(cCmdTest::Instance(), c.statement);
    EXPECT_TRUE(run.ok) << c.statement;
    EXPECT_EQ(run.out, c.out) << c.statement;
    EXPECT_EQ(bridge.IsNext(), c.isNext) << c.statement;
  }
  // The console line //center enters the array the switch chose.
  bridge.BindNext(&next);
  RunInGroup(cCmdTest::Instance(), "ChangeCmdArrayToNext('center',1)");
  cTesselCmd& console = cTesselCmd::Instance();
  {
    testkit::cStdoutCapture quiet;
    console.ParseCmd("//center", std::cout);
  }
  EXPECT_EQ(console.GetCurCmdArray(), &next);
  {
    testkit::cStdoutCapture quiet;
    console.ParseCmd("//0//", std::cout);
  }
  bridge.SetNext(false);
  bridge.BindNext(nullptr);
}

}  // namespace
