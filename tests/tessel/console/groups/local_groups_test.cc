// The standard groups typed on the console of a process without links: names they do not know,
// calls that belong to a link, wrong arguments, and the groups that work locally.
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <functional>
#include <thread>

#include "cmd_group_util.h"
#include "tessel/console/groups/cmd_log.h"
#include "tessel/contracts/baselib.h"
#include "tessel/contracts/game_time.h"
#include "tessel/contracts/timer_manager.h"
#include "tessel/core/cmd_rights.h"
#include "tessel/core/config_stores.h"
#include "tessel/core/log_routing.h"
#include "tessel/core/string_value.h"
#include "testkit/link_swapper.h"
#include "testkit/logger_lines.h"

namespace {

// Every name-taking command survives a name nobody has and says so; calls that belong to a link
// say they cannot run locally; wrong argument types fail in Lua. Nothing is written or sent.
TEST_F(GroupTest, UnknownNamesLinkOnlyCallsAndWrongArgumentsAreReported) {
  cCmd *net = &cCmdNet::Instance(), *sim = &cCmdSim::Instance(), *msg = &cCmdMsg::Instance();
  std::vector<stGroupCase> cases = {
      {net, "ForbitAccept('nosuch')", true, "unknow server nosuch"},
      {net, "Set('nosuch','peer','127.0.0.1')", true, "not server"},
      {net, "List('nosuch')", true, "not server"},
      {sim, "SimNet('nosuch',1,3,0)", true, "can not find link id"},
      {sim, "SimRecv('nosuch',3,'Hello()')", true, "not find client"},
      {msg, "SendToServer('nosuch',2,'Do(10)')", true, "not find client nosuch cmd 2 Do(10)"},
      // a password in a command that goes nowhere is shown only masked
      {msg, "SendToServer('x',2,\"Login('gm','s3cret')\")", true, "Login('gm','******')"},
      {msg, "SendToServer('nosuch','two','Do(10)')", false, "do SendToServer"},
      {&cCmdTessel::Instance(), "ServerCmd('nosuch',3)", true, "not find server"},
      {&cCmdScript::Instance(), "SendName('nosuch',2,'Do(10)')", true, "not find easyclient"},
      {&cCmdScript::Instance(), "SetGameTime('2006/13/1 0:0:0')", true, "SetGameTime wrong time"},
      {&cCmdScript::Instance(), "RunScript('nosuch','main')", true, "not find script nosuch"},
      {&cCmdScript::Instance(), "RunScriptTestF('../x')", true, "RunScriptTestF refused ../x"},
      {&cCmdException::Instance(), "Zero() ClientException()", true, ""},
      {&cCmdConfig::Instance(), "SetConfigValue('cg_keep',2^40)", false, "do SetConfigValue"},
  };
  for (const char* fn : {"Disconnect", "Connect", "Brother"})
    cases.push_back({net, fn + std::string("('nosuch')"), true, "not find nosuch"});
  for (const char* call : {"SendLink('nosuch',1,2,'x')", "SendClients('nosuch',2,'x')",
                           "SendAccount('nosuch','gm',2,'x')"})
    cases.push_back({msg, call, true, "not find server"});
  for (const char* call : {"Login('opsuser','mxmx')", "Logined(1,'global')", "Logout()", "Mark(1)"})
    cases.push_back({&cCmdLogin::Instance(), call, true, "can not solve local cmd"});
  for (auto [group, call] :
       std::vector<std::pair<cCmd*, const char*>>{{net, "NetID()"},
                                                  {&cCmdTessel::Instance(), "DoCmd(3,'Hello()')"},
                                                  {&cCmdAccount::Instance(), "Toped()"}})
    cases.push_back({group, call, true, "can not solve local cmd"});
  CheckGroupCases(cases);
  EXPECT_TRUE(std::filesystem::is_empty(m_dir.path()));
  EXPECT_EQ(RunInGroup(cCmdLogin::Instance(), "Help()").out,
            "[登录命令]\n\tLogin\t\t --- Login('Account','password')\n\tLogout\t\t --- Logout()\n"
            "\t登陆成功\t\t --- Logined(1 or 0,'game_220')\n");
  // The help's RunScript example, typed as shown, names the script it shows.
  const std::string help = RunInGroup(cCmdScript::Instance(), "Help()").out;
  const size_t example = help.find("RunScript(");
  EXPECT_NE(RunInGroup(cCmdScript::Instance(),
                       help.substr(example, help.find(')', example) - example + 1))
                .out.find("not find script Script/test"),
            std::string::npos);
}

// An echo that differs from the first is logged as an error: the peer's text stays one line.
TEST_F(GroupTest, AnEchoErrorIsOneLineOfTheFatalErrorLog) {
  static testing_support::logger_lines fatal("tessel.fetalerror");
  fatal.take();
  RunInGroup(cCmdTest::Instance(), "Echo(1,'first') Echo(2,'x\\n01_01 forged')");
  loglib::flush_log_cache();
  const std::vector<std::string> lines = fatal.take();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("EchoError! 0 x\\x0A01_01 forged"), std::string::npos) << lines[0];
}

// Names a command prints on the console keep their controls escaped: an account with @write
// cleared the operator's screen or forged whole lines there.
TEST_F(GroupTest, NamesACommandPrintsKeepTheirControlsOffTheConsole) {
  const std::pair<cCmd*, const char*> calls[] = {
      {&cCmdMaintain::Instance(), "SetInfoValue(n,'v')"},
      {&cCmdScript::Instance(), "ClearAScript(n) RunScriptTest(n,n)"},
      {&cCmdAccount::Instance(), "SendPathCmd(n,'p',1,'x')"},
      {&cCmdRemote::Instance(), "SendRemoteCmd(n,4,'Ver()') FindedPathOnRoute(n,1)"}};
  for (const auto& [group, call] : calls) {
    const std::string out = RunInGroup(*group, std::string("n='\\27[2J\\nforged' ") + call).out;
    EXPECT_TRUE(out.find('\33') == out.npos && out.find("\nforged") == out.npos) << call << out;
  }
}

// The two stores are apart; a launch password is kept for the login but shown only masked.
TEST_F(GroupTest, ConfigValuesAndLaunchParameters) {
  {
    testkit::cStdoutCapture echoed;
    AddExeParamStream("user = gm  PassWord = s3cret map = m1");
    EXPECT_EQ(echoed.Text().find("s3cret"), std::string::npos) << echoed.Text();
  }
  EXPECT_EQ(GetExeParam("PassWord", ""), "s3cret");
  EXPECT_EQ(GetExeParamText(), "user = gm  PassWord = ****** map = m1");
  cCmd* config = &cCmdConfig::Instance();
  CheckGroupCases({
      {config, "SetConfigValue('cg_pay',10) SetGameValue('cg_pay',-3)", true, ""},
      {config, "assert(GetConfigValue('cg_pay',0) == 10 and GetGameValue('cg_pay',0) == -3)", true,
       ""},
      {config, "assert(GetMapName() == 'm1')", true, ""},
      {config, "ViewExeParam()", true, "PassWord = ****** map = m1\n"},
      {config, "assert(GetExeParam('PassWord','') == 's3cret')", true, ""},
  });
  // An account held to rules reads the links' password only masked.
  const cCmdRightsScope narrowed(std::make_shared<stCmdRights>());
  CheckGroupCases({{config, "assert(GetExeParam('PassWord','') == '******')", true, ""}});
}

// Reads and writes of the value stores by commands keep names and texts bounded: a loop of reads
// of long names, or of writes of long texts, would fill the memory and the files.
TEST_F(GroupTest, ValueStoreCommandsKeepNamesAndTextsBounded) {
  cCmd* config = &cCmdConfig::Instance();
  const size_t before = GetGameStore().Size();
  CheckGroupCases({
      {config, "for i = 1, 20 do ViewGameString(string.rep('n', 300)..i) end", true, ""},
      {config, "SetGameString('cg_long', string.rep('x', 70000))", true, "refused"},
      {config, "GetGameString('cg_long', string.rep('x', 70000))", true, ""},
      {config, "SetGameValue(string.rep('n', 300), 1)", true, "refused"},
      {config, "SetGameString('cg_short', 'x')", true, ""},
  });
  EXPECT_EQ(GetGameStore().Size(), before + 1);
  EXPECT_EQ(GetGameString("cg_short", ""), "x");
  // Many texts within bounds: the store's texts stay within 16 MiB.
  CheckGroupCases(
      {{config, "for i = 1, 300 do SetGameString('cg_b'..i, string.rep('x', 60000)) end", true,
        "texts would pass 16 MiB"}});
  EXPECT_EQ(GetGameStore().PeekStringString("cg_b300", "").size(), 0u);
  CheckGroupCases(
      {{config, "for i = 1, 300 do GetGameString('cg_d'..i, string.rep('x', 60000)) end", true,
        ""}});  // nor do the defaults of reads
  EXPECT_EQ(GetGameStore().PeekStringString("cg_d300", "").size(), 0u);
  GetGameStore().Clear();
}

// OS_SetTime moves only the timer manager's difference, never the machine's clock.
TEST_F(GroupTest, OsGroupSetsTimeDifferencesAndGameTimes) {
  const long diff = cTimerManager::Instance().GetDiff();
  const stGameTime game = cGameTime::Instance().GetGameTime();
  SetOsCalendarSource([] { return std::time_t{1700000000}; });
  SetOsCalendarSetter([](std::time_t, std::string*) {
    ADD_FAILURE() << "the machine's clock was set";
    return false;
  });
  cCmd* os = &cCmdOS::Instance();
  CheckGroupCases({{os, "OS_SetTime(1699996400,'x')", true, "TimeDiff == -3600\n"},
                   {os, "OS_SetGameTime('2006/5/1 10:20:59')", true, ""},
                   {os, "OS_SetGameTime('later')", true, "wrong time later"}});
  const stGroupRun huge = RunInGroup(*os, "OS_SetGameTime('\\27]0;x\\n' .. ('9'):rep(1e6))");
  EXPECT_TRUE(huge.out.starts_with("OS_SetGameTime wrong time \\x1B]0;x\\x0A999") &&
              huge.out.ends_with("99... (999942 bytes more)\n"));
  EXPECT_EQ(cTimerManager::Instance().GetDiff(), -3600);
  EXPECT_EQ(cGameTime::Instance().GetGameTime().ToString(), "2006/5/1 10:20:59");
  cTimerManager::Instance().SetDiff(diff);
  cGameTime::Instance().SetGameTime(game);
}

// SafeCall hands booleans, numbers and strings to the script's SafeCall; anything else, or too
// few arguments, is refused before the script runs.
TEST_F(GroupTest, SafeCallForwardsPlainValuesOnly) {
  m_dir.write(
      "SafeCall/probe.lua",
      "calls = ''\nfunction SafeCall(...)\n  for i = 1, select('#', ...) do\n"
      "    calls = calls .. type(select(i, ...)) .. ':' .. tostring(select(i, ...)) .. ' '\n"
      "  end\nend\n");
  cScriptManager::Instance().Clear();
  cScriptManager::Instance().CreateScript(m_dir.path().c_str());
  cCmd* rc = &cCmdRemoteCall::Instance();
  CheckGroupCases({{rc, "SafeCall('probe','a',true,2.5)", true, ""},
                   {rc, "SafeCall('probe')", true, "nParamNum < 2"},
                   {rc, "SafeCall({},'x')", true, "ParamNum not string"},
                   {rc, "SafeCall('probe','x',{})", true, "unknow param type"},
                   {rc, "SafeCall('probe','x',nil)", true, "unknow param type"},
                   {rc, "SafeCall('nosuch','x')", true, "not find file SafeCall//nosuch"}});
  lua_State* L = cScriptManager::Instance().GetScript("SafeCall//probe")->GetLua();
  lua_getglobal(L, "calls");
  EXPECT_STREQ(lua_tostring(L, -1), "string:a boolean:true number:2.5 ");
  lua_pop(L, 1);
  cScriptManager::Instance().Clear();
}

// Run stops at the first short line and keeps the group the batch switched to; RunRemote runs
// every line; neither echoes a password; a batch that runs itself stops at the nesting bound,
// and a pipe is refused. A batch saved on Windows (byte-order mark, CR LF) runs the same.
TEST_F(GroupTest, BatchFilesRunLineByLine) {
  std::ostringstream quiet;
  cTesselCmd::Instance().ParseCmd("/3", quiet);
  m_dir.write("batch.txt",
              "\xEF\xBB\xBF/6/Hello()\r\n/5/SetConnect('no','',0,'','s3cret')\r\n"
              "/3/AddReplace('$no',\"Login('a','s3cret')\")\r\n/6\r\nHello()\r\n\r\nHello()\r\n");
  const std::string local = RunInGroup(cCmdInput::Instance(), "Run('batch.txt')").out;
  const std::string remote = RunInGroup(cCmdInput::Instance(), "RunRemote('batch.txt')").out;
  const auto count = [](const std::string& out, const char* line) {
    const auto lines = testkit::Lines(out);
    return std::count(lines.begin(), lines.end(), line);
  };
  EXPECT_EQ(count(local, "Hello World!"), 2) << local;
  EXPECT_EQ(count(remote, "Hello World!"), 3) << remote;
  for (const char* never : {"s3cret", "\r", "\xEF\xBB\xBF"})
    EXPECT_EQ((local + remote).find(never), std::string::npos) << never << local << remote;
  EXPECT_EQ(cTesselCmd::Instance().GetCurCmd(), &cCmdTest::Instance());
  for (const char* runner : {"Run", "RunRemote"}) {
    m_dir.write("self.txt", std::string("/3/") + runner + "('self.txt')\n");
    const std::string out =
        RunInGroup(cCmdInput::Instance(), runner + std::string("('self.txt')")).out;
    EXPECT_EQ(count(out, "[dofile] self.txt"), 8) << out;
    EXPECT_NE(out.find("refused: batches nested deeper than 8"), std::string::npos) << out;
    ASSERT_TRUE(::mkfifo((m_dir.path() / "pipe.txt").c_str(), 0600) == 0 || errno == EEXIST);
    const std::string piped =
        RunInGroup(cCmdInput::Instance(), runner + std::string("('pipe.txt')")).out;
    EXPECT_NE(piped.find("pipe.txt not found\nrun file pipe.txt is no regular"), piped.npos)
        << piped;
  }
  // For an account with @files alone, a batch in the servers root is read only while it lies
  // there: a link swapped to the outside after the check shows nothing of what it names.
  const CmdRightsPtr files = RightsFrom("ops\nops@t\n+@files\n-\n@\n");
  m_dir.write("servers/real/x.txt", "Hello()\n");
  m_dir.write("out/x.txt", "Outside()\n");
  std::string shown;
  {
    const testkit::cLinkSwapper swapper(m_dir.path() / "servers/sw", "real", m_dir.path() / "out");
    for (int i = 0; i < 300; ++i) {
      const cCmdRightsScope narrowed(files);
      shown += RunInGroup(cCmdInput::Instance(), "RunRemote('servers/sw/x.txt')").out;
    }
  }
  EXPECT_EQ(shown.find("Outside()"), std::string::npos);
}

// The commands a command runs (ParseCmd) have limits of their own, and its own clock runs on
// meanwhile: a loop of short commands ends at the time limit too.
TEST_F(GroupTest, ALoopOfNestedCommandsStopsAtTheOuterTimeLimit) {
  SetConfigValue("lua_time_limit", 1);
  const stGroupRun run =
      RunInGroup(cCmdScript::Instance(),
                 "local t = os.clock() while os.clock() - t < 3 do ParseCmd('/13/local x = 0 for i "
                 "= 1, 1e5 do x = x + i end') end");
  EXPECT_FALSE(run.ok);
  EXPECT_NE(run.out.find("command time limit: stopped after 1 s"), std::string::npos);
  // Batch lines that each run the batch leave no Lua to stop at: 6^8 batches held the worker 30 s.
  std::string fan;
  for (int i = 0; i < 6; ++i) fan += "/3/Run('fan.txt')\n";
  m_dir.write("fan.txt", fan);
  const std::string out = RunInGroup(cCmdInput::Instance(), "Run('fan.txt')").out;
  SetConfigValue("lua_time_limit", 10);
  EXPECT_NE(out.find("run file fan.txt stopped: command time limit"), std::string::npos);
}

// Each appender stays for good, and a log file's stays open: the log commands served for peers
// add a bounded number of them, so a peer's loop cannot take every descriptor of the process.
TEST_F(GroupTest, LogCommandsAddABoundedNumberOfAppenders) {
  std::string out;
  for (const std::string& text : Served(cCmdLog::Instance(), 14,
                                        "for i = 1, 80 do "
                                        "add_appender_file('bound', 'b/' .. i .. '.log') "
                                        "add_appender_folder('bound', 'c/' .. i) "
                                        "end add_appender_cout('bound')"))
    out += text;
  for (const char* func : {"add_appender_file", "add_appender_folder", "add_appender_cout"})
    EXPECT_NE(out.find(func + std::string(" refused: 64 appenders added by commands already")),
              std::string::npos)
        << func << "\n"
        << out;
  EXPECT_NE(RunInGroup(cCmdLog::Instance(), "add_appender_file('bound', 'local.log')")
                .out.find("append file bound local.log"),
            std::string::npos);
  std::size_t files = 0;
  for (const char* folder : {"b", "c"})
    for (const auto& entry : std::filesystem::recursive_directory_iterator(LogFilePath(folder)))
      files += entry.is_regular_file() ? 1 : 0;
  EXPECT_EQ(files, 64u);
  // An account with @files alone adds log files inside the log folder only, also while a link
  // there swaps between a folder inside and one outside.
  const CmdRightsPtr rights = RightsFrom("ops\nops@t\n+@files\n-\n@\n");
  std::filesystem::create_directories(LogFilePath("real"));
  std::filesystem::create_directories(m_dir.path() / "out");
  {
    const testkit::cLinkSwapper swapper(LogFilePath("sw"), "real", m_dir.path() / "out");
    // At least 200 rounds, and on a loaded machine more until one was added while the link led
    // inside: that a round finds it so is up to the scheduler.
    for (int i = 0; i < 5000 && (i < 200 || std::filesystem::is_empty(LogFilePath("real"))); ++i) {
      const cCmdRightsScope narrowed(rights);
      const std::string n = std::to_string(i);
      RunInGroup(cCmdLog::Instance(), "add_appender_file('sw', 'sw/" + n + ".log')");
      RunInGroup(cCmdLog::Instance(), "add_appender_folder('sw', 'sw/" + n + "')");
    }
  }
  EXPECT_FALSE(std::filesystem::is_empty(LogFilePath("real")));
  EXPECT_TRUE(std::filesystem::is_empty(m_dir.path() / "out"));
  // Nor through a hard link there to a file outside.
  m_dir.write("out.txt", "kept\n");
  std::filesystem::create_hard_link(m_dir.path() / "out.txt", LogFilePath("hard.log"));
  EXPECT_NE(RunInGroup(cCmdLog::Instance(), "add_appender_file('*', 'hard.log')")
                .out.find("hard.log: it has other names (a hard link)"),
            std::string::npos);
}

// Throw reached under another command (a script's ParseCmd, a batch line, DoCmd served for a
// peer) stops each state at its own protected call and leaves the outermost command as the
// native exception the crash guard takes; after hundreds of such escapes every state still runs.
TEST_F(GroupTest, AThrowUnderAnotherCommandReachesTheGuardAndLeavesEveryStateWhole) {
  m_dir.write("throw.txt", "/12/Throw()\n");
  const std::vector<std::function<void()>> escapes = {
      [] { cCmdScript::Instance().Do("ParseCmd('/12/Throw()') reached = true"); },
      [] { cCmdInput::Instance().Do("Run('throw.txt') reached = true"); },
      [] { Served(cCmdTessel::Instance(), 0, "DoCmd(12,'Throw()') reached = true"); }};
  testkit::cStdoutCapture quiet;
  for (int round = 0; round < 100; ++round) {
    for (const auto& escape : escapes) {
      bool thrown = false;
      try {
        escape();
      } catch (int) {
        thrown = true;
      }
      ASSERT_TRUE(thrown) << round;
    }
  }
  for (cCmd* group :
       {static_cast<cCmd*>(&cCmdScript::Instance()), static_cast<cCmd*>(&cCmdInput::Instance()),
        static_cast<cCmd*>(&cCmdTessel::Instance()),
        static_cast<cCmd*>(&cCmdException::Instance())})
    EXPECT_TRUE(group->Do("assert(reached == nil)")) << group->GetName();
}

// The category table names the right of every function the standard groups register.
TEST_F(GroupTest, EveryStandardFunctionHasACategory) {
  for (const stStandardGroup& group : StandardGroups()) {
    group.cmd->Create();
    for (const std::string& name : group.cmd->FunctionNames())
      EXPECT_NE(group.cmd->Funcs().GetRight(name), eCmdRight::kUnset)
          << group.cmd->GetName() << " " << name;
  }
}

}  // namespace
