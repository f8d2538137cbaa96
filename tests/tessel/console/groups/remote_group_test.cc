#include "tessel/console/groups/cmd_remote.h"

#include <gtest/gtest.h>

#include "cmd_group_util.h"
#include "tessel/console/remote_path.h"
#include "tessel/console/remote_stream.h"
#include "tessel/core/lua_text.h"
#include "tessel/core/route_text.h"
#include "tessel/msg/ostream_cmd.h"

namespace {

// What a process without any link does with routed calls typed on its console.
class RemoteGroupTest : public testing::Test {
 protected:
  void SetUp() override {
    GroupTestHost();
    ASSERT_EQ(GroupTestHost().GetDefaultRoute(), nullptr);
    m_own = "'" + cTesselValues::Instance().GetProgram() + "'";
    for (const char* dest : {"far", "near", "w"}) cRemotePath::Instance().RemovePath(dest);
  }
  void TearDown() override {
    ClearReturnPath();
    cRemotePath::Instance().SetListener(nullptr);
  }
  stGroupRun Run(const std::string& text) { return RunInGroup(cCmdRemote::Instance(), text); }

  std::string m_own;
};

class cFoundList : public iRemotePathListener {
 public:
  void OnFindRemotePath(const char* dest) override { found.emplace_back(dest); }
  std::vector<std::string> found;
};

TEST_F(RemoteGroupTest, RoutedCallsThatCannotGoAnywhereAreDroppedWithTheirReason) {
  std::string longRoute;
  for (int i = 0; i < 34; ++i) longRoute += "'n" + std::to_string(i) + "',";
  struct stCase {
    std::string cmd;
    const char* says;
  } cases[] = {
      {"SendPathCmd('a','b',1,'x')", "func_LuaSendPathCmd  error param must >= 5\n"},
      {"SendPathCmd('a','b','p','1','x')", "func_LuaSendPathCmd param 4 must number \n"},
      {"SendPathCmd('a',2,'p',1,'x')", "func_LuaSendPathCmd param 2 must string \n"},
      {"SendPathCmd('a'," + m_own + ",'p',1,'x')", "error! can not solve local cmd!"},
      {"SendPathCmd(" + m_own + "," + m_own + ",'nobody','p',1,'x')", " path 形成了死循环."},
      {"SendPathCmd('a'," + m_own + ",'b'," + m_own + ",'c','p',1,'x')", " path 形成了死循环."},
      {"SendPathCmd(" + m_own + ",'far','p',1,'x')", " msg wrong, I have no default route."},
      {"SendPathCmd(" + m_own + ",'far','p',1,'x') --hops=32", " path longer than 32 hops"},
      {"SendPathCmd(" + longRoute + "'p',1,'x')", " path longer than 32 hops"},
      {"FindPathOnRoute()", "func_LuaFindPathOnRoute  error param must >= 1\n"},
      {"FindPathOnRoute('a',3)", "func_LuaFindPathOnRoute param 2 must string \n"},
      {"FindPathOnRoute('far')", " msg wrong, I have no default route."},
      {"FindPathOnRoute(" + m_own + ",'far')", " msg wrong, I have no default route."},
      // Searches stop at the same hop limit; below it they go on (and find no default route).
      {"FindPathOnRoute(" + m_own + ",'far') --hops=31", " msg wrong, I have no default route."},
      {"FindPathOnRoute(" + m_own + ",'far') --hops=32", " path longer than 32 hops"},
      {"FindPathOnRoute(" + longRoute.substr(0, longRoute.rfind("'n32'")) + "'far')",
       " msg wrong, I have no default route."},
      {"FindPathOnRoute(" + longRoute + "'far')", " path longer than 32 hops"},
  };
  for (const stCase& c : cases) {
    const stGroupRun run = Run(c.cmd);
    EXPECT_TRUE(run.ok) << c.cmd;
    EXPECT_NE(run.out.find(c.says), std::string::npos) << c.cmd << "\n" << run.out;
    // A dropped call is not sent on.
    if (std::string(c.says).find("hops") != std::string::npos) {
      EXPECT_EQ(run.out.find("default route"), std::string::npos) << c.cmd << "\n" << run.out;
    }
  }
}

TEST_F(RemoteGroupTest, ACommandForADestinationWithoutRouteStartsASearchAndIsNotSent) {
  const stGroupRun run = Run("SendRemoteCmd('far',1,'Accounts()')");
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(testkit::Lines(run.out).front(),
            "func_SendRemoteCmdParam not find path to des farfunc_LuaFindPathOnRoute  msg wrong, "
            "I have no default route.");
  EXPECT_FALSE(IsFindRomotePath("far"));
}

// The answer of a search stores the route it came back along, read from the return path.
TEST_F(RemoteGroupTest, AFoundAnswerStoresItsReturnRouteAndTellsTheListener) {
  cFoundList listener;
  cRemotePath::Instance().SetListener(&listener);
  struct stCase {
    const char* cmd;
    const char* returnPath;
    const char* says;
    const char* stored;  // "" when nothing is stored
  } cases[] = {
      {"FindedPathOnRoute('far',0)", "", "func_FindedPathOnRoute path far not found \n", ""},
      {"FindedPathOnRoute('far',1)", "", "Unvalid path not find  %3% and '' ", ""},
      {"FindedPathOnRoute('near',1)", "SendPathCmd('me','mid','near','',%1%,[=[%2%]=])",
       "func_FindedPathOnRoute path to near finded SendPathCmd('me','mid','near',''",
       "SendPathCmd('me','mid','near','%3%',%1%,[=[%2%]=])"},
  };
  for (const stCase& c : cases) {
    SetReturnPath(c.returnPath);
    const stGroupRun run = Run(c.cmd);
    EXPECT_TRUE(run.ok) << c.cmd;
    EXPECT_NE(run.out.find(c.says), std::string::npos) << c.cmd << "\n" << run.out;
  }
  EXPECT_EQ(GetRemotePach("far"), "");
  EXPECT_EQ(GetRemotePach("near"), "SendPathCmd('me','mid','near','%3%',%1%,[=[%2%]=])");
  EXPECT_EQ(listener.found, std::vector<std::string>{"near"});
  EXPECT_NE(Run("TraceRemote()").out.find("near SendPathCmd('me','mid','near','%3%'"),
            std::string::npos);

  // Sent from here, the route's first hop is not linked and there is no default route.
  const stGroupRun sent = Run("SendRemoteCmd('near',1,'Ver()')");
  EXPECT_EQ(sent.out, "func_SendRemoteCmdParam  no default root\n");
}

bool WriteVer(std::ostream& os, void*, void*) {
  os << "1,[[Ver()]])";
  return true;
}

TEST_F(RemoteGroupTest, AStreamedCommandTakesTheRouteUpToItsParameter) {
  EXPECT_EQ(RemoteStreamHead("w"), "");
  EXPECT_FALSE(SendRemoteStream("w", &WriteVer, nullptr, nullptr));
  {
    testkit::cStdoutCapture quiet;
    cRemotePath::Instance().SetPath("w", "SendPathCmd('me','mid','w','%3%',%1%,[=[%2%]=])");
  }
  EXPECT_EQ(RemoteStreamHead("w"), "SendPathCmd('me','mid','w'");
  // No link leads to the route's first hop: nothing is sent.
  EXPECT_FALSE(SendRemoteStream("w", &WriteVer, nullptr, nullptr));
  EXPECT_FALSE(SendRemoteStream2("w", &WriteVer, nullptr, nullptr));
}

bool WriteOutputCall(std::ostream& os, void* text, void*) {
  os << "1," << LuaLongBracket(*static_cast<const std::string*>(text)) << ")";
  return true;
}

// The route leads over the client "global" to this process itself, so the server "center"
// receives the streamed record and runs its command as the destination.
TEST_F(GroupLinkTest, StreamedCommandsArriveWholeAndRunAtTheDestination) {
  UseConsoleGroups(*m_server->GetBridgeServer());
  const std::string own = m_host->GetAccount();
  {
    testkit::cStdoutCapture quiet;
    cRemotePath::Instance().SetPath("far", MakeRouteTemplate({"me", "global", own}));
  }
  const std::string longText(stMsg_Cmd::kTextCapacity, 'x');
  struct stCase {
    bool (*send)(const char*, RemoteStreamWriter, void*, void*);
    std::string text;
    bool sent;
    std::string printed;
  } cases[] = {
      {&SendRemoteStream, "Output('one ]] ]=]')", true, "Output() one ]] ]=]\n"},
      {&SendRemoteStream2, "Output('two')", true, "Output() two\n"},
      {&SendRemoteStream2, "Output('" + longText.substr(0, 200000 / 2) + "')", true,
       "Output() " + longText.substr(0, 20)},
      {&SendRemoteStream, "Output('" + longText + "')", false, ""},
  };
  for (stCase& c : cases) {
    testkit::cStdoutCapture capture;
    EXPECT_EQ(c.send("far", &WriteOutputCall, &c.text, nullptr), c.sent) << c.text.size();
    if (!c.sent) continue;
    EXPECT_TRUE(CyclesUntil([&] { return capture.Text().find(c.printed) != std::string::npos; }))
        << capture.Text().substr(0, 2000);
  }
  cRemotePath::Instance().RemovePath("far");
}

// The client "global" is logged in on this process's server as "opsuser": a search for it takes
// that link, not the default route (there is none). The client shares this process's name, so the
// search it receives already names it and ends there as a loop, which shows it arrived.
TEST_F(GroupLinkTest, ASearchForAnAccountLoggedInHereTakesItsLink) {
  UseConsoleGroups(*m_server->GetBridgeServer());
  UseConsoleGroups(Link());
  ASSERT_EQ(m_host->GetDefaultRoute(), nullptr);
  testkit::cStdoutCapture capture;
  const stGroupRun run = RunInGroup(cCmdRemote::Instance(), "FindPathOnRoute('opsuser')");
  EXPECT_TRUE(run.ok);
  EXPECT_EQ(run.out, "");
  EXPECT_TRUE(CyclesUntil([&] {
    return capture.Text().find("func_LuaFindPathOnRoute  path 形成了死循环.") != std::string::npos;
  })) << capture.Text();
}

}  // namespace
