// Faults under the crash guard, in child processes: the report, the dump and the report tool.
// A fault in a cycle of a real host's worker, with the exception end that follows, is the
// end-to-end faults suite's case.
#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tessel/console/tessel_cmd.h"
#include "tessel/host/crash_guard.h"
#include "tessel/host/crash_report.h"
#include "tessel/host/tessel_status.h"
#include "testkit/child_process.h"
#include "testkit/descriptor_limit.h"
#include "testkit/file_size_limit.h"

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

// An exception that leaves a thread outside every guarded call, as from a program's end hook.
TESSEL_CHILD_SCENARIO(throw_unguarded) {
  cCrashGuard::Install();
  std::thread([] { Throw(nullptr); }).join();
  return 3;
}

// The callback runs once, after the report is written.
TESSEL_CHILD_SCENARIO(pre_report_once) {
  static int calls = 0;
  cCrashReport::SetPreReport([] { calls += testkit::FileExists("ERRORLOG.TXT") ? 1 : 10; });
  stCrashInfo info;
  info.code = kCrashBreakpoint;
  const int results = cCrashReport::Report(info, "s", "") + cCrashReport::Report(info, "s", "");
  return results == 0 && calls == 1 ? 0 : 5;
}

// On a full disk (its console aside) the report and the dump say they are not whole.
TESSEL_CHILD_SCENARIO(report_on_a_full_disk) {
  ::dup2(::open("/dev/null", O_WRONLY), STDOUT_FILENO);
  const testkit::cFileSizeLimit full(2000);
  return cCrashReport::Report(stCrashInfo{kCrashBreakpoint}, "s", "");
}

// Out of descriptors when it faults, the process still makes its report and its dump.
TESSEL_CHILD_SCENARIO(report_out_of_descriptors) {
  cCrashReport::Prepare();
  const testkit::cDescriptorLimit none;
  return none.held ? cCrashReport::Report(stCrashInfo{kCrashBreakpoint}, "s", "") : 4;
}

TESSEL_CHILD_SCENARIO(report_with_stdout_full) {  // a pipe that nobody reads
  int ends[2];
  if (::pipe2(ends, O_NONBLOCK) != 0 || ::dup2(ends[1], STDOUT_FILENO) < 0) return 4;
  while (::write(STDOUT_FILENO, "full", 4) > 0) continue;
  ::fcntl(STDOUT_FILENO, F_SETFL, 0);
  ::dup2(STDOUT_FILENO, STDERR_FILENO);  // and standard error, on a full disk
  const testkit::cFileSizeLimit full(2000);
  return cCrashReport::Report(stCrashInfo{kCrashBreakpoint}, "s", "");
}

// A fault inside the copy of a typed line, under the console's input lock, while a command runs:
// the line runs into a page that cannot be read.
TESSEL_CHILD_SCENARIO(fault_under_input_lock) {
  cCrashReport::SetPreReport(TesselRecordCrash);
  TesselPrepareCrashRecord("tessel_child");
  SetRunStage(RunStage_Cmd);
  auto* page = static_cast<char*>(
      ::mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
  ::mprotect(page + 4096, 4096, PROT_NONE);
  page[4095] = 'x';
  int handled = -1;
  std::thread([&] {
    auto type = [](void* line) { cTesselCmd::Instance().SetCmd(static_cast<char*>(line)); };
    handled = cCrashGuard::Run(type, page + 4095, "crashy", "");
  }).join();
  // As the host's exception end does, outside the handler.
  TesselStoreRecordedCrash("tessel_child");
  return handled == 1 ? 0 : 3;
}

// The status of a line whose controls would forge lines of the status, of its log and record.
TESSEL_CHILD_SCENARIO(status_of_a_forging_line) {
  SetRunStage(RunStage_Cmd);
  cTesselCmd::Instance().SetCmd("Ver() --\x1b[2J\nlast cmd forged \xff");
  return std::fputs(TesselCrashStatus().c_str(), stdout) >= 0 ? 0 : 3;
}

// A record written whole, then again by a process a file size limit kills after 20 bytes.
TESSEL_CHILD_SCENARIO(record_cut_by_a_kill) {
  TesselPrepareCrashRecord("tessel_child");
  TesselRecordCrash();
  testkit::cFileSizeLimit cut(20);
  std::signal(SIGXFSZ, SIG_DFL);
  TesselRecordCrash();
  return 3;
}

// A fault inside the allocator, holding its lock: a freed block's list link is pointed at
// unmapped memory, and the next large allocation walks that list. The process must still end by
// its fault, the report written and the crash status kept for the registry.
TESSEL_CHILD_SCENARIO(fault_inside_malloc) {
  cCrashGuard::Install();
  cCrashReport::SetPreReport(TesselRecordCrash);
  TesselPrepareCrashRecord("crashy");
  // On a thread of its own, so that the allocator gives it a fresh arena of known layout.
  std::thread([] {
    // Called through pointers the compiler cannot see through, so that it keeps every call.
    void* (*volatile allocate)(size_t) = std::malloc;
    void (*volatile release)(void*) = std::free;
    allocate(64);
    void* block = allocate(2000);
    allocate(64);  // the block's neighbours stay in use: it is freed alone
    release(block);
    std::uintptr_t* volatile link = static_cast<std::uintptr_t*>(block);
    link[1] = 0x1000;
    release(allocate(4000));
  }).join();
  return 3;
}

// Two threads fault: the second waits until the first report, status included, is complete.
// The status recording is slowed down to widen the window the second thread faults in.
TESSEL_CHILD_SCENARIO(two_threads_fault) {
  static std::atomic<bool> reporting{false};
  cCrashGuard::Install();
  cCrashReport::SetPreReport([] {
    reporting = true;
    const timespec pause{0, 300 * 1000 * 1000};
    ::nanosleep(&pause, nullptr);
    const int fd = ::open("status_done", O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ::close(fd);
  });
  std::thread first([] { WriteNull(); });
  std::thread second([] {
    while (!reporting) std::this_thread::yield();
    ReadNull(nullptr);
  });
  first.join();
  second.join();
  return 3;
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
  // Whatever the umask, the report and the dump (raw memory, the last commands) are the
  // owner's alone.
  const mode_t umask = ::umask(0);
  for (const auto& [scenario, texts] : cases) {
    testkit::cTempDir dir;
    // A pipe or a link left in their places is replaced, never waited on nor followed.
    ASSERT_EQ(::mkfifo(dir.file("ERRORLOG.TXT").c_str(), 0600), 0);
    ASSERT_EQ(::symlink(dir.write("kept.txt", "kept").c_str(), dir.file("server_7.dmp").c_str()),
              0);
    const stChildResult r = RunChildScenario(dir.path(), scenario, true);
    EXPECT_EQ(r.code, 0) << scenario << "\n" << r.out;
    for (const char* file : {"ERRORLOG.TXT", "server_7.dmp"}) {
      struct stat st {};
      EXPECT_EQ(::lstat(dir.file(file).c_str(), &st), 0) << file;
      EXPECT_EQ(st.st_mode, S_IFREG | 0600u) << file;
    }
    EXPECT_EQ(testkit::ReadFile(dir.file("kept.txt")), "kept");
    EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(dir.file("ERRORLOG.TXT")), texts)) << scenario;
    EXPECT_TRUE(testkit::InOrder(r.out, {"tessel_child caused a"})) << scenario;
    EXPECT_EQ(testkit::WaitForFile(dir.file("xcrash_args.txt")), "tessel_child|server_7|map=7 x");
    const std::string dump = testkit::ReadFile(dir.file("server_7.dmp"));
    EXPECT_TRUE(testkit::InOrder(dump, {"TESSELDMP 1\ncode 0x", "\nreg RIP 0x", "\nmaps\n"}));
    EXPECT_TRUE(dump.ends_with("end\n")) << scenario;
  }
  ::umask(umask);
  testkit::cTempDir dir;
  EXPECT_EQ(RunChildScenario(dir.path(), "guard_twice", true).signo, SIGSEGV);
  EXPECT_FALSE(testkit::FileExists(dir.file("ERRORLOG.TXT")));
  testkit::cTempDir thrown;
  EXPECT_EQ(RunChildScenario(thrown.path(), "throw_unguarded", false).signo, SIGABRT);
  EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(thrown.file("ERRORLOG.TXT")), {"text: cycle"}));
  testkit::cTempDir pre;
  EXPECT_EQ(RunChildScenario(pre.path(), "pre_report_once", false).code, 0);
  EXPECT_NE(testkit::ReadFile(pre.file("ERRORLOG.TXT")).find("caused a Breakpoint"),
            std::string::npos);
  EXPECT_TRUE(testkit::InOrder(RunChildScenario(pre.path(), "report_on_a_full_disk", false).out,
                               {"ERRORLOG.TXT: it is not whole", "s.dmp: it is not whole"}));
  testkit::cTempDir spent;
  EXPECT_EQ(RunChildScenario(spent.path(), "report_out_of_descriptors", false).code, 0);
  EXPECT_TRUE(testkit::ReadFile(spent.file("ERRORLOG.TXT")).ends_with("ERRORLOG.TXT] =====\r\n"));
  EXPECT_TRUE(testkit::ReadFile(spent.file("s.dmp")).ends_with("\nend\n"));
  testkit::cTempDir kept;  // earlier report and dump kept by hard links; stdout full
  for (const std::string file : {"ERRORLOG.TXT", "s.dmp"})
    ASSERT_EQ(::link(kept.write(file, "old").c_str(), kept.file(file + "~").c_str()), 0);
  EXPECT_EQ(RunChildScenario(kept.path(), "report_with_stdout_full", false, 20000).code, 0);
  EXPECT_EQ(testkit::ReadFile(kept.file("ERRORLOG.TXT~")) + testkit::ReadFile(kept.file("s.dmp~")),
            "oldold");
}

// A fault under a lock the crash status reads: the report is written first and the status is
// recorded without waiting for the lock.
TEST(CrashReport, AFaultUnderTheInputLockIsReportedAndItsStatusRecorded) {
  testkit::cTempDir dir;
  const stChildResult r = RunChildScenario(dir.path(), "fault_under_input_lock", true, 10000);
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(dir.file("ERRORLOG.TXT")), {"Access Violation"}));
  EXPECT_TRUE(testkit::InOrder(
      testkit::ReadFile(dir.file("registry/Software/tessel_child.ini")),
      {"crash = 【严重错误】exception catched status: 2\\nlast cmd ", "last input cmd (locked)"}));
  // A pipe in the crash record's place is not waited on, by the fault's handler nor at the start.
  testkit::cTempDir piped;
  std::filesystem::create_directories(piped.file("registry/Software"));
  ASSERT_EQ(::mkfifo(piped.file("registry/Software/tessel_child.crash").c_str(), 0600), 0);
  const stChildResult p = RunChildScenario(piped.path(), "fault_under_input_lock", true, 10000);
  EXPECT_EQ(p.code, 0) << p.out;
  EXPECT_TRUE(testkit::InOrder(p.out, {"tessel_child.crash is no regular file"}));
  EXPECT_NE(RunChildScenario(piped.path(), "status_of_a_forging_line", false)
                .out.find("last input cmd Ver() --\\x1B[2J\\x0Alast cmd forged \\xFF\n"),
            std::string::npos);
  testkit::cTempDir cut;
  EXPECT_EQ(RunChildScenario(cut.path(), "record_cut_by_a_kill", false).signo, SIGXFSZ);
  EXPECT_TRUE(testkit::ReadFile(cut.file("registry/Software/tessel_child.crash"))
                  .ends_with("exception catched status: 0\n"));
}

}  // namespace

namespace {

// The crash path allocates nothing after the report: a fault inside the allocator ends the
// process by its signal instead of hanging it, and a second faulting thread does not cut the
// first report short. The status the handler kept reaches the registry at the next start.
TEST(CrashReport, AFaultInsideTheAllocatorOrOnASecondThreadStillEndsAfterACompleteReport) {
#ifndef TESSEL_SANITIZED
  const std::string lastLine = "\r\n===== [end of ERRORLOG.TXT] =====\r\n";
  testkit::cTempDir heap;
  const stChildResult r = RunChildScenario(heap.path(), "fault_inside_malloc", false, 15000);
  EXPECT_EQ(r.signo, SIGSEGV) << r.out;
  EXPECT_TRUE(testkit::ReadFile(heap.file("ERRORLOG.TXT")).ends_with(lastLine));
  {
    ScopedEnv registry("TESSEL_REGISTRY", heap.file("registry").c_str());
    TesselStoreRecordedCrash("crashy");
  }
  EXPECT_TRUE(
      testkit::InOrder(testkit::ReadFile(heap.file("registry/Software/crashy.ini")),
                       {"crash = 【严重错误】exception catched status: 0", "crashtime = 20"}));
  // Under AddressSanitizer the runtime's own fault handling once ended this child before the
  // first report was complete; the scenario runs where the guard alone handles the faults.
  testkit::cTempDir two;
  const stChildResult both = RunChildScenario(two.path(), "two_threads_fault", false, 15000);
  EXPECT_EQ(both.signo, SIGSEGV) << both.out;
  EXPECT_TRUE(testkit::FileExists(two.file("status_done")));
  EXPECT_TRUE(testkit::ReadFile(two.file("ERRORLOG.TXT")).ends_with(lastLine));
#else
  GTEST_SKIP() << "the sanitizer runtimes handle faults and allocation themselves";
#endif
}

}  // namespace
