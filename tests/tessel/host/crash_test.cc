// Faults under the crash guard, in child processes: the report, the dump and the report tool;
// once inside a cycle of a real host's worker, which then takes the exception end.
#include <signal.h>

#include <cstdint>
#include <stdexcept>
#include <thread>

#include "tessel/host/crash_guard.h"
#include "tessel/host/crash_report.h"
#include "testkit/host_fixture.h"

namespace {

// Faults raised by machine instructions, so that no sanitizer intercepts them before the guard.
void WriteNull(void* = nullptr) {
  asm volatile("movl $7, (%0)" : : "r"(std::uintptr_t{0}) : "memory");
}
void ReadNull(void*) {
  int value;
  asm volatile("movl (%1), %0" : "=r"(value) : "r"(std::uintptr_t{0}) : "memory");
}
void CallNull(void*) {
  void (*volatile fn)() = nullptr;
  fn();
}
void Throw(void*) {
  throw std::runtime_error("cycle failed");
}

// The guard runs on a thread of its own, as on the host's worker.
int Guard(void (*body)(void*)) {
  int handled = -1;
  std::thread([&] { handled = cCrashGuard::Run(body, nullptr, "server_7", "map=7 x"); }).join();
  return handled == 1 ? 0 : 3;
}

TESSEL_CHILD_SCENARIO(guard_write_null) {
  return Guard(WriteNull);
}
TESSEL_CHILD_SCENARIO(guard_read_null) {
  return Guard(ReadNull);
}
TESSEL_CHILD_SCENARIO(guard_call_null) {
  return Guard(CallNull);
}
TESSEL_CHILD_SCENARIO(guard_throw) {
  return Guard(Throw);
}

// Two faults in a row: only the first is reported; the second ends the process by its signal.
TESSEL_CHILD_SCENARIO(guard_twice) {
  if (cCrashGuard::Run(WriteNull, nullptr, "server_7", "") != 1) return 3;
  std::remove("ERRORLOG.TXT");
  cCrashGuard::Run(ReadNull, nullptr, "server_7", "");
  return 4;
}

// A pre-report callback runs once, before the report is written.
TESSEL_CHILD_SCENARIO(pre_report_once) {
  static int calls = 0;
  cCrashReport::SetPreReport([] { calls += testkit::FileExists("ERRORLOG.TXT") ? 10 : 1; });
  stCrashInfo info;
  info.code = kCrashBreakpoint;
  const int results = cCrashReport::Report(info, "s", "") + cCrashReport::Report(info, "s", "");
  return results == 0 && calls == 1 ? 0 : 5;
}

TESSEL_CHILD_SCENARIO(host_write_null) {
  return RunProgramHost("zone = 3", []() { WriteNull(); });
}

TEST(CrashReport, AWriteFaultIsReportedInEverySectionDumpedAndHandedToTheTool) {
  testkit::cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "guard_write_null", true);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(testkit::InOrder(
      testkit::ReadFile(dir.file("ERRORLOG.TXT")),
      {"tessel_child caused an Access Violation (0xc0000005) \r\nin module ",
       "Exception handler called in server_7.\r\n", " processor(s), type 8664.\r\n",
       "Write to location 00000000 caused an access violation.\r\n", "\r\nContext:\r\nEDI:    0x",
       "\r\nBytes at CS:EIP:\r\n", "\r\n\r\nStack:\r\n0x", "\r\n\r\nCall stack:\r\n#0",
       "Module 1\r\n", "\r\n===== [end of ERRORLOG.TXT] =====\r\n"}));
  EXPECT_TRUE(
      testkit::InOrder(r.out, {"caused an Access Violation", "Write to location 00000000"}));
  EXPECT_EQ(testkit::WaitForFile(dir.file("xcrash_args.txt")), "tessel_child|server_7|map=7 x");
  const std::string dump = testkit::ReadFile(dir.file("server_7.dmp"));
  EXPECT_TRUE(testkit::InOrder(
      dump, {"TESSELDMP 1\ncode 0xc0000005 signal 11 ", "\nreg RIP 0x", "\nmaps\n"}));
  EXPECT_EQ(dump.substr(dump.size() - 4), "end\n");
}

// A call through a null pointer shows no code at the address; frame 0 is the null address.
TEST(CrashReport, EachFaultIsDescribedAndASecondOneIsNotHandled) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"guard_read_null", {"Read from location 00000000 caused an access violation.\r\n"}},
      {"guard_call_null", {"in module Unknown at ", "?? ?? ?? ?? ", "#0  0x0000000000000000 ??"}},
      {"guard_throw", {"a Microsoft C++ Exception (0xe06d7363)", "Exception text: cycle failed"}},
  };
  for (const auto& [scenario, texts] : cases) {
    testkit::cTempDir dir;
    EXPECT_EQ(RunChildScenario(dir.path(), scenario, true).code, 0) << scenario;
    EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(dir.file("ERRORLOG.TXT")), texts)) << scenario;
  }
  testkit::cTempDir dir;
  EXPECT_EQ(RunChildScenario(dir.path(), "guard_twice", true).signo, SIGSEGV);
  EXPECT_FALSE(testkit::FileExists(dir.file("ERRORLOG.TXT")));
  testkit::cTempDir pre;
  EXPECT_EQ(RunChildScenario(pre.path(), "pre_report_once", false).code, 0);
  EXPECT_NE(testkit::ReadFile(pre.file("ERRORLOG.TXT")).find("caused a Breakpoint"),
            std::string::npos);
}

// One fault in a cycle of the real worker; the other faults, the report tool's absence and the
// console signals are covered by the end-to-end faults and lifecycle suites.
TEST(HostCrash, AFaultInACycleTakesTheExceptionEnd) {
  testkit::cTempDir dir;
  const stChildResult r = RunChildScenario(dir.path(), "host_write_null", true);
  ASSERT_TRUE(r.exited) << "signal " << r.signo << "\n" << r.out;
  EXPECT_EQ(r.code, 0) << r.out;
  const char* status = "【严重错误】exception catched status: 3";
  EXPECT_TRUE(testkit::InOrder(r.out, {"caused an Access Violation", status, "program quit... ",
                                       "main returned", "Exception wait 3\n", "ended in order"}));
  EXPECT_TRUE(testkit::FileExists(dir.file("tessel_child.dmp")));
  EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(dir.file("registry/Software/tessel_child.ini")),
                               {"crash = 【严重错误】exception catched status: 3\\nin run \\n",
                                "crashtime = ", "endtime = ", "exittime = "}));
  EXPECT_NE(testkit::ReadFolder(dir.path() / "log/tessel_child/tessel.fetalerror").find(status),
            std::string::npos);
  EXPECT_EQ(testkit::WaitForFile(dir.file("xcrash_args.txt")),
            "tessel_child|tessel_child|zone = 3");
}

}  // namespace
