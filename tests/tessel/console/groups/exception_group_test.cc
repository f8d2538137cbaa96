#include "tessel/console/groups/cmd_exception.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <string>
#include <thread>

#include "cmd_group_util.h"
#include "linked_host.h"
#include "tessel/core/config_stores.h"
#include "tessel/host/tessel.h"
#include "tessel/msg/ostream_cmd.h"
#include "testkit/child_process.h"
#include "testkit/host_fixture.h"

namespace {

int RunHostWith(const char* line) {
  return RunProgramHost(std::string("initcmd = ") + line);
}

}  // namespace

TESSEL_CHILD_SCENARIO(exception_null) {
  return RunHostWith("/12/Null()");
}
TESSEL_CHILD_SCENARIO(exception_func0) {
  return RunHostWith("/12/Func0()");
}
TESSEL_CHILD_SCENARIO(exception_func0run) {
  return RunHostWith("/12/Func0Run()");
}
TESSEL_CHILD_SCENARIO(exception_vir) {
  return RunHostWith("/12/Vir()");
}
TESSEL_CHILD_SCENARIO(exception_throw) {
  return RunHostWith("/12/Throw()");
}

// The operator types "dump" once the worker is caught in the endless loop.
TESSEL_CHILD_SCENARIO(exception_deadloop) {
  int in[2];
  if (::pipe(in) != 0 || ::dup2(in[0], 0) < 0) return 11;
  const int typer = in[1];
  std::thread([typer] {
    for (int i = 0; i < 1000 && cCmd::CurCmdText() != "DeadLoop()"; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const char line[] = "dump\n";
    if (::write(typer, line, sizeof line - 1) < 0) std::_Exit(12);
  }).detach();
  return RunHostWith("/12/DeadLoop()");
}

namespace {

struct stFaultCase {
  const char* scenario;
  const char* description;  // of the fault in the report
  const char* status;       // the crash status: the stage and what ran in it
  const char* detail;       // more of the report
};

TEST(ExceptionGroup, EveryFaultOnTheWorkerIsReportedAndTheProcessEndsInOrder) {
  const stFaultCase cases[] = {
      {"exception_null", "caused an Access Violation", "status: 2\nlast cmd Null()",
       "Write to location 00000000 caused an access violation."},
      {"exception_func0", "caused an Access Violation", "status: 2\nlast cmd Func0()", ""},
      {"exception_func0run", "caused an Access Violation", "status: 3\nin run", ""},
      {"exception_vir", "caused an Illegal Instruction", "status: 2\nlast cmd Vir()", ""},
      {"exception_throw", "caused a Microsoft C++ Exception", "status: 2\nlast cmd Throw()", ""},
  };
  for (const stFaultCase& c : cases) {
    SCOPED_TRACE(c.scenario);
    testkit::cTempDir dir;
    const stChildResult r = RunChildScenario(dir.path(), c.scenario, true);
    ASSERT_TRUE(r.exited) << "signal " << r.signo << "\n" << r.out;
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(testkit::InOrder(
        r.out, {c.description, "exception catched ",
                std::string("【严重错误】exception catched ") + c.status, "program quit... ",
                "main returned", "Exception wait 3\n", "ended in order"}));
    EXPECT_TRUE(
        testkit::InOrder(testkit::ReadFile(dir.file("ERRORLOG.TXT")),
                         {c.description, "Exception handler called in tessel_child.", c.detail,
                          "Context:", "Stack:", "===== [end of ERRORLOG.TXT] ====="}));
    EXPECT_TRUE(testkit::FileExists(dir.file("tessel_child.dmp")));
    EXPECT_NE(testkit::WaitForFile(dir.file("xcrash_args.txt")), "");
  }
}

TEST(ExceptionGroup, DumpDuringTheEndlessLoopReportsAndEndsTheProcess) {
  testkit::cTempDir dir;
  const stChildResult r = RunChildScenario(dir.path(), "exception_deadloop", true);
  ASSERT_TRUE(r.exited) << "signal " << r.signo << "\n" << r.out;
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(testkit::InOrder(
      r.out,
      {"enter deadloop 0\n", "dump 用于程序死循环的时候导出堆栈再退出游戏!", "caused a Breakpoint",
       "exception raised ", "program quit... ", "main returned", "ended in order"}));
  EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(dir.file("ERRORLOG.TXT")),
                               {"caused a Breakpoint", "===== [end of ERRORLOG.TXT] ====="}));
}

TEST(ExceptionGroup, ZeroAndThePeerNoticesOutsideALinkDoNothing) {
  CheckGroupCases(cCmdException::Instance(),
                  {{"Zero()", true, ""}, {"ClientException()", true, ""}});
}

// A peer's notice is taken only by the side it is meant for: a client hears of its server's
// fault, a server of its client's.
TEST_F(LinkedHostTest, PeerExceptionNoticesReachTheirSideOnly) {
  iServer* net = m_server->GetNetServer();
  ASSERT_GT(SendServerCmd(net, 12, "ServerException() ClientException()"), 0);
  ASSERT_TRUE(Pump([&] { return Client().notices == 1; }));
  PumpFor(50);
  EXPECT_EQ(Client().notices, 1);
  EXPECT_TRUE(Server().notices.empty());
  std::vector<std::string> fatal = FatalLines();
  ASSERT_EQ(fatal.size(), 1u);
  EXPECT_NE(fatal[0].find("【Exception】on Server global"), std::string::npos) << fatal[0];

  ASSERT_GT(Link().SendCmd(12, "ClientException() ServerException()"), 0);
  ASSERT_TRUE(Pump([&] { return !Server().notices.empty(); }));
  PumpFor(50);
  EXPECT_EQ(Server().notices, std::vector<unsigned int>{1});
  EXPECT_EQ(Client().notices, 1);
  fatal = FatalLines();
  ASSERT_EQ(fatal.size(), 1u);
  EXPECT_NE(fatal[0].find("【Exception】on Client center link 1"), std::string::npos) << fatal[0];
}

}  // namespace
