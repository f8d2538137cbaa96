// Faults raised on a server's worker on purpose: each is reported (ERRORLOG.TXT, the dump file,
// the report tool started), the process takes the exception end and exits in order, and its
// peer hears of it.
#include <signal.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "e2e/server_process.h"

namespace e2e {
namespace {

// The program's exit code after an end that followed a caught fault.
constexpr int kExitAfterFault = 3;

// Copies tessel_server into home/bin beside a report tool "XCrashReport" that writes the three
// arguments it was started with to home/bin/xcrash_args.txt; returns the copy's path.
std::string InstallWithReportTool(const cHome& home) {
  std::filesystem::create_directories(home / "bin");
  std::filesystem::copy_file(TESSEL_SERVER_EXE, home / "bin/tessel_server");
  home.write("bin/XCrashReport",
             "#!/bin/sh\nprintf '%s|%s|%s' \"$1\" \"$2\" \"$3\" > \"$(dirname \"$0\")/args.tmp\"\n"
             "mv \"$(dirname \"$0\")/args.tmp\" \"$(dirname \"$0\")/xcrash_args.txt\"\n");
  ::chmod((home / "bin/XCrashReport").c_str(), 0755);
  return home / "bin/tessel_server";
}

TEST(Faults, EachFaultIsReportedAndTheProcessTakesTheExceptionEndAndExitsInOrder) {
  const struct {
    const char* line;         // typed once the console is ready
    const char* waitFor;      // when not empty: output awaited before `then` is typed
    const char* then;         // a second console line
    const char* description;  // the fault as the report names it
    const char* status;       // the crash status: the run stage and what ran in it
  } faults[] = {
      {"/12/Null()", "", "", "caused an Access Violation", "status: 2\nlast cmd Null()"},
      {"/12/Func0()", "", "", "caused an Access Violation", "status: 2\nlast cmd Func0()"},
      {"/12/Func0Run()", "", "", "caused an Access Violation", "status: 3\nin run"},
      {"/12/Vir()", "", "", "caused an Illegal Instruction", "status: 2\nlast cmd Vir()"},
      {"/12/Throw()", "", "", "caused a Microsoft C++ Exception", "status: 2\nlast cmd Throw()"},
      // The worker never comes back; the operator's "dump" reports from the console thread.
      {"/12/DeadLoop()", "enter deadloop 0\n", "dump", "caused a Breakpoint",
       "status: 2\nlast cmd DeadLoop()"},
  };
  for (const auto& f : faults) {
    SCOPED_TRACE(f.line);
    cHome home;
    cServerProcess server(home, Words("game", {}), InstallWithReportTool(home));
    ASSERT_TRUE(server.WaitOutput("!>")) << server.Output();
    server.Type(f.line);
    if (*f.waitFor) {
      ASSERT_TRUE(server.WaitOutput(f.waitFor)) << server.Output();
      server.Type(f.then);
    }
    EXPECT_EQ(server.WaitExit(), kExitAfterFault) << server.Output();
    // Two rounds of the exception phase (quickend = 1), then the end goes on.
    const std::string out = server.Output();
    EXPECT_TRUE(testkit::InOrder(
        out, {f.description, std::string("【严重错误】exception catched ") + f.status,
              "program quit... ", "Exception wait 50\n", "Exception wait 100\n"}));
    EXPECT_EQ(out.find("Exception wait 150"), std::string::npos) << out;
    EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(home / "ERRORLOG.TXT"),
                                 {f.description, "Exception handler called in tessel_server.",
                                  "Context:", "Stack:", "===== [end of ERRORLOG.TXT] ====="}));
    EXPECT_EQ(testkit::ReadFile(home / "tessel_server.dmp").rfind("TESSELDMP 1\n", 0), 0u);
    EXPECT_EQ(testkit::WaitForFile(home / "bin/xcrash_args.txt", kWaitMs)
                  .rfind("tessel_server|tessel_server|", 0),
              0u);
    EXPECT_NE(RegistryValue(home, "crash").find("exception catched status"), std::string::npos);
    for (const char* time : {"crashtime", "endtime", "exittime"})
      EXPECT_FALSE(RegistryValue(home, time).empty()) << time;
  }
}

// Without the report tool nobody takes the fault over: the report is still written, then the
// fault ends the process by its signal, before any end.
TEST(Faults, WithoutTheReportToolTheFaultEndsTheProcessAfterTheReport) {
  cHome home;
  cServerProcess server(home, Words("game", {}));
  ASSERT_TRUE(server.WaitOutput("!>")) << server.Output();
  server.Type("/12/Null()");
  EXPECT_EQ(server.WaitExit(), 128 + SIGSEGV) << server.Output();
  EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(home / "ERRORLOG.TXT"),
                               {"caused an Access Violation", "Write to location 00000000",
                                "===== [end of ERRORLOG.TXT] ====="}));
  EXPECT_FALSE(RegistryValue(home, "crashtime").empty());
  EXPECT_TRUE(RegistryValue(home, "endtime").empty());
}

// The exception end tells the peers: the server hears of its client's fault, the client of its
// server's; the peer itself goes on and ends in order later.
TEST(Faults, ThePeerOfAFaultingProcessHearsOfItAndGoesOn) {
  for (const bool gameFaults : {true, false}) {
    SCOPED_TRACE(gameFaults ? "client faults" : "server faults");
    cHome globalHome, gameHome;
    AddAccount(globalHome, "game", "gamepw", 16);
    cServerProcess global(globalHome, Words("global", {"listen", "=", "0"}),
                          gameFaults ? TESSEL_SERVER_EXE : InstallWithReportTool(globalHome));
    const int port = global.WaitPort("global");
    ASSERT_GT(port, 0) << global.Output();
    WriteLogin(gameHome, "global", "game", "gamepw");
    cServerProcess game(gameHome, Words("game", {"connect", "=", "global:" + std::to_string(port)}),
                        gameFaults ? InstallWithReportTool(gameHome) : TESSEL_SERVER_EXE);
    ASSERT_TRUE(game.WaitOutput("logined 1")) << game.Output();
    cServerProcess& faulty = gameFaults ? game : global;
    cServerProcess& peer = gameFaults ? global : game;
    faulty.Type("/12/Null()");
    EXPECT_EQ(faulty.WaitExit(), kExitAfterFault) << faulty.Output();
    EXPECT_TRUE(peer.WaitOutput(gameFaults ? "【Exception】on Client global link "
                                           : "【Exception】on Server global"))
        << peer.Output();
    peer.QuitInOrder();
  }
}

}  // namespace
}  // namespace e2e
