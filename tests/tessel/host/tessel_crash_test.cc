// A real host with its worker, in a child process: a fault inside a cycle, and the console
// signals.
#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <thread>

#include "faults.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/string_value.h"
#include "tessel/host/tessel.h"
#include "tessel/host/tessel_status.h"
#include "testkit/child_process.h"
#include "testkit/host_fixture.h"

namespace {

int RunHost(void (*fault)()) {
  return RunProgramHost("zone = 3", fault);
}

}  // namespace

TESSEL_CHILD_SCENARIO(host_write_null) {
  return RunHost(FaultWriteNull);
}
TESSEL_CHILD_SCENARIO(host_call_null) {
  return RunHost(FaultCallNull);
}
TESSEL_CHILD_SCENARIO(host_throw) {
  return RunHost(FaultThrow);
}

// The console word "dump" given as the first console line.
TESSEL_CHILD_SCENARIO(host_dump) {
  AddExeParamStream("initcmd = dump");
  return RunHost(nullptr);
}

// The console signals reach the host through its signal thread.
int RunHostSignalled(int signo) {
  cTessel::Instance();  // blocks the console signals before the next thread starts
  std::thread([signo] {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::kill(::getpid(), signo);
  }).detach();
  return RunHost(nullptr);
}

TESSEL_CHILD_SCENARIO(host_ctrl_c) {
  RunHostSignalled(SIGINT);
  return 20;  // Ctrl+C ends the process itself
}
TESSEL_CHILD_SCENARIO(host_close) {
  return RunHostSignalled(SIGTERM);
}

namespace {

std::string FatalLogText(const std::string& home) {
  namespace fs = std::filesystem;
  std::string all;
  const fs::path folder = fs::path(home) / "log" / "tessel_child" / "tessel.fetalerror";
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(folder, ec))
    all += testkit::ReadFile(entry.path());
  return all;
}

void ExpectExceptionEnd(const testkit::cTempDir& dir, const stChildResult& r,
                        const char* description) {
  ASSERT_TRUE(r.exited) << "signal " << r.signo << "\n" << r.out;
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(testkit::InOrder(
      r.out, {description, "exception catched ", "【严重错误】exception catched status: 3",
              "program quit... ", "main returned", "Exception wait 1\n", "Exception wait 3\n",
              "ended in order"}));
  EXPECT_TRUE(
      testkit::InOrder(testkit::ReadFile(dir.file("ERRORLOG.TXT")),
                       {description, "Exception handler called in tessel_child.",
                        "Context:", "Stack:", "Module 1", "===== [end of ERRORLOG.TXT] ====="}));
  EXPECT_TRUE(testkit::FileExists(dir.file("tessel_child.dmp")));
  const std::string registry = testkit::ReadFile(dir.file("registry/Software/tessel_child.ini"));
  EXPECT_TRUE(testkit::InOrder(
      registry, {"crash = 【严重错误】exception catched status: 3\\nin run \\n", "crashtime = "}));
  EXPECT_NE(registry.find("endtime = "), std::string::npos);
  EXPECT_NE(registry.find("exittime = "), std::string::npos);
  EXPECT_NE(FatalLogText(dir.path()).find("【严重错误】exception catched status: 3"),
            std::string::npos);
  EXPECT_EQ(testkit::WaitForFile(dir.file("xcrash_args.txt")),
            "tessel_child|tessel_child|zone = 3");
}

}  // namespace

TEST(HostCrash, AFaultOrExceptionInACycleTakesTheExceptionEnd) {
  for (const auto& [scenario, description] :
       {std::pair{"host_write_null", "caused an Access Violation"},
        std::pair{"host_call_null", "caused an Access Violation"},
        std::pair{"host_throw", "caused a Microsoft C++ Exception"}}) {
    SCOPED_TRACE(scenario);
    testkit::cTempDir dir;
    ExpectExceptionEnd(dir, RunChildScenario(dir.path(), scenario, true), description);
  }
}

TEST(HostCrash, WithoutTheReportToolAFaultEndsTheProcess) {
  testkit::cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "host_write_null", false);
  EXPECT_EQ(r.signo, SIGSEGV) << r.out;
  EXPECT_TRUE(testkit::FileExists(dir.file("ERRORLOG.TXT")));
  EXPECT_NE(testkit::ReadFile(dir.file("registry/Software/tessel_child.ini")).find("crash = "),
            std::string::npos);
}

TEST(HostCrash, DumpReportsThePresentStateAndTakesTheExceptionEnd) {
  testkit::cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "host_dump", true);
  ASSERT_TRUE(r.exited) << r.out;
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(testkit::InOrder(
      r.out,
      {"dump 用于程序死循环的时候导出堆栈再退出游戏!", "caused a Breakpoint", "exception raised ",
       "program quit... ", "main returned", "Exception wait 3\n", "ended in order"}));
  EXPECT_TRUE(testkit::InOrder(
      testkit::ReadFile(dir.file("ERRORLOG.TXT")),
      {"caused a Breakpoint", "Context:", "Stack:", "===== [end of ERRORLOG.TXT] ====="}));
  EXPECT_NE(testkit::ReadFile(dir.file("registry/Software/tessel_child.ini")).find("crash = "),
            std::string::npos);
}

TEST(HostSignals, CtrlCEndsTheHostAndTheProcessWithZero) {
  testkit::cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "host_ctrl_c", false);
  ASSERT_TRUE(r.exited) << r.out;
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(testkit::InOrder(r.out, {"CTRL_C_EVENT invoke"}));
  EXPECT_EQ(r.out.find("main returned"), std::string::npos);
  EXPECT_NE(testkit::ReadFile(dir.file("registry/Software/tessel_child.ini")).find("exittime = "),
            std::string::npos);
}

TEST(HostSignals, CloseQuitsTheConsoleAndTheProgramEndsInOrder) {
  testkit::cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "host_close", false);
  ASSERT_TRUE(r.exited) << r.out;
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(testkit::InOrder(
      r.out, {"CTRL_CLOSE_EVENT invoke", "program quit... ", "main returned", "ended in order"}));
}
