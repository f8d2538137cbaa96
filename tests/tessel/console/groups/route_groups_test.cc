// Routed calls: the top path of the account group, the remote group's paths and searches, and
// the texts that carry names and commands to other processes.
#include "cmd_group_util.h"
#include "platform/clock.h"
#include "tessel/console/remote_path.h"
#include "tessel/console/remote_stream.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/lua_text.h"
#include "tessel/core/route_text.h"
#include "tessel/link/account_manager.h"
#include "tessel/link/origin_desk.h"
#include "tessel/msg/sync_obj.h"
#include "testkit/net_recorder.h"

namespace {

using Hops = std::vector<std::string>;

class RouteGroups : public GroupTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(GroupTestHost().GetDefaultRoute(), nullptr);
    m_own = "'" + cTesselValues::Instance().GetProgram() + "'";
    for (const char* dest : {"far", "near", "w"}) cRemotePath::Instance().RemovePath(dest);
    Account("SendPathCmd()");
  }
  void TearDown() override {
    ClearReturnPath();
    cRemotePath::Instance().SetListener(nullptr);
    GroupTest::TearDown();
  }
  stGroupRun Account(const std::string& text) { return RunInGroup(cCmdAccount::Instance(), text); }
  stGroupRun Remote(const std::string& text) { return RunInGroup(cCmdRemote::Instance(), text); }
  std::string m_own;
};

// In the account group SendPathCmd sets the top path: the hops are the leading arguments. (The
// top server's answer along a real path is the end-to-end cluster's case.)
TEST_F(RouteGroups, TheTopPathTakesTheLeadingHopsOfTheSetter) {
  const std::pair<const char*, Hops> set[] = {
      {"SendPathCmd('a','b','Top()',1,'Top()')", {"a", "b"}},
      {"SendPathCmd('p',1,'t')", {}},
      {"SendPathCmd('a',2,'p',1,'t')", {}},
      {"SendPathCmd(nil,'b','p',1,'t')", {}},
  };
  for (const auto& [cmd, path] : set) {
    Account("SendPathCmd('old','x',1,'y')");
    EXPECT_TRUE(Account(cmd).ok) << cmd;
    EXPECT_EQ(GetTopPath(), path) << cmd;
  }
  EXPECT_NE(Account("ToTop('global')").out.find("no default route"), std::string::npos);
}

// Names go into statements as Lua literals and come back exactly as they were.
TEST_F(RouteGroups, NamesAndTextsTravelAsLiteralsUnchanged) {
  const std::string hostile[] = {"glo'bal",   "a\\b",      "x')os.exit(1)--",
                                 "line\nend", "]] [[ ]=]", std::string("nul\0byte", 8)};
  for (const std::string& name : hostile) {
    if (name.find('\0') == std::string::npos) {
      EXPECT_TRUE(Account(MakeToTopCmd("me'", name)).ok) << name;
      EXPECT_EQ(GetTopPath(), (Hops{"me'", name}));
    }
    cRecordCmd echo("cCmd_Echo", {"Echo"});
    echo.Create();
    ASSERT_TRUE(echo.Do(cCmdTest::EchoStatement(7, name).c_str())) << name;
    EXPECT_EQ(echo.Texts(), Hops{"Echo 7 " + name});
  }
}

// Served, the echo bounces back with a growing counter; DoCmd runs for the same requester, in
// one reply; a failing command's error lines reach the requester.
TEST_F(RouteGroups, EchoAndDoCmdAnswerTheirRequester) {
  const std::string quoted = "'it\\'s ]] \\\"x\\\"'";
  EXPECT_EQ(Served(cCmdTest::Instance(), 6, "Echo(3," + quoted + ")"),
            Hops{"Echo(4," + quoted + ")"});
  const Hops reply = Served(cCmdTessel::Instance(), 0, "Help() DoCmd(6,'Hello()')");
  ASSERT_EQ(reply.size(), 1u);
  EXPECT_TRUE(testkit::InOrder(reply[0], {"Output(", "DoCmd(3,'Ver()')", "Hello World!"}));
  // A command that fails tells its requester why, not only the console where it ran.
  const Hops failed = Served(cCmdTessel::Instance(), 0, "Acounts()");
  ASSERT_EQ(failed.size(), 1u);
  EXPECT_TRUE(testkit::InOrder(failed[0], {"Output(", "lua_dostring error", "'Acounts'",
                                           "cCmd::Do error cmd", "do Acounts()"}))
      << failed[0];
}

// Routed calls that cannot go anywhere are dropped with their reason and not sent on.
TEST_F(RouteGroups, RoutedCallsThatCannotGoAnywhereAreDropped) {
  std::string longRoute;
  for (int i = 0; i < 34; ++i) longRoute += "'n" + std::to_string(i) + "',";
  const std::string noRoute = " msg wrong, I have no default route.";
  const std::string tooLong = " path longer than 32 hops";
  const std::pair<std::string, std::string> cases[] = {
      {"SendPathCmd('a','b',1,'x')", "error param must >= 5"},
      {"SendPathCmd('a','b','p','1','x')", "param 4 must number"},
      {"SendPathCmd('a','b','p',2^32+4,'x')", "param 4 out of range"},
      {"SendPathCmd('a','b','p',0/0,'x')", "param 4 out of range"},
      {"SendPathCmd('a'," + m_own + ",'p',1,'x')", "can not solve local cmd"},
      {"SendPathCmd('a'," + m_own + ",'b'," + m_own + ",'c','p',1,'x')", "形成了死循环"},
      {"SendPathCmd(" + m_own + ",'far','p',1,'x')", noRoute},
      {"SendPathCmd(" + m_own + ",'far','p',1,'x') --hops=32", tooLong},
      {"SendPathCmd(" + longRoute + "'p',1,'x')", tooLong},
      {"FindPathOnRoute('a',3)", "param 2 must string"},
      {"FindPathOnRoute(" + m_own + ",'far') --hops=31", noRoute},
      {"FindPathOnRoute(" + m_own + ",'far') --hops=32", tooLong},
      {"FindPathOnRoute(" + longRoute.substr(0, longRoute.rfind("'n32'")) + "'far')", noRoute},
      {"FindPathOnRoute(" + longRoute + "'far')", tooLong},
  };
  for (const auto& [cmd, says] : cases) {
    const stGroupRun run = Remote(cmd);
    EXPECT_TRUE(run.ok) << cmd;
    EXPECT_NE(run.out.find(says), std::string::npos) << cmd << "\n" << run.out;
    if (says == tooLong) {
      EXPECT_EQ(run.out.find(noRoute), std::string::npos) << cmd;
    }
  }
  EXPECT_NE(Remote("SendRemoteCmd('far',1,'Accounts()')").out.find("not find path to des far"),
            std::string::npos);
  EXPECT_FALSE(IsFindRomotePath("far"));
  // Typed over a link (an operator's tessel_cli), a drop is answered to the operator as well.
  cRemotePath::Instance().SetPath("near", "SendPathCmd('me','mid','near','',%1%,[=[%2%]=])");
  for (const std::string dest : {"far", "near"}) {
    const Hops told = Served(cCmdRemote::Instance(), 7, "SendRemoteCmd('" + dest + "',1,'x')");
    ASSERT_EQ(told.size(), 1u) << dest;
    EXPECT_NE(told[0].find(dest == "far" ? noRoute : "no default root"), std::string::npos)
        << told[0];
  }
}

bool WriteOutputCall(std::ostream& os, void* text, void*) {
  os << "1," << LuaLongBracket(*static_cast<const std::string*>(text)) << ")";
  return true;
}

class cFoundList : public iRemotePathListener {
 public:
  void OnFindRemotePath(const char* dest) override { found.emplace_back(dest); }
  Hops found;
};

// The answer of a search stores the route it came back along; a stream takes that route up to
// its parameter, and nothing is sent while no link leads to its first hop.
TEST_F(RouteGroups, AFoundAnswerStoresItsReturnRouteForLaterCalls) {
  cFoundList listener;
  cRemotePath::Instance().SetListener(&listener);
  Remote("FindedPathOnRoute('far',0)");
  SetReturnPath("SendPathCmd('me','mid','near','',%1%,[=[%2%]=])");
  Remote("FindedPathOnRoute('near',1)");
  EXPECT_EQ(GetRemotePach("far"), "");
  EXPECT_EQ(GetRemotePach("near"), "SendPathCmd('me','mid','near','%3%',%1%,[=[%2%]=])");
  EXPECT_EQ(listener.found, Hops{"near"});
  EXPECT_EQ(RemoteStreamHead("near"), "SendPathCmd('me','mid','near'");
  std::string ver = "Ver()";
  EXPECT_FALSE(SendRemoteStream("near", &WriteOutputCall, &ver, nullptr));
  EXPECT_FALSE(SendRemoteStream2("w", &WriteOutputCall, &ver, nullptr));
}

// Peers name the destinations: the table keeps a bounded number under bounded names, shown escaped.
TEST_F(RouteGroups, ThePathTableKeepsABoundedNumberOfDestinations) {
  const std::string route = "SendPathCmd('me','x','',%1%,[=[%2%]=])";
  EXPECT_FALSE(cRemotePath::Instance().SetPath(std::string(256, 'x'), route));
  ASSERT_TRUE(cRemotePath::Instance().SetPath("evil\x1b]0;owned\x07\x1b[2J", route, true));
  EXPECT_EQ(Remote("TraceRemote()").out.find('\x1b'), std::string::npos);
  int kept = 0;  // the table may hold a few of other tests
  for (int i = 0; i < 1100; ++i)
    kept += cRemotePath::Instance().SetPath(std::to_string(i), route, true);
  EXPECT_TRUE(cRemotePath::Instance().SetPath("0", route, true));  // a kept one is updated
  // Ways back claimed by searches fill it; a route found here still takes the oldest's place.
  EXPECT_TRUE(cRemotePath::Instance().SetPath("found", route));
  cRemotePath::Instance().RemovePath("found");
  for (int i = 0; i < 1100; ++i) cRemotePath::Instance().RemovePath(std::to_string(i));
  EXPECT_TRUE(kept >= 1000 && kept <= 1024) << kept;
}

// The route leads over the client "global" to this process itself, so the server "center"
// receives the streamed record and runs it; a text too long for one record is not sent.
TEST_F(GroupLinkTest, StreamedCommandsArriveWholeAndRunAtTheDestination) {
  ConsoleCmdsOverTheLink(false);
  {
    testkit::cStdoutCapture quiet;
    cRemotePath::Instance().SetPath("far",
                                    MakeRouteTemplate({"me", "global", m_host->GetAccount()}));
  }
  const std::string huge(stMsg_Cmd::kTextCapacity, 'x');
  const std::string big = "Output('" + huge.substr(0, 100000) + "')";
  // Sent while a narrowed account's command is served, a stream carries that account's origin
  // over the process account's link, and the destination holds the text to it.
  const CmdRightsPtr gm = GmWithout("@shell");
  std::string shell = "os.execute('touch " + (m_dir->path() / "marker").string() + "')";
  for (auto [send, text, shows] :
       std::vector<std::tuple<decltype(&SendRemoteStream), std::string, std::string>>{
           {&SendRemoteStream, "Output('one ]] ]=]')", "Output() one ]] ]=]\n"},
           {&SendRemoteStream2, big, "Output() xxxxxxxxxx"}}) {
    testkit::cStdoutCapture capture;
    EXPECT_TRUE(send("far", &WriteOutputCall, &text, nullptr));
    EXPECT_TRUE(CyclesUntil([&] { return capture.Text().find(shows) != std::string::npos; }));
    const size_t refused = testkit::CountOf(capture.Text(), "gm may not run os.execute");
    {
      const cCmdRightsScope narrowed(gm);
      EXPECT_TRUE(send("far", &WriteOutputCall, &shell, nullptr));
    }
    EXPECT_TRUE(CyclesUntil(
        [&] { return testkit::CountOf(capture.Text(), "gm may not run os.execute") > refused; }));
  }
  EXPECT_FALSE(std::filesystem::exists(m_dir->path() / "marker"));
  std::string tooLong = "Output('" + huge + "')";
  EXPECT_FALSE(SendRemoteStream("far", &WriteOutputCall, &tooLong, nullptr));
  EXPECT_FALSE(SendRemoteStream2("far", &WriteOutputCall, &tooLong, nullptr));
  cRemotePath::Instance().RemovePath("far");
}

// A command record a sync object or the account manager puts on a link itself carries the
// served command's origin as well, up and down: each side holds the text to gm's rights.
TEST_F(GroupLinkTest, RecordsSentBesideTheSendPointCarryTheOrigin) {
  ConsoleCmdsOverTheLink(true);
  const CmdRightsPtr gm = GmWithout("@shell");
  const std::string shell = "os.execute('touch " + (m_dir->path() / "marker").string() + "')";
  cSyncObj up(m_client->GetNetClient(), 7);
  unsigned long size = 0;
  testkit::cStdoutCapture capture;
  // A first record each way: both sides know by then that the other reads origins.
  const auto shown = [&](const char* text) {
    return CyclesUntil([&] { return capture.Text().find(text) != std::string::npos; });
  };
  up.SendCmd(15, "Output('up')");
  ASSERT_TRUE(shown("Output() up")) << capture.Text();
  auto& accounts = m_server->GetAccountManagerHelpServer();
  stMsg* down = Msg_GetCmd(15, "Output('down')", size);
  accounts.SendMsgLogined(down, size);
  ASSERT_TRUE(shown("Output() down")) << capture.Text();
  // A command for every link goes to each link that is up and logged in (not to a guest), traced
  // once, and says on how many it went: none when the origin cannot go (more than a record holds).
  iServer* net = m_server->GetNetServer();
  auto wide = std::make_shared<stCmdRights>(*gm);
  wide->account.assign(9000, 'g');
  EXPECT_EQ(0, (cCmdRightsScope(wide), SendServerCmd(net, 15, "Output('none')")));
  // Up at the network library is not yet seen by the bridge: wait for the link's serial.
  const auto seen = [&] {
    int n = 0;
    for (unsigned int id = 0; id < 8; ++id)
      n += m_server->GetBridgeServer()->GetLinkSerial(id) != 0 ? 1 : 0;
    return n;
  };
  const int before = seen();
  testkit::cRawPeer guest(net->GetPort());
  ASSERT_TRUE(CyclesUntil([&] { return net->GetLinkNum() == 2 && seen() > before; }));
  net->TraceSendCmd(true);
  EXPECT_EQ(1, (cCmdRightsScope(gm), SendServerCmd(net, 15, "Output('all')")));
  EXPECT_EQ(testkit::CountOf(capture.Text(), "[TraceSendCmd "), 1u) << capture.Text();
  {
    const cCmdRightsScope narrowed(gm);
    EXPECT_NE(0, up.SendCmd(15, shell.c_str()));
    stMsg* msg = Msg_GetCmd(15, shell, size);
    accounts.SendMsgLogined(msg, size);
  }
  EXPECT_TRUE(CyclesUntil([&] {
    return testkit::CountOf(capture.Text(), "gm may not run os.execute") >= 2;
  })) << capture.Text();
  EXPECT_FALSE(std::filesystem::exists(m_dir->path() / "marker"));
}

// A search for an account logged in here takes its link, not the (absent) default route; the
// client shares this process's name, so the search ends there as a loop, which shows it arrived.
TEST_F(GroupLinkTest, ASearchForAnAccountLoggedInHereTakesItsLink) {
  ConsoleCmdsOverTheLink(true);
  testkit::cStdoutCapture capture;
  EXPECT_EQ(RunInGroup(cCmdRemote::Instance(), "FindPathOnRoute('opsuser')").out, "");
  EXPECT_TRUE(
      CyclesUntil([&] { return capture.Text().find("形成了死循环") != std::string::npos; }));
}

// The answer a command brings back runs here within the rights that command was sent with (a
// narrowed account's query must not set this process's clocks with the link's rights), also
// when it comes after its wait ended; the console's own query (first: its answer comes after
// the server's greeting) is answered as ever.
TEST_F(GroupLinkTest, AnAnswerRunsWithinTheRightsOfTheCommandItAnswers) {
  ConsoleCmdsOverTheLink(true);
  const CmdRightsPtr gm = GmWithout("@admin");
  testkit::cStdoutCapture capture;
  using Step = std::tuple<std::string, CmdRightsPtr, std::string>;
  for (const auto& [query, rights, shows] :
       {Step{"OS_QueryTime()", nullptr, "TimeDiff =="},
        Step{"OS_QueryTime()", gm, "gm may not run OS_SetTime (needs @admin)"},
        Step{"OS_QueryGameTime()", gm, "gm may not run OS_SetGameTime (needs @admin)"}}) {
    ASSERT_GT((cCmdRightsScope(rights), Link().SendCmd(15, query)), 0);
    if (query == "OS_QueryGameTime()")
      cOriginDesk::Instance().Expire(platform::TimeGetTime() + 9000);
    EXPECT_TRUE(CyclesUntil([&] { return capture.Text().find(shows) != std::string::npos; }));
  }
  EXPECT_EQ(testkit::CountOf(capture.Text(), "TimeDiff =="), 1u) << capture.Text();
}

// Names on a route are only claims: a found route is kept only when it begins where the search
// went (up the default route "global"), and a search's route back to a process linked here only
// when it takes that link. Else a logged-in account ("opsuser" on "center") took every later
// command for them.
TEST_F(GroupLinkTest, ARouteIsKeptOnlyWhenItBeginsAtTheLinkItMustTake) {
  GroupTestHost();
  m_host->SetDefaultRoute(&Link());
  const std::string own = m_host->GetAccount();
  testkit::cStdoutCapture quiet;
  for (const auto& [first, kept] : {std::pair{"opsuser", false}, std::pair{"global", true}}) {
    SetReturnPath(MakeRouteTemplate({own, first, "dest"}));
    RunInGroup(cCmdRemote::Instance(), "FindedPathOnRoute('dest',1)");
    ClearReturnPath();
    EXPECT_EQ(IsFindRomotePath("dest"), kept) << first;
    cRemotePath::Instance().RemovePath("dest");
  }
  for (const auto& [via, kept] : {std::pair{"'opsuser',", false}, std::pair{"", true}}) {
    Served(cCmdRemote::Instance(), 7,
           "FindPathOnRoute('global'," + std::string(via) + "'" + own + "')");
    EXPECT_EQ(IsFindRomotePath("global"), kept) << via;
    cRemotePath::Instance().RemovePath("global");
  }
  m_host->SetDefaultRoute(nullptr);
}

}  // namespace
