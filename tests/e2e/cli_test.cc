// tessel_cli against real servers: lines run in order in several groups with their answers
// printed, a silent line answered by its end mark, the questions ?? and ??? answered; the lines
// routed to map and to global; each refusal, failure to connect and mistake of the command line
// with its exit code and its one short line; the password nowhere in what the client printed or
// the server wrote, and the client's logs only with -v, private. Against a hostile server: what
// it sends never runs and reaches the terminal only as clean text.
#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include <gtest/gtest.h>

#include "e2e/server_process.h"
#include "testkit/fake_server.h"
#include "testkit/steps.h"

namespace e2e {
namespace {

const std::string kPassword = "s3cr3t-Pw";

// Every file written in the home: the server's console and logs, the client's output and
// state. The account files, which hold the passwords, are left out.
std::string Writings(const cHome& home) {
  std::string all;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home.path()))
    if (entry.is_regular_file() && entry.path().string().find("/db/") == std::string::npos)
      all += testkit::ReadFile(entry.path());
  return all;
}

TEST(CliE2e, RunsLinesInGroupsAndRefusesWithTheirExitCodes) {
  cHome home;
  AddAccount(home, "ops", kPassword, 16);
  AddAccount(home, "viewer", "viewer-pw", 0);
  AddAccount(home, "other", "other-pw", 16);
  cServerProcess game(home, Words("game", Listen()));
  const std::vector<std::string> env{"HOME=" + home.path().string(),
                                     "TESSEL_PASSWORD=" + kPassword};
  const std::string address = "127.0.0.1:" + std::to_string(game.WaitPort("game"));
  ASSERT_NE(address, "127.0.0.1:0") << game.Output();

  testkit::cSteps steps;
  TESSEL_STEP(steps, "lines in four groups, one silent, one switching the group; ?? and ???");
  const stCliRun run = RunCli(
      home,
      {"-u", "ops", "-c", "/4/Ver()", "-c", "/13/SetConfigValue('x',1)", "-c", "/6", "-c",
       "Hello()", "-c", "/1/Accounts()", "-c", "Functions()", "-c", "??", "-c", "???", address},
      kPassword);
  EXPECT_EQ(run.code, 0) << run.err;
  EXPECT_TRUE(testkit::InOrder(
      run.out, {"func_Version ip: ", "Hello World!", "func_Accounts game ops",
                "Echo Functions Hello Help Output", "id 1 name cCmd_Account",
                "id 16 name cCmd_Replay", "func_ListServers ", "0\tgame", "func_ListClients "}))
      << run.out;
  TESSEL_STEP(steps, "a shell line answers when it ends; its mark waits for that answer");
  const stCliRun shell =
      RunCli(home,
             {"-u", "ops", "--wait", "60", "-c", "/15/System('sleep 1; echo shell-late')", "-c",
              "/4/dos('echo second')", "-c", "/6/Hello()", address},
             kPassword);
  EXPECT_EQ(shell.code, 0) << shell.err;
  EXPECT_TRUE(testkit::InOrder(shell.out, {"shell-late", "second", "Hello World!"})) << shell.out;
  TESSEL_STEP(steps, "text another account sends to the link is shown marked, fails no line");
  const pid_t waiting =
      Spawn({TESSEL_CLI_EXE, "-u", "ops", "--wait", "20", "-c",
             "/15/System('sleep 2; echo shell-done')", "-c", "/6/Hello()", address},
            env, -1, home / "waiting.txt", home / "waiting.err");
  ::usleep(700000);
  EXPECT_EQ(
      RunCli(home,
             {"-u", "other", "-c",
              "/9/SendAccount('game','ops',6,[[Output('refused: ops may not run Hello')]])", "-c",
              "/9/for i=1,3000 do SendAccount('game','ops',2,'Marked('..i..')') end", address},
             "other-pw")
          .code,
      0);
  EXPECT_EQ(WaitPid(waiting), 0) << testkit::ReadFile(home / "waiting.err");
  EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(home / "waiting.txt"),
                               {"[not an answer] refused: ops", "shell-done", "Hello World!"}))
      << testkit::ReadFile(home / "waiting.txt");
  TESSEL_STEP(steps, "answers of megabytes come whole on a link that stays; past the cap, cut");
  const stCliRun whole = RunCli(
      home, {"-u", "ops", "--wait", "60", "-c", "/6/for i=1,1100000 do Hello() end", address},
      kPassword);
  EXPECT_EQ(whole.code, 0) << whole.err;
  EXPECT_EQ(whole.out.size(), 1100000u * 13) << whole.err;
  const std::string line = " -c '/6/for i=1,1400000 do Hello() end'";
  const std::string big = " -u ops --wait 30" + line + line + " -c '/6/Hello()' ";
  for (const std::string reader : {"tail -c 200", "(sleep 4; tail -c 200)"}) {
    const std::string run = std::string(TESSEL_CLI_EXE) + big + address + " | " + reader;
    EXPECT_EQ(WaitPid(Spawn({"/bin/sh", "-c", run}, env, -1, home / "big.txt", home / "big.err")),
              0);
    EXPECT_TRUE(testkit::InOrder(testkit::ReadFile(home / "big.txt"),
                                 {"ostreamCmd output cut: ", "Hello World!"}))
        << reader;
    EXPECT_NE(testkit::ReadFile(home / "big.err").find("end): ostreamCmd output cut: "),
              std::string::npos)
        << reader;
  }
  TESSEL_STEP(steps, "refusals and failures, each in one short line with its exit code");
  testkit::cFakeServer silent(
      [](int32_t, const std::string&) { return testkit::cFakeServer::tRecords{}; });
  const struct {
    std::vector<std::string> args;
    std::string password;
    int code;
    std::string reason;
  } refusals[] = {
      {{"-u", "ops", "-c", "Hello()", address}, "wrong", 2, "login refused for account 'ops'"},
      {{"-u", "nobody", "-c", "Hello()", address}, kPassword, 2, "该账号不存在"},
      {{"-u", "viewer", "-c", "/6/Hello()", address}, "viewer-pw", 2, "refused by game: "},
      {{"-u", "ops", "-c", "Hello()", "127.0.0.1:1"}, kPassword, 3, "cannot reach 127.0.0.1:1"},
      // A line the server has no group for is refused without an answer, and so not answered.
      {{"-u", "ops", "--wait", "1", "-c", "/99/Hello()", "-c", "/6/Hello()", address},
       kPassword,
       1,
       "line 1 (/99/Hello())"},
      // A line whose Lua stopped with an error ran in part; the next line still runs.
      {{"-u", "ops", "-c", "/6/nosuch()", "-c", "/6/Hello()", address},
       kPassword,
       1,
       "line 1 (/6/nosuch()): lua_dostring error cCmd_"},
      {{"-u", "ops", "-c", std::string(120000, 'x'), address},
       kPassword,
       1,
       "x...(120000 bytes)): too long: a line may have at most 101375 bytes"},
      {{"-u", "ops", "--wait", "3", "-c", "Hello()", silent.Address()},
       kPassword,
       3,
       "accepted the connection but sent no login answer within 3 s"},
  };
  for (const auto& refusal : refusals) {
    const stCliRun failed = RunCli(home, refusal.args, refusal.password);
    EXPECT_EQ(failed.code, refusal.code) << refusal.reason << "\n" << failed.err;
    EXPECT_NE(failed.err.find("tessel_cli: "), std::string::npos) << failed.err;
    EXPECT_NE(failed.err.find(refusal.reason), std::string::npos) << failed.err;
    EXPECT_LT(failed.err.size(), 300u) << failed.err;
    EXPECT_EQ((failed.out + failed.err).find(kPassword), std::string::npos);
  }
  TESSEL_STEP(steps, "a megabyte line, or one with a NUL, is refused; the next run, CR LF too");
  const stCliRun piped =
      RunCli(home, {"-u", "ops", address}, kPassword,
             std::string(1 << 20, 'y') + "\n/6\r\nHello()\r\n" + std::string("Hello()\0--\n", 11));
  EXPECT_EQ(piped.code, 1) << piped.err;
  EXPECT_NE(piped.err.find("(1048576 bytes)): too long"), std::string::npos) << piped.err;
  EXPECT_NE(piped.err.find("line 4 (Hello()--): a NUL byte"), std::string::npos) << piped.err;
  EXPECT_LT(piped.err.size(), 300u);
  EXPECT_NE(piped.out.find("Hello World!"), std::string::npos);
  TESSEL_STEP(steps, "standard input runs as it comes (a byte-order mark first is no part of it)");
  int feed[2];
  ASSERT_EQ(::pipe2(feed, O_CLOEXEC), 0);
  const pid_t fed = Spawn({TESSEL_CLI_EXE, "-u", "ops", address}, env, feed[0], home / "fed.txt");
  (void)!::write(feed[1], "\xEF\xBB\xBF/6/Hello()\n", 14);
  bool first = false;
  for (int i = 0; i < 1000 && !first; ++i, ::usleep(20000))
    first = testkit::ReadFile(home / "fed.txt").find("Hello World!") != std::string::npos;
  ::close(feed[0]), ::close(feed[1]);
  EXPECT_TRUE(first);
  EXPECT_EQ(WaitPid(fed), 0);
  TESSEL_STEP(steps, "answers that cannot be written (a full disk, a file-size limit, no reader)");
  const std::string full = "/dev/full", limited = home / "limited.txt";
  for (const auto& [limit, out] : {std::pair{"--core=0", full}, {"--fsize=8", limited}})
    EXPECT_EQ(WaitPid(Spawn({"/usr/bin/prlimit", limit, TESSEL_CLI_EXE, "-u", "ops", "-c",
                             "/6/Hello()", address},
                            env, -1, out)),
              1);
  // A pipe nobody reads (held open here) holds no wait: --wait ends the run, well before 20 s.
  const std::string fifo = home / "unread.fifo";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const int unread = ::open(fifo.c_str(), O_RDWR | O_CLOEXEC);
  EXPECT_EQ(WaitPid(Spawn({TESSEL_CLI_EXE, "-u", "ops", "--wait", "2", "-c",
                           "/6/for i=1,100000 do Hello() end", "-c", "/6/Hello()", address},
                          env, -1, fifo, home / "unread.txt")),
            1);
  ::close(unread);
  EXPECT_NE(testkit::ReadFile(home / "unread.txt").find("the answers could not"),
            std::string::npos);
  TESSEL_STEP(steps, "no logs without -v; with -v, its user's alone");
  EXPECT_FALSE(std::filesystem::exists(home / "state/tessel/cli/log"));
  EXPECT_EQ(RunCli(home, {"-v", "-u", "ops", "-c", "/6/Hello()", address}, kPassword).code, 0);
  int logs = 0;
  for (const auto& entry : std::filesystem::recursive_directory_iterator(home / "state")) {
    struct stat st {};
    ::stat(entry.path().c_str(), &st);
    EXPECT_EQ(st.st_mode & 077, 0u) << entry.path();
    logs += entry.path().extension() == ".log";
  }
  EXPECT_GT(logs, 0);
  std::string wide;  // a line of the library's longer than a piece of its pipe comes whole
  while (wide.size() < 60000) wide += "你";
  EXPECT_NE(RunCli(home, {"-v", "-u", wide, "--wait", "1", silent.Address()}, kPassword)
                .err.find("login as account " + wide + " "),
            std::string::npos);
  std::filesystem::remove_all(home / "state");
  home.write("state/tessel/cli", "");  // no folder to keep them in: none kept
  EXPECT_NE(RunCli(home, {"-v", "-u", "ops", address}, kPassword).err.find("none kept"),
            std::string::npos);
  game.QuitInOrder();
  EXPECT_EQ(Writings(home).find(kPassword), std::string::npos);
}

TEST(CliE2e, LinesGoAlongTheRoutesToANamedProcessAndTheirAnswersComeBack) {
  cCluster cluster;
  ASSERT_TRUE(cluster.ready) << cluster.map->Output();
  AddAccount(cluster.gameHome, "ops", kPassword, 16);
  const std::string address = "127.0.0.1:" + std::to_string(cluster.game->WaitPort("game"));
  for (const std::string to : {"map", "global"}) {
    const stCliRun run =
        RunCli(cluster.gameHome,
               {"-u", "ops", "--to", to, "-c", "/4/Ver()", "-c", "/6/Hello()", address}, kPassword);
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(testkit::InOrder(run.out, {"func_Version ip: ", "程序 " + to, "Hello World!"}))
        << run.out;
    EXPECT_EQ(run.out.find("[not an answer]"), std::string::npos) << run.out;
  }
  // A call that the hop mark added on game makes longer than a command record does not leave,
  // nor does a search that the own name makes too long.
  for (const std::string head :
       {"/7/SendPathCmd('ops','game','nobody','',4,'--", "/7/FindPathOnRoute('"}) {
    const stCliRun run =
        RunCli(cluster.gameHome,
               {"-u", "ops", "-c", head + std::string(101365 - head.size(), 'a') + "')", address},
               kPassword);
    EXPECT_EQ(run.code, 1) << run.err;
    EXPECT_NE(run.out.find("not sent to global: the call takes 1013"), std::string::npos)
        << run.out;
  }
}

// A server that sends code for every group, bare and inside routed calls, before and after its
// login answer, and terminal controls (ESC sequences, C1 raw and in UTF-8) in its name, its
// answers and its refusal. Nothing runs, the file never appears, and the text reaches the
// terminal clean, Chinese included; with -v the client counts what it dropped. A made-up end
// mark does not end a line's wait.
TEST(CliE2e, AHostileServerRunsNothingOnTheClientAndReachesTheTerminalOnlyAsCleanText) {
  cHome home;
  const std::string made = home / "made_by_server";
  const std::string touch = "os.execute('touch " + made + "')";
  testkit::cFakeServer::tRecords code;
  for (int32_t group = 0; group <= 20; ++group)
    for (const std::string& text :
         {touch, "Output(" + touch + ")", "Marked(1) " + touch,
          "SendPathCmd('evil','ops',''," + std::to_string(group) + ",[[" + touch + "]])"})
      code.push_back({group, text});
  const std::string controls = "\33]0;owned\7\33[2J\23331m\302\2350;x\7";
  for (const bool accept : {true, false}) {
    SCOPED_TRACE(accept);
    testkit::cFakeServer server([&](int32_t, const std::string& text) {
      testkit::cFakeServer::tRecords out = code;
      if (text.rfind("Login(", 0) == 0) {
        out.push_back(
            {2, "Logined(" + std::string(accept ? "1" : "0") + ",'evil\\n" + controls + "')"});
        out.push_back({2, "Output([[login " + controls + "error]])"});
        out.insert(out.end(), code.begin(), code.end());
      } else if (text.rfind("Mark(", 0) == 0) {
        out.push_back({2, "Marked(" + text.substr(5)});
      } else {
        out.push_back({6, "Output([[你好 " + controls + "world\n]])"});
      }
      return out;
    });
    const stCliRun run =
        RunCli(home, {"-v", "-u", "ops", "-c", "Hello()", server.Address()}, kPassword);
    EXPECT_EQ(run.code, accept ? 0 : 2) << run.err;
    EXPECT_FALSE(std::filesystem::exists(made));
    EXPECT_NE((accept ? run.out : run.err)
                  .find(accept ? "你好 world" : "refused for account 'ops' on evil?: login error"),
              std::string::npos)
        << run.out << run.err;
    EXPECT_NE(run.err.find("were not answers: dropped"), std::string::npos) << run.err;
    for (const std::string& shown : {run.out, run.err})
      for (const std::string control : {"\x1b", "\x07", "\x9b", "\xc2\x9d"})
        EXPECT_EQ(shown.find(control), std::string::npos) << shown;
  }
  // A mark the client has not sent yet ends no line's wait: an unanswered line stays one.
  testkit::cFakeServer early([](int32_t, const std::string& text) {
    if (text.rfind("Login(", 0) == 0)
      return testkit::cFakeServer::tRecords{{2, "Logined(1,'evil')"}};
    const long long mark = std::atoll(text.c_str() + 5);
    return mark == 0
               ? testkit::cFakeServer::tRecords{}
               : testkit::cFakeServer::tRecords{{2, "Marked(" + std::to_string(mark + 1) + ")"}};
  });
  const stCliRun unanswered =
      RunCli(home, {"-u", "ops", "--wait", "2", "-c", "Hello()", early.Address()}, kPassword);
  EXPECT_EQ(unanswered.code, 1) << unanswered.err;
  // A refusal of a hundred kilobytes is told in one short line. Other lines (the route's search,
  // ??'s questions) cut the link, which is a link lost.
  testkit::cFakeServer wordy([](int32_t group, const std::string& text) {
    std::string answer =
        text == "Hello()" ? "Output([[refused: " + std::string(100000, 'x') + "]])" : "";
    if (text.rfind("Login(", 0) == 0) answer = "Logined(1,'e')";
    if (text.rfind("Mark(", 0) == 0) answer = "Marked(" + text.substr(5);
    return testkit::cFakeServer::tRecords{{answer.empty() ? -1 : group, answer}};
  });
  const stCliRun refused = RunCli(home, {"-u", "ops", "-c", "Hello()", wordy.Address()}, kPassword);
  EXPECT_EQ(refused.code, 1) << refused.err;
  EXPECT_LT(refused.err.size(), 400u);
  for (const auto& [option, value] : {std::pair{"--to", "map"}, {"-c", "n"}}) {
    const stCliRun cut =
        RunCli(home, {"-u", "ops", option, value, "-c", "??", wordy.Address()}, kPassword);
    EXPECT_EQ(cut.code, 3) << cut.err;
    EXPECT_NE(cut.err.find("the link to e was closed"), std::string::npos) << cut.err;
  }
  testkit::cFakeServer blankName([](int32_t, const std::string& text) {
    return testkit::cFakeServer::tRecords{{text[0] == 'L' ? 2 : -1, "Logined(1,'\33[31m')"}};
  });
  const stCliRun cut = RunCli(home, {"-u", "ops", "-c", "Ver()", blankName.Address()}, kPassword);
  EXPECT_NE(cut.err.find("link to " + blankName.Address() + " was"), std::string::npos) << cut.err;
  // Input that cannot be read (here a folder) is no end of the lines.
  const int folder = ::open(home.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  const pid_t cli = Spawn({TESSEL_CLI_EXE, "-u", "ops", wordy.Address()},
                          {"TESSEL_PASSWORD=" + kPassword, "HOME=" + home.path().string(),
                           "XDG_STATE_HOME=" + home / "state"},
                          folder, home / "unread.txt");
  EXPECT_EQ(WaitPid(cli), 1);
  ::close(folder);
  EXPECT_NE(testkit::ReadFile(home / "unread.txt").find("standard input could not be read"),
            std::string::npos);
}

// Mistakes of the command line name the word and exit 64; --help and --version exit 0.
TEST(CliE2e, CommandLineMistakesNameTheWordAndHelpAndVersionEndAtOnce) {
  cHome home;
  const struct {
    std::vector<std::string> args;
    int code;
    std::string shows;
  } rows[] = {
      {{"--help"}, 0, "usage: tessel_cli"},
      {{"-u", "ops", "--version"}, 0, "tessel_cli 0."},
      {{"--bogus", "127.0.0.1:1"}, 64, "unknown option --bogus"},
      {{"-u", "ops", "-pS3cretWord", "127.0.0.1:1"}, 64, "unknown option -p******** (give -p"},
      {{"--password=S3cret", "127.0.0.1:1"}, 64, "unknown option --password=****** (give"},
      {{"--wait", "soon", "127.0.0.1:1"}, 64, "--wait soon"},
      {{"127.0.0.1:99999"}, 64, "127.0.0.1:99999 is not HOST:PORT"},
      {{"127.0.0.1:+7000"}, 64, "127.0.0.1:+7000 is not HOST:PORT"},
      {{"[::1]:7000"}, 64, "[::1]:7000: [::1] is an IPv6 address, and the client connects over"},
      {{"status", "::1:7000"}, 64, "::1 is an IPv6 address"},
      {{"127.0.0.1:7000:1"}, 64, "the host 127.0.0.1:7000 holds a ':', which only an IPv6"},
      {{"audit", "verify", "d", "--key"}, 64, "--key needs a FILE; usage: tessel_cli audit"},
      {{"--cert", "c.pem", "--key", "k.pem", "127.0.0.1:1"}, 64, "--cert goes with --tls"},
      {{"-u", "ops"}, 64, "no HOST:PORT"},
      {{"status", "-u", "ops", "-c", "Ver()", "127.0.0.1:1"}, 64, "-c does not go with"},
  };
  for (const auto& row : rows) {
    const stCliRun run = RunCli(home, row.args, "pw");
    EXPECT_EQ(run.code, row.code) << row.shows << "\n" << run.err;
    EXPECT_NE((run.code == 0 ? run.out : run.err).find(row.shows), std::string::npos) << run.err;
  }
  // A password no login can carry is not hashed: too long, or with a NUL byte.
  for (const std::string& input : {std::string(200000, 'x'), std::string("p\0w\n", 4)})
    EXPECT_EQ(RunCli(home, {"--hash-password"}, "", input).code, 1);
  // Nor is a hash that cannot be written made.
  const std::string full = "echo pw | " TESSEL_CLI_EXE " --hash-password >/dev/full";
  EXPECT_EQ(WaitPid(Spawn({"/bin/sh", "-c", full}, {}, -1, home / "e")), 1);
}

}  // namespace
}  // namespace e2e
