#include "tessel/host/crash_report.h"

#include <signal.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "faults.h"
#include "tessel/host/crash_guard.h"
#include "testkit/child_process.h"

namespace {

void WriteToNull(void*) {
  FaultWriteNull();
}
void ReadFromNull(void*) {
  FaultReadNull();
}
void CallNull(void*) {
  FaultCallNull();
}
void ThrowCpp(void*) {
  FaultThrow();
}

// The guard runs on a thread of its own, as on the host's worker.
int GuardAndSay(void (*body)(void*)) {
  int handled = -1;
  std::thread worker(
      [&] { handled = cCrashGuard::Run(body, nullptr, "server_7", "map=7 initcmd=x"); });
  worker.join();
  std::printf("guard returned %d\n", handled);
  return handled == 1 ? 0 : 3;
}

}  // namespace

TESSEL_CHILD_SCENARIO(guard_write_null) {
  return GuardAndSay(WriteToNull);
}
TESSEL_CHILD_SCENARIO(guard_read_null) {
  return GuardAndSay(ReadFromNull);
}
TESSEL_CHILD_SCENARIO(guard_call_null) {
  return GuardAndSay(CallNull);
}
TESSEL_CHILD_SCENARIO(guard_throw) {
  return GuardAndSay(ThrowCpp);
}

// Two faults in a row: only the first is reported; the second is not handled, so the process
// ends by the signal's default action.
TESSEL_CHILD_SCENARIO(guard_twice) {
  if (cCrashGuard::Run(WriteToNull, nullptr, "server_7", "") != 1) return 3;
  std::remove("ERRORLOG.TXT");
  cCrashGuard::Run(ReadFromNull, nullptr, "server_7", "");
  return 4;
}

// A pre-report callback runs once, before the report is written.
TESSEL_CHILD_SCENARIO(pre_report_once) {
  static int calls = 0;
  cCrashReport::SetPreReport([] {
    ++calls;
    std::FILE* f = std::fopen("before.txt", "w");
    std::fputs(testkit::FileExists("ERRORLOG.TXT") ? "after" : "before", f);
    std::fclose(f);
  });
  stCrashInfo info;
  info.code = kCrashBreakpoint;
  const int first = cCrashReport::Report(info, "server_7", "");
  const int second = cCrashReport::Report(info, "server_7", "");
  std::printf("results %d %d calls %d\n", first, second, calls);
  return 0;
}

TEST(CrashReport, DescribesEveryKnownCodeAndFallsBackForOthers) {
  EXPECT_STREQ(cCrashReport::Describe(0xC0000005), "an Access Violation");
  EXPECT_STREQ(cCrashReport::Describe(0xC0000094), "an Integer Divide by Zero");
  EXPECT_STREQ(cCrashReport::Describe(0xE06D7363), "a Microsoft C++ Exception");
  EXPECT_STREQ(cCrashReport::Describe(0x12345678), "an Unknown exception type");
  EXPECT_EQ(cCrashReport::CodeOfSignal(SIGSEGV, SEGV_MAPERR), 0xC0000005u);
  EXPECT_EQ(cCrashReport::CodeOfSignal(SIGFPE, FPE_INTDIV), 0xC0000094u);
  EXPECT_EQ(cCrashReport::CodeOfSignal(SIGILL, ILL_ILLOPC), 0xC000001Du);
  EXPECT_EQ(cCrashReport::CodeOfSignal(SIGBUS, BUS_ADRALN), 0x80000002u);
}

TEST(CrashReport, WriteFaultUnderGuardWritesEverySectionAndIsHandledWhenTheToolStarts) {
  testkit::cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "guard_write_null", true);
  ASSERT_TRUE(r.exited) << r.out;
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("guard returned 1"), std::string::npos);
  const std::string report = testkit::ReadFile(dir.file("ERRORLOG.TXT"));
  const std::vector<std::string> sections = {
      "tessel_child caused an Access Violation (0xc0000005) \r\nin module ",
      "Exception handler called in server_7.\r\n",
      "Error occurred at ",
      " processor(s), type 8664.\r\n",
      "% memory in use.\r\n",
      " MBytes user address space free.\r\n",
      "Write to location 00000000 caused an access violation.\r\n",
      "\r\nContext:\r\nEDI:    0x",
      "  SegSs: 0x",
      "\r\nBytes at CS:EIP:\r\n",
      "\r\n\r\nStack:\r\n0x",
      "\r\n\r\nCall stack:\r\n#0",
      "Module 1\r\n",
      "Image Base: 0x",
      "Version Information:\r\n",
      "\r\n===== [end of ERRORLOG.TXT] =====\r\n"};
  EXPECT_TRUE(testkit::InOrder(report, sections));
  // The first lines and the access line also went to standard output.
  EXPECT_NE(r.out.find("caused an Access Violation"), std::string::npos);
  EXPECT_NE(r.out.find("Write to location 00000000"), std::string::npos);
  EXPECT_EQ(testkit::WaitForFile(dir.file("xcrash_args.txt")),
            "tessel_child|server_7|map=7 initcmd=x");
  const std::string dump = testkit::ReadFile(dir.file("server_7.dmp"));
  EXPECT_EQ(dump.rfind("TESSELDMP 1\ncode 0xc0000005 signal 11 ", 0), 0u);
  EXPECT_NE(dump.find("\nreg RIP 0x"), std::string::npos);
  EXPECT_NE(dump.find("\nmaps\n"), std::string::npos);
  EXPECT_EQ(dump.substr(dump.size() - 4), "end\n");
}

// A call through a null pointer shows no code at the address; frame 0 is the null address and
// frame 1 the function that made the call.
TEST(CrashReport, EachFaultUnderGuardIsDescribedInTheReport) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"guard_read_null", {"Read from location 00000000 caused an access violation.\r\n"}},
      {"guard_call_null",
       {"in module Unknown at ", "Bytes at CS:EIP:\r\n?? ?? ?? ?? ",
        "#0  0x0000000000000000 ??\r\n#1  0x"}},
      {"guard_throw",
       {"caused a Microsoft C++ Exception (0xe06d7363)", "Exception text: cycle failed\r\n"}},
  };
  for (const auto& [scenario, texts] : cases) {
    SCOPED_TRACE(scenario);
    testkit::cTempDir dir;
    stChildResult r = RunChildScenario(dir.path(), scenario, true);
    EXPECT_EQ(r.code, 0) << r.out;
    EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(dir.file("ERRORLOG.TXT")), texts));
  }
}

TEST(CrashReport, SecondFaultReportsNothingAndIsNotHandled) {
  testkit::cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "guard_twice", true);
  EXPECT_EQ(r.signo, SIGSEGV) << r.out;
  EXPECT_FALSE(testkit::FileExists(dir.file("ERRORLOG.TXT")));
}

TEST(CrashReport, PreReportCallbackRunsOnceBeforeTheReport) {
  testkit::cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "pre_report_once", false);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("results 0 0 calls 1"), std::string::npos) << r.out;
  EXPECT_EQ(testkit::ReadFile(dir.file("before.txt")), "before");
  EXPECT_NE(testkit::ReadFile(dir.file("ERRORLOG.TXT")).find("caused a Breakpoint"),
            std::string::npos);
}
