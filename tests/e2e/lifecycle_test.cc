// A server program's own life: every way of ending it ends it in order with exit code 0, bad
// launch parameters start nothing, and the launch parameters' account logs a client link in.
#include <signal.h>

#include <gtest/gtest.h>

#include "e2e/server_process.h"

namespace e2e {
namespace {

TEST(Lifecycle, EveryWayOfEndingRunsTheOrderlyEndAndExitsWithZero) {
  // The launch words, what is written to the console, whether its input then ends, the signal
  // sent, and what the program writes on its way out.
  const struct {
    std::vector<std::string> words;
    const char* input;
    bool close;
    int signo;
    const char* said;
  } endings[] = {
      {{}, "", true, 0, "program quit... "},
      {{}, "Ver()", true, 0, "program quit... "},  // an open line before the end of input
      {{}, "", false, SIGTERM, "CTRL_CLOSE_EVENT invoke"},
      {{}, "", false, SIGINT, "CTRL_C_EVENT invoke"},
      {{"initcmd", "=", "quit"}, "", false, 0, "program quit... "},
  };
  for (const auto& ending : endings) {
    SCOPED_TRACE(ending.said + std::to_string(ending.signo));
    cHome home;
    cServerProcess server(home, Words("game", ending.words));
    ASSERT_TRUE(server.WaitOutput("!>"));
    server.Send(ending.input);
    if (ending.close) server.CloseInput();
    if (ending.signo != 0) server.Signal(ending.signo);
    EXPECT_EQ(server.WaitExit(), 0) << server.Output();
    EXPECT_NE(server.Output().find(ending.said), std::string::npos) << server.Output();
    // The end sequence ran to its last step: both of its times are in the registry store.
    EXPECT_FALSE(RegistryValue(home, "endtime").empty());
    EXPECT_FALSE(RegistryValue(home, "exittime").empty());
  }
}

TEST(Lifecycle, AMalformedLaunchParameterIsReportedAndNothingStarts) {
  const std::vector<std::vector<std::string>> bad = {
      {"listen", "=", "70000"},    {"connect", "=", "global"},     {"connect", "=", "global:0"},
      {"connect", "=", "a:1,a:2"}, {"listenip", "=", "localhost"},
  };
  for (const auto& words : bad) {
    SCOPED_TRACE(words[2]);
    cHome home;
    cServerProcess server(home, Words("game", words));
    EXPECT_EQ(server.WaitExit(), 2);
    EXPECT_NE(server.Output().find("tessel_server: " + words[0]), std::string::npos);
    EXPECT_EQ(server.Output().find("!>"), std::string::npos);
  }
}

// The account and password of the launch parameters win over the login file; the server shows
// the password masked, and a refusal comes back to the client. A fault on the logged-in client
// takes its exception end, which the server hears of and goes on; the refused client has no
// report tool.
TEST(Lifecycle, TheLaunchParametersAccountLogsInAndAWrongPasswordIsRefused) {
  cHome globalHome, rightHome, wrongHome;
  AddAccount(globalHome, "game2", "rightpw", 16);
  AddAccount(globalHome, "game3", "rightpw", 16);
  cServerProcess global(globalHome, Words("global", Listen()));
  const std::string connect = "global:" + std::to_string(global.WaitPort("global"));
  rightHome.write("config/login.ini", "account = game\npassword = nothing\n");
  wrongHome.write("config/login.ini", "account = game3\npassword = wrongpw\n");
  cServerProcess right(
      rightHome,
      Words("map", {"connect", "=", connect, "account", "=", "game2", "password", "=", "rightpw"}),
      InstallWithReportTool(rightHome));
  EXPECT_TRUE(right.WaitOutput("Output() login ok game2 cmd level = 16")) << right.Output();
  cServerProcess wrong(wrongHome, Words("map", {"connect", "=", connect}));
  EXPECT_TRUE(wrong.WaitOutput("logined 0")) << wrong.Output();
  EXPECT_TRUE(wrong.WaitOutput("Output() login error 密码错误")) << wrong.Output();
  EXPECT_TRUE(global.WaitOutput("login as game3 *******")) << global.Output();
  EXPECT_EQ(global.Output().find("rightpw"), std::string::npos);
  EXPECT_EQ(global.Output().find("wrongpw"), std::string::npos);
  right.Type("/12/Null()");
  EXPECT_EQ(right.WaitExit(), 3) << right.Output();
  EXPECT_TRUE(global.WaitOutput("【Exception】on Client global link ")) << global.Output();
  // Without the report tool nobody takes a fault over: the report is written, then the fault
  // ends the process by its signal, before any end.
  wrong.Type("/12/Null()");
  EXPECT_EQ(wrong.WaitExit(), 128 + SIGSEGV) << wrong.Output();
  EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(wrongHome / "ERRORLOG.TXT"),
                               {"caused an Access Violation", "Write to location 00000000",
                                "===== [end of ERRORLOG.TXT] ====="}));
  EXPECT_TRUE(RegistryValue(wrongHome, "endtime").empty());
  // The fault's handler writes nothing that allocates: its crash reaches the registry when the
  // program starts next.
  EXPECT_TRUE(RegistryValue(wrongHome, "crashtime").empty());
  cServerProcess(wrongHome, Words("map")).QuitInOrder();
  EXPECT_FALSE(RegistryValue(wrongHome, "crashtime").empty());
  global.QuitInOrder();
}

}  // namespace
}  // namespace e2e
