// Faults under the crash guard, in child processes: the report, the dump and the report tool.
// A fault in a cycle of a real host's worker, with the exception end that follows, is the
// end-to-end faults suite's case.
#include <signal.h>

#include <cstdint>
#include <stdexcept>
#include <thread>

#include "tessel/host/crash_guard.h"
#include "tessel/host/crash_report.h"
#include "testkit/child_process.h"

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

// Each fault under the guard, run on a thread of its own as on the host's worker.
const bool kGuardScenarios = [] {
  for (auto [name, body] : std::initializer_list<std::pair<const char*, void (*)(void*)>>{
           {"guard_write_null", WriteNull},
           {"guard_read_null", ReadNull},
           {"guard_call_null", CallNull},
           {"guard_throw", Throw}})
    RegisterChildScenario(name, [body = body] {
      int handled = -1;
      std::thread([&] { handled = cCrashGuard::Run(body, nullptr, "server_7", "map=7 x"); }).join();
      return handled == 1 ? 0 : 3;
    });
  return true;
}();

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

// Every fault is reported in the report's layout, dumped and handed to the report tool; a call
// through a null pointer shows no code at the address and frame 0 is the null address.
TEST(CrashReport, EachFaultIsReportedDumpedAndHandedToTheToolAndASecondOneIsNot) {
  const std::pair<const char*, std::vector<std::string>> cases[] = {
      {"guard_write_null",
       {"tessel_child caused an Access Violation (0xc0000005) \r\nin module ",
        "Exception handler called in server_7.\r\n", " processor(s), type 8664.\r\n",
        "Write to location 00000000 caused an access violation.\r\n", "\r\nContext:\r\nEDI:    0x",
        "\r\nBytes at CS:EIP:\r\n", "\r\n\r\nStack:\r\n0x", "\r\n\r\nCall stack:\r\n#0",
        "Module 1\r\n", "\r\n===== [end of ERRORLOG.TXT] =====\r\n"}},
      {"guard_read_null", {"Read from location 00000000 caused an access violation.\r\n"}},
      {"guard_call_null", {"in module Unknown at ", "?? ?? ?? ?? ", "#0  0x0000000000000000 ??"}},
      {"guard_throw", {"a Microsoft C++ Exception (0xe06d7363)", "Exception text: cycle failed"}},
  };
  for (const auto& [scenario, texts] : cases) {
    testkit::cTempDir dir;
    const stChildResult r = RunChildScenario(dir.path(), scenario, true);
    EXPECT_EQ(r.code, 0) << scenario << "\n" << r.out;
    EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(dir.file("ERRORLOG.TXT")), texts)) << scenario;
    EXPECT_TRUE(testkit::InOrder(r.out, {"tessel_child caused a"})) << scenario;
    EXPECT_EQ(testkit::WaitForFile(dir.file("xcrash_args.txt")), "tessel_child|server_7|map=7 x");
    const std::string dump = testkit::ReadFile(dir.file("server_7.dmp"));
    EXPECT_TRUE(testkit::InOrder(dump, {"TESSELDMP 1\ncode 0x", "\nreg RIP 0x", "\nmaps\n"}));
    EXPECT_TRUE(dump.ends_with("end\n")) << scenario;
  }
  testkit::cTempDir dir;
  EXPECT_EQ(RunChildScenario(dir.path(), "guard_twice", true).signo, SIGSEGV);
  EXPECT_FALSE(testkit::FileExists(dir.file("ERRORLOG.TXT")));
  testkit::cTempDir pre;
  EXPECT_EQ(RunChildScenario(pre.path(), "pre_report_once", false).code, 0);
  EXPECT_NE(testkit::ReadFile(pre.file("ERRORLOG.TXT")).find("caused a Breakpoint"),
            std::string::npos);
}

}  // namespace
