// Faults raised on a server's worker on purpose: each is reported (ERRORLOG.TXT, the dump file,
// the report tool started) and the process takes the exception end and exits in order. (The
// other kinds of fault and a fault in a cycle: the host's crash tests; the peers hearing of a
// fault and a fault without the report tool: the cluster and the launch-parameter login.)
#include <gtest/gtest.h>

#include <filesystem>

#include "e2e/server_process.h"
#include "testkit/text_shape.h"

namespace e2e {
namespace {

// The program's exit code after an end that followed a caught fault.
constexpr int kExitAfterFault = 3;

TEST(Faults, EachFaultIsReportedAndTheProcessTakesTheExceptionEndAndExitsInOrder) {
  const struct {
    const char* line;         // typed once the console is ready
    const char* then;         // when not empty: typed once the first line's worker has started
    const char* description;  // the fault as the report names it
    const char* status;       // the crash status: the run stage and what ran in it
  } faults[] = {
      {"/12/Null()", "", "caused an Access Violation", "status: 2\nlast cmd Null()"},
      {"/12/Vir()", "", "caused an Illegal Instruction", "status: 2\nlast cmd Vir()"},
      // The worker never comes back; the operator's "dump" reports from the console thread.
      {"/12/DeadLoop()", "dump", "caused a Breakpoint", "status: 2\nlast cmd DeadLoop()"},
  };
  for (const auto& f : faults) {
    SCOPED_TRACE(f.line);
    cHome home;
    cServerProcess server(home, Words("game", {}), InstallWithReportTool(home));
    ASSERT_TRUE(server.WaitOutput("!>")) << server.Output();
    server.Type(f.line);
    if (*f.then) {
      ASSERT_TRUE(server.WaitOutput("enter deadloop 0\n")) << server.Output();
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

// A command's Lua has a time limit: past it the line ends with an error and the process serves
// on. With the limit off, a runaway line still gives way when the process ends, so quit ends it
// in order; a worker held in native code is abandoned, and the process leaves without a fault.
TEST(Faults, ARunawayLineIsStoppedAndNeverFaultsTheEnd) {
  const struct {
    const char* config;  // config/config_int.ini
    const char* line;
    const char* said;  // what the line's end prints, "" when it never ends
    int exit;
  } runaways[] = {
      {"lua_time_limit = 1\n", "while true do end", "command time limit: stopped after 1 s", 0},
      {"lua_time_limit = 0\n", "while true do end", "", 0},
      {"lua_time_limit = 0\n", "/12/DeadLoop()", "", 4},
  };
  for (const auto& r : runaways) {
    SCOPED_TRACE(std::string(r.config) + r.line);
    cHome home;
    home.write("config/config_int.ini", r.config);
    cServerProcess server(home, Words("game", {}));
    ASSERT_TRUE(server.WaitOutput("!>")) << server.Output();
    server.Type(r.line);
    if (*r.said) {
      EXPECT_TRUE(server.WaitOutput(r.said)) << server.Output();
      EXPECT_TRUE(server.Ask("/4/Ver()", {"func_Version"})) << server.Output();
    }
    server.Type("quit");
    EXPECT_EQ(server.WaitExit(), r.exit) << server.Output();
    EXPECT_FALSE(std::filesystem::exists(home / "ERRORLOG.TXT")) << server.Output();
  }
}

// The report's flight record: after the module block, the last 64 commands in order (time,
// requester, text), then the headers of the last records received (a client's login), then the
// report's last line.
TEST(Faults, AFaultAfter100CommandsReportsTheLast64InOrder) {
  cHome home, mapHome;
  AddAccount(home, "map", "map-pw", 16);
  WriteLogin(mapHome, "game", "map", "map-pw");
  cServerProcess game(home, Words("game", Listen()), InstallWithReportTool(home));
  cServerProcess map(mapHome, Words("map", ConnectTo("game", game.WaitPort("game"))));
  ASSERT_TRUE(map.WaitOutput("logined 1 game")) << map.Output();
  for (int i = 1; i <= 100; ++i) game.Type("/13/ViewConfigValue('k" + std::to_string(i) + "')");
  game.Type("/12/Null()");
  EXPECT_EQ(game.WaitExit(), kExitAfterFault) << game.Output();
  const std::string report = testkit::ReadFile(home / "ERRORLOG.TXT");
  std::vector<std::string> expected = {"Module 1\r\n", "Last commands run"};
  for (int i = 38; i <= 100; ++i)
    expected.push_back("  console  ViewConfigValue('k" + std::to_string(i) + "')\r\n");
  expected.insert(expected.end(), {"  console  Null()\r\n", "Last records received",
                                   " link game#1\r\n", "===== [end of ERRORLOG.TXT] ====="});
  EXPECT_TRUE(testkit::InOrder(report, expected));
  EXPECT_EQ(report.find("('k37')"), std::string::npos);
  EXPECT_TRUE(testing_support::contains_shape(report, "\n##_## ##:##:##.###  console  Null()\r"));
}

}  // namespace
}  // namespace e2e
