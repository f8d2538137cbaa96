// Faults raised on a server's worker on purpose: each is reported (ERRORLOG.TXT, the dump file,
// the report tool started) and the process takes the exception end and exits in order.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "e2e/server_process.h"

namespace e2e {
namespace {

const bool kIgnorePipe = (::signal(SIGPIPE, SIG_IGN), true);

const char* const kRegistryKey = "Software/tessel_server";
// The program's exit code after an end that followed a caught fault.
constexpr int kExitAfterFault = 3;

// Copies tessel_server into home/bin beside a report tool "XCrashReport" that writes the three
// arguments it was started with to home/bin/xcrash_args.txt; returns the copy's path.
std::string InstallWithReportTool(const cHome& home) {
  namespace fs = std::filesystem;
  const std::string bin = home.Path() + "/bin";
  fs::create_directories(bin);
  fs::copy_file(TESSEL_SERVER_EXE, bin + "/tessel_server");
  home.Write("bin/XCrashReport",
             "#!/bin/sh\nprintf '%s|%s|%s' \"$1\" \"$2\" \"$3\" > \"$(dirname \"$0\")/args.tmp\"\n"
             "mv \"$(dirname \"$0\")/args.tmp\" \"$(dirname \"$0\")/xcrash_args.txt\"\n");
  ::chmod((bin + "/XCrashReport").c_str(), 0755);
  return bin + "/tessel_server";
}

// The file's text once it exists (the report tool runs beside the ending process); "" when it
// did not appear within the bound.
std::string WaitFile(const cHome& home, const std::string& relative) {
  for (int i = 0; i < kWaitMs / 20; ++i) {
    if (std::filesystem::exists(home.Path() + "/" + relative)) return home.Read(relative);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return "";
}

struct stFault {
  const char* line;         // typed once the console is ready
  const char* waitFor;      // when not empty: output awaited before `then` is typed
  const char* then;         // a second console line
  const char* description;  // the fault as the report names it
  const char* status;       // the crash status: the run stage and what ran in it
};

TEST(Faults, EachFaultIsReportedAndTheProcessTakesTheExceptionEndAndExitsInOrder) {
  const stFault faults[] = {
      {"/12/Null()", "", "", "caused an Access Violation", "status: 2\nlast cmd Null()"},
      {"/12/Func0()", "", "", "caused an Access Violation", "status: 2\nlast cmd Func0()"},
      {"/12/Func0Run()", "", "", "caused an Access Violation", "status: 3\nin run"},
      {"/12/Vir()", "", "", "caused an Illegal Instruction", "status: 2\nlast cmd Vir()"},
      {"/12/Throw()", "", "", "caused a Microsoft C++ Exception", "status: 2\nlast cmd Throw()"},
      // The worker never comes back; the operator's "dump" reports from the console thread.
      {"/12/DeadLoop()", "enter deadloop 0\n", "dump", "caused a Breakpoint",
       "status: 2\nlast cmd DeadLoop()"},
  };
  for (const stFault& f : faults) {
    SCOPED_TRACE(f.line);
    cHome home;
    cServerProcess server(home, Words("game", {}), InstallWithReportTool(home));
    ASSERT_TRUE(server.WaitOutput("!>")) << server.Output();
    server.Type(f.line);
    if (*f.waitFor) {
      ASSERT_TRUE(server.WaitOutput(f.waitFor)) << server.Output();
      server.Type(f.then);
    }
    // In order: the fault's own exit code after the whole exception end.
    EXPECT_EQ(server.WaitExit(), kExitAfterFault) << server.Output();
    const std::string out = server.Output();
    ExpectInOrder(out, {f.description, std::string("【严重错误】exception catched ") + f.status,
                        "program quit... ", "Exception wait 50\n", "Exception wait 100\n"});
    // Two rounds of the exception phase (quickend = 1), then the end goes on.
    EXPECT_EQ(out.find("Exception wait 150"), std::string::npos) << out;
    ExpectInOrder(home.Read("ERRORLOG.TXT"),
                  {f.description, "Exception handler called in tessel_server.",
                   "Context:", "Stack:", "===== [end of ERRORLOG.TXT] ====="});
    EXPECT_EQ(home.Read("tessel_server.dmp").rfind("TESSELDMP 1\n", 0), 0u);
    EXPECT_EQ(WaitFile(home, "bin/xcrash_args.txt").rfind("tessel_server|tessel_server|", 0), 0u);
    // The crash status and both times of the end are in the registry store, and the end ran to
    // its last step.
    EXPECT_NE(home.RegistryValue(kRegistryKey, "crash").find("exception catched status"),
              std::string::npos);
    for (const char* time : {"crashtime", "endtime", "exittime"})
      EXPECT_FALSE(home.RegistryValue(kRegistryKey, time).empty()) << time;
    EXPECT_NE(home.ReadAll("log").find("cTessel thread ended ... "), std::string::npos);
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
  ExpectInOrder(home.Read("ERRORLOG.TXT"),
                {"caused an Access Violation", "Write to location 00000000",
                 "===== [end of ERRORLOG.TXT] ====="});
  EXPECT_FALSE(home.RegistryValue(kRegistryKey, "crashtime").empty());
  EXPECT_TRUE(home.RegistryValue(kRegistryKey, "endtime").empty());
}

// The exception end tells the peers: the server hears of its client's fault, the client of its
// server's; the peer itself goes on and ends in order later.
TEST(Faults, ThePeerOfAFaultingProcessHearsOfItAndGoesOn) {
  struct stSide {
    const char* name;
    bool gameFaults;   // else global faults
    const char* said;  // by the peer
  } sides[] = {
      {"client faults", true, "【Exception】on Client global link "},
      {"server faults", false, "【Exception】on Server global"},
  };
  for (const stSide& side : sides) {
    SCOPED_TRACE(side.name);
    cHome globalHome;
    cHome gameHome;
    globalHome.AddAccount("game", "gamepw", 16);
    cServerProcess global(globalHome, Words("global", {"listen", "=", "0"}),
                          side.gameFaults ? TESSEL_SERVER_EXE : InstallWithReportTool(globalHome));
    const int port = global.WaitPort("global");
    ASSERT_GT(port, 0) << global.Output();
    gameHome.Write("config/login_global.ini",
                   "serverip = 127.0.0.1\naccount = game\npassword = gamepw\n");
    cServerProcess game(gameHome, Words("game", {"connect", "=", "global:" + std::to_string(port)}),
                        side.gameFaults ? InstallWithReportTool(gameHome) : TESSEL_SERVER_EXE);
    ASSERT_TRUE(game.WaitOutput("logined 1")) << game.Output();
    cServerProcess& faulty = side.gameFaults ? game : global;
    cServerProcess& peer = side.gameFaults ? global : game;
    const cHome& peerHome = side.gameFaults ? globalHome : gameHome;
    faulty.Type("/12/Null()");
    EXPECT_EQ(faulty.WaitExit(), kExitAfterFault) << faulty.Output();
    EXPECT_TRUE(peer.WaitOutput(side.said)) << peer.Output();
    peer.Type("quit");
    EXPECT_EQ(peer.WaitExit(), 0) << peer.Output();
    EXPECT_FALSE(peerHome.RegistryValue(kRegistryKey, "exittime").empty());
  }
}

}  // namespace
}  // namespace e2e
