// A server program's own life: every way of ending it ends it in order with exit code 0, a
// restart starts it again in the same process, bad launch parameters start nothing, and the
// launch parameters' account logs a client link in.
#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

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
    bool sizeLimit = false;  // its files held to 50 kB, its console not
  } endings[] = {
      {{}, "", true, 0, "program quit... "},
      {{}, "Ver()", true, 0, "program quit... "},  // an open line before the end of input
      {{}, "", false, SIGTERM, "CTRL_CLOSE_EVENT invoke"},
      {{}, "", false, SIGINT, "CTRL_C_EVENT invoke"},
      {{"initcmd", "=", "quit"}, "", false, 0, "program quit... "},
      {{}, "error(string.rep('x',100000))\n", true, 0, "File too large; lines may be lost", true},
      {{}, "/4/Close()\n", false, 0, "func_CloseTessel"},
  };
  // A log line past the file-size limit is said; the limit is set between a pipe and the program.
  const std::string limited =
      R"(set -o pipefail; (exec prlimit --fsize=50000 "$0" "$@" 2>&1) | cat)";
  for (const auto& ending : endings) {
    SCOPED_TRACE(ending.said + std::to_string(ending.signo));
    cHome home;
    std::vector<std::string> words = Words("game", ending.words);
    if (ending.sizeLimit) words.insert(words.begin(), {"-c", limited, TESSEL_SERVER_EXE});
    cServerProcess server(home, words, ending.sizeLimit ? "/bin/bash" : TESSEL_SERVER_EXE);
    ASSERT_TRUE(server.WaitOutput("!>"));
    server.Send(ending.input);
    if (ending.close) server.CloseInput();
    if (ending.signo != 0) server.Signal(ending.signo);
    EXPECT_EQ(server.WaitExit(), 0) << server.Output();
    EXPECT_NE(server.Output().find(ending.said), std::string::npos) << server.Output();
    EXPECT_EQ(server.Output().find('\a'), std::string::npos) << "a bell on a pipe";
    // The end sequence ran to its last step: both of its times are in the registry store.
    EXPECT_FALSE(RegistryValue(home, "endtime").empty());
    EXPECT_FALSE(RegistryValue(home, "exittime").empty());
  }
  {
    // Restart() ends in order, then the same process starts again with its launch words: its
    // console reads on, a client logs in to its new listening side, the trail opens twice.
    cHome home;
    AddAccount(home, "ops", "ops-pw9", 16);
    cServerProcess server(home, Words("game", Listen()));
    ASSERT_GT(server.WaitPort("game"), 0);
    const size_t mark = server.Output().size();
    server.Type("/4/Restart()");
    const int port = server.WaitPort("game", mark);
    ASSERT_GT(port, 0) << server.Output();
    EXPECT_TRUE(server.Ask("/4/Ver()", {"程序 game"}));
    const stCliRun run = RunCli(
        home, {"-u", "ops", "-c", "/4/Ver()", "127.0.0.1:" + std::to_string(port)}, "ops-pw9");
    EXPECT_NE(run.out.find("func_Version"), std::string::npos) << run.err;
    const std::string pid = "\tpid=" + std::to_string(server.Pid()) + "\t";
    EXPECT_EQ(CountLines(TrailOf(home), {"kind=open", pid}), 2);
    server.QuitInOrder();
  }
  // A Ctrl+C while the start waits (for an audit key from a pipe) lets the start finish first.
  cHome home;
  const std::string key = home / "config/audit.key";
  std::filesystem::create_directories(home / "config");
  ASSERT_EQ(::mkfifo(key.c_str(), 0600), 0);
  const int keyWriter = ::open(key.c_str(), O_RDWR | O_CLOEXEC);
  cServerProcess server(home, Words("game", Listen()));
  // The start makes the trail's folder just before it waits for the key.
  for (int i = 0; i < 2000 && !std::filesystem::exists(home / "log/audit"); ++i) ::usleep(10000);
  server.Signal(SIGINT);
  EXPECT_EQ(server.WaitExit(), 0);
  EXPECT_TRUE(
      testkit::InOrder(server.Output(), {"CTRL_C", "tessel infos", "cTessel thread ended"}));
  ::close(keyWriter);
}

// A standard output nobody reads holds every line of the process (the worker's, the signal's):
// SIGTERM still ends it at end_time_limit, with the step that held it on standard error and 6.
TEST(Lifecycle, AnEndHeldByAStandardOutputNobodyReadsEndsAtItsLimit) {
  cHome home;
  home.write("config/config_int.ini", "end_time_limit = 2\n");
  const std::string out = home / "console.txt";
  ASSERT_EQ(::mkfifo(out.c_str(), 0600), 0);
  const int reader = ::open(out.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  int in[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  std::vector<std::string> args{TESSEL_SERVER_EXE};
  for (const std::string& word : Words("game")) args.push_back(word);
  const pid_t pid =
      Spawn(args, {"TESSEL_HOME=" + home.path().string(), "TESSEL_REGISTRY=" + home / "registry"},
            in[0], out, home / "err.txt");
  const std::string flood = "for i = 1, 3000 do print(string.rep('x', 100)) end\n";
  ASSERT_EQ(::write(in[1], flood.data(), flood.size()), static_cast<ssize_t>(flood.size()));
  int held = 0;
  for (int i = 0; i < 2000 && held < 60000; ++i, ::usleep(10000)) ::ioctl(reader, FIONREAD, &held);
  ASSERT_GE(held, 60000) << "the output never filled its pipe";
  ::kill(pid, SIGTERM);
  EXPECT_EQ(WaitPid(pid), 6);
  EXPECT_NE(testkit::ReadFile(home / "err.txt")
                .find("end time limit of 2 s reached (end_time_limit in config/config_int.ini), "
                      "still held at: the end asked for by a signal"),
            std::string::npos);
  for (int fd : {reader, in[0], in[1]}) ::close(fd);
}

// What a refused launch left in its home besides its console file: nothing, not even the
// registry store.
std::vector<std::string> MadeBy(const cHome& home) {
  std::vector<std::string> made;
  for (const auto& entry : std::filesystem::directory_iterator(home.path()))
    if (entry.path().filename() != "console.txt") made.push_back(entry.path().filename().string());
  return made;
}

TEST(Lifecycle, AnUnknownOrMalformedLaunchWordIsNamedAndNothingIsMade) {
  const struct {
    std::vector<std::string> words;  // after "program = game quickend = 1 reconnect = 0"
    const char* said;
  } bad[] = {
      {{"foo", "=", "bar"}, "unknown launch word 'foo'"},
      {{"listen"}, "'listen' has no value"},
      {{"tls", "=", "2"}, "tls = 2: expected 0 or 1"},
      {{"listen=0"}, "'listen=0': expected KEY = VALUE, with blanks around '='"},
      {{"listen", ":", "0"}, "'listen : 0': expected KEY = VALUE"},
      {{"password=hush12"}, "'password=******': expected KEY = VALUE"},
      {{"password", "hush12", "listen", "=", "0"}, "'password ****** ******': expected"},
      {{"--verbose"}, "unknown option '--verbose'"},
      {{"listen", "=", "70000"}, "listen = 70000: expected a port"},
      {{"maxlinks", "=", "-1"}, "maxlinks = -1: expected a number"},
      {{"listenip", "=", "localhost"}, "listenip = localhost: expected an IPv4 address"},
      {{"connect", "=", "global"}, "connect = global: expected NAME:PORT"},
      {{"connect", "=", "global:0"}, "connect = global:0: expected NAME:PORT"},
      {{"connect", "=", "a:1,a:2"}, "connect = a:1,a:2: expected NAME:PORT"},
      {{"passwordfile", "=", "/nonexistent/pw"}, "passwordfile = /nonexistent/pw: cannot read"},
      {{"map", "=", "x/../../../out"}, "map = x/../../../out: expected a name"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.said);
    cHome home;
    cServerProcess server(home, Words("game", b.words));
    EXPECT_EQ(server.WaitExit(), 2);
    EXPECT_TRUE(testkit::InOrder(server.Output(), {std::string("tessel_server: ") + b.said}));
    EXPECT_EQ(MadeBy(home), std::vector<std::string>{});
  }
  // Usage and version are answers, not launches.
  for (const char* ask : {"--help", "--version"}) {
    SCOPED_TRACE(ask);
    cHome home;
    cServerProcess server(home, {ask});
    EXPECT_EQ(server.WaitExit(), 0);
    EXPECT_TRUE(testkit::InOrder(
        server.Output(),
        {std::string(ask) == "--help" ? "maxlinks = COUNT" : "tessel_server 1.0.0"}));
    EXPECT_EQ(MadeBy(home), std::vector<std::string>{});
  }
  // A home that is no folder is named; nothing is made in the folder started from instead.
  cHome home;
  const std::string file = home.write("file", "x\n");
  const pid_t pid = Spawn(
      {"/bin/sh", "-c", "cd \"$0\" && exec \"$1\" program = game", home.path(), TESSEL_SERVER_EXE},
      {"TESSEL_HOME=" + file, "TESSEL_REGISTRY=" + home / "registry"}, -1, home / "said.txt");
  EXPECT_EQ(WaitPid(pid), 1);
  EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(home / "said.txt"), {"home folder '" + file}));
  EXPECT_FALSE(std::filesystem::exists(home / "log"));
}

// The account and password of the launch parameters win over the login file; the server shows
// the password masked, and a refusal comes back to the client, which logs in again on the same
// link once the account takes its password. A fault on the logged-in client takes its exception
// end, which the server hears of and goes on; the other client has no report tool.
TEST(Lifecycle, TheLaunchParametersAccountLogsInAndARefusedLoginIsRetriedOnTheSameLink) {
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
  AddAccount(globalHome, "game3", "wrongpw", 16);
  EXPECT_TRUE(wrong.WaitOutput("logined 1")) << wrong.Output();
  EXPECT_EQ(wrong.Output().find("cBridgeClient::OnDisconnect"), std::string::npos);
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

// A line of the configuration files that cannot be read is named, with its file and line, on
// the console and in the error log, although it is met before the loggers are routed; the
// server starts with what was read before it.
TEST(Lifecycle, AnUnreadableConfigurationLineIsReportedOnTheConsoleAndInTheLog) {
  cHome home;
  home.write("config/config_int.ini", "lua_time_limit = 5\n\x93\xfe\x01 = ;\nrun = 0\n");
  home.write("config/config_str.ini", "path_script = \npath_zip\n");
  cServerProcess server(home, Words("game", {}));
  ASSERT_TRUE(server.WaitOutput("!>")) << server.Output();
  EXPECT_TRUE(server.Ask("/13/ViewConfigValue('lua_time_limit')", {"lua_time_limit = 5"}));
  server.QuitInOrder();
  const std::string logged = testkit::ReadFolder(home / "log/tessel_server/tessel.err");
  for (const char* said : {"config/config_int.ini line 2 cannot be read",
                           "config/config_str.ini line 2 cannot be read"}) {
    EXPECT_TRUE(testkit::InOrder(server.Output(), {said}));
    EXPECT_TRUE(testkit::InOrder(logged, {said}));
  }
}

// The client links' password may be a launch word, the first line of a file or a variable; the
// word never shows in the process list. The listening side keeps the links maxlinks allows.
TEST(Lifecycle, ThePasswordComesFromAWordAFileOrTheVariableAndTheProcessListHidesIt) {
  cHome globalHome;
  for (const char* account : {"byword", "byfile", "byvar"})
    AddAccount(globalHome, account, "pw9", 1);
  std::vector<std::string> words = Listen();
  words.insert(words.end(), {"maxlinks", "=", "3"});
  cServerProcess global(globalHome, Words("global", words));
  const std::string connect = "global:" + std::to_string(global.WaitPort("global"));
  EXPECT_TRUE(global.WaitOutput(" links 0/3 ")) << global.Output();
  cHome wordHome, fileHome, varHome;
  const std::string file = fileHome.write("secret.txt", "\xEF\xBB\xBFpw9\r\n");  // by Notepad
  cServerProcess byWord(wordHome, Words("map", {"connect", "=", connect, "account", "=", "byword",
                                                "password", "=", "pw9"}));
  cServerProcess byFile(fileHome, Words("map", {"connect", "=", connect, "account", "=", "byfile",
                                                "passwordfile", "=", file}));
  cServerProcess byVar(varHome, Words("map", {"connect", "=", connect, "account", "=", "byvar"}),
                       TESSEL_SERVER_EXE, {"TESSEL_LINK_PASSWORD=pw9"});
  for (cServerProcess* client : {&byWord, &byFile, &byVar})
    EXPECT_TRUE(client->WaitOutput("Output() login ok by")) << client->Output();
  const std::string cmdline =
      testkit::ReadFile("/proc/" + std::to_string(byWord.Pid()) + "/cmdline");
  EXPECT_NE(cmdline.find("password"), std::string::npos);
  EXPECT_EQ(cmdline.find("pw9"), std::string::npos) << cmdline;
  // The variable leaves the environment: neither it nor what the process starts shows it.
  const std::string environment =
      testkit::ReadFile("/proc/" + std::to_string(byVar.Pid()) + "/environ");
  EXPECT_EQ(environment.find("pw9"), std::string::npos);
  EXPECT_TRUE(
      byVar.Ask("/15/System('echo child-sees-[$TESSEL_LINK_PASSWORD]')", {"child-sees-[]"}));
  for (cServerProcess* process : {&byWord, &byFile, &byVar, &global}) process->QuitInOrder();
  // A FIFO in the file's place: without a writer the start fails instead of holding; with a
  // writer that holds the line, the server starts.
  cHome pipeHome;
  const std::string fifo = pipeHome / "pw.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  cServerProcess noWriter(pipeHome, Words("map", {"passwordfile", "=", fifo}));
  EXPECT_EQ(noWriter.WaitExit(), 2);
  EXPECT_TRUE(testkit::InOrder(noWriter.Output(),
                               {"passwordfile = " + fifo + ": cannot read its first line"}));
  const int writer = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(::write(writer, "pw9\n", 4), 4);
  cServerProcess withWriter(pipeHome, Words("map", {"passwordfile", "=", fifo}));
  withWriter.QuitInOrder();
  ::close(writer);
}

}  // namespace
}  // namespace e2e
