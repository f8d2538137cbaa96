// Console scripting of running servers: batch files, an echo bouncing between two processes,
// a cloned client link, calls forwarded into a script of the script manager.
#include <signal.h>

#include <memory>

#include <gtest/gtest.h>

#include "e2e/server_process.h"

namespace e2e {
namespace {

const bool kIgnorePipe = (::signal(SIGPIPE, SIG_IGN), true);

size_t Count(const std::string& out, const std::string& text) {
  size_t n = 0;
  for (size_t at = out.find(text); at != std::string::npos; at = out.find(text, at + 1)) ++n;
  return n;
}

// Types quit and expects the orderly end: exit code 0 and the exit time in the registry store.
void QuitInOrder(cServerProcess& process, const cHome& home) {
  process.Type("quit");
  EXPECT_EQ(process.WaitExit(), 0) << process.Output();
  EXPECT_FALSE(home.RegistryValue("Software/tessel_server", "exittime").empty());
}

// Types a line and waits for what it makes `process` print; the output printed after the line.
std::string TypeAndWait(cServerProcess& process, const std::string& line, const std::string& said,
                        cServerProcess* typedOn = nullptr) {
  const size_t mark = process.Output().size();
  (typedOn ? *typedOn : process).Type(line);
  EXPECT_TRUE(process.WaitOutput(said, mark)) << line << "\n" << process.Output().substr(mark);
  return process.Output().substr(mark);
}

// "global" listening on a free port; "game" connected to it on demand, logged in with level 16.
class ScriptTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_globalHome.AddAccount("game", "gamepw", 16);
    // A script of the script manager that reports what its SafeCall was given.
    m_globalHome.Write("SafeCall/probe.lua",
                       "function SafeCall(...)\n"
                       "  local got = {}\n"
                       "  for i = 1, select('#', ...) do\n"
                       "    local v = select(i, ...)\n"
                       "    got[#got + 1] = type(v) .. ':' .. tostring(v)\n"
                       "  end\n"
                       "  io.write('probe got ', table.concat(got, ' '), '\\n')\n"
                       "  io.flush()\n"
                       "end\n");
    m_global =
        std::make_unique<cServerProcess>(m_globalHome, Words("global", {"listen", "=", "0"}));
    m_port = m_global->WaitPort("global");
    ASSERT_GT(m_port, 0) << m_global->Output();
  }

  void StartGame() {
    m_gameHome.Write("config/login_global.ini",
                     "serverip = 127.0.0.1\naccount = game\npassword = gamepw\n");
    m_game = std::make_unique<cServerProcess>(
        m_gameHome, Words("game", {"connect", "=", "global:" + std::to_string(m_port)}));
    ASSERT_TRUE(m_game->WaitOutput("logined 1")) << m_game->Output();
  }

  cHome m_globalHome;
  cHome m_gameHome;
  std::unique_ptr<cServerProcess> m_global;
  std::unique_ptr<cServerProcess> m_game;
  int m_port = 0;
};

TEST_F(ScriptTest, ABatchFileSwitchesGroupsAndArraysAndStopsAtTheFirstShortLine) {
  m_globalHome.Write("batch.txt",
                     "/6\n"
                     "Hello()\n"
                     // The server endpoint's own array holds no group: nothing runs in it.
                     "//global\n"
                     "Hello()\n"
                     "//\n"
                     "/6/Hello()\n"
                     "\n"
                     "/6/Hello() -- after the end\n");
  ASSERT_TRUE(m_global->WaitOutput("!>"));
  const std::string out =
      TypeAndWait(*m_global, "/3/Run('batch.txt')", "[dofile] batch.txt end \n\n");
  ExpectInOrder(out, {"[dofile] batch.txt\n", "/6\n", "cmd switch from cCmd_Input to cCmd_Test\n",
                      "Hello()\n", "Hello World!\n", "//global\n", "cmd bridge switch to global\n",
                      "Hello()\n", "//\n", "cmd bridge switch back to tessel \n",
                      "cmd switch to  cCmd_Tessel\n", "/6/Hello()\n", "Hello World!\n",
                      "[dofile] batch.txt end \n"});
  EXPECT_EQ(Count(out, "Hello World!"), 2u) << out;
  EXPECT_EQ(out.find("after the end"), std::string::npos) << out;
  QuitInOrder(*m_global, m_globalHome);
}

TEST_F(ScriptTest, AnEchoBouncesBetweenTwoProcessesWithAGrowingCounterUntilOneEnds) {
  StartGame();
  // game reports every echo it receives before answering it as usual.
  TypeAndWait(*m_game,
              "/6/local echo = Echo Echo = function(n, text) io.write('echo ', n, '\\n') "
              "io.flush() echo(n, text) end",
              "!>");
  // The text holds a quote and a backslash: it must come back unchanged every time.
  m_game->Type("/11/SendName('global',6,\"Echo(0,'x\\\\'y\\\\\\\\z')\")");
  std::vector<std::string> counts;
  for (int n = 1; n <= 41; n += 2) counts.push_back("echo " + std::to_string(n) + "\n");
  ASSERT_TRUE(m_game->WaitOutput(counts.back())) << m_game->Output();
  ExpectInOrder(m_game->Output(), counts);
  // Ending one process ends the echo; the other goes on and ends in order as well.
  QuitInOrder(*m_game, m_gameHome);
  TypeAndWait(*m_global, "/6/Hello()", "Hello World!");
  for (cServerProcess* p : {m_global.get(), m_game.get()})
    EXPECT_EQ(p->Output().find("Echo error!"), std::string::npos) << p->Output();
  QuitInOrder(*m_global, m_globalHome);
}

TEST_F(ScriptTest, AClonedClientLinkIsRegisteredAndConnectsOnlyWhenAsked) {
  StartGame();
  struct stCase {
    const char* line;  // typed on game
    const char* said;  // what game prints
  } cases[] = {
      {"/11/CloneClient('global',0,'global2')", "!>"},
      {"???", "\tglobal2\n"},
      {"/11/SendName('global2',6,'Hello()')", "func_SendEasyClient client not connect\n"},
      {"/11/CloneClient('global',0,'global2')",
       "func_CloneClient already have easyclient global2\n"},
      {"/11/CloneClient('nosuch',0,'x')", "func_CloneClient not find easyclient nosuch\n"},
      // The link it was cloned from works on, a round trip later.
      {"/11/SendName('global',6,'Hello()')", "Output() Hello World!\n"},
      {"/11/SendName('global2',6,'Hello()')", "func_SendEasyClient client not connect\n"},
  };
  for (const stCase& c : cases) {
    SCOPED_TRACE(c.line);
    TypeAndWait(*m_game, c.line, c.said);
  }
  EXPECT_EQ(Count(m_global->Output(), "login as game"), 1u) << m_global->Output();
  // Asked to, the clone connects with the record it copied: to the same server, under the same
  // account, which that server refuses a second time.
  const std::string connected =
      TypeAndWait(*m_game, "/5/Connect('global2')", "login error player already logined");
  ExpectInOrder(connected, {"global2 connect to server ok!", "logined 0 global"});
  QuitInOrder(*m_game, m_gameHome);
  QuitInOrder(*m_global, m_globalHome);
}

TEST_F(ScriptTest, SafeCallForwardsPlainValuesIntoTheScriptAndRefusesOthers) {
  StartGame();
  struct stCase {
    const char* call;  // sent from game to global's remote-call group
    const char* said;  // what global prints
  } cases[] = {
      {"SafeCall('probe','s',true,false,2.5,'t')",
       "probe got string:s boolean:true boolean:false number:2.5 string:t\n"},
      {"SafeCall('probe',5)", "probe got number:5\n"},
      {"SafeCall('probe','s',{})", "unknow param type \n"},
      {"SafeCall('probe','s',print)", "unknow param type \n"},
      {"SafeCall('probe')", "nParamNum < 2\n"},
      {"SafeCall('probe',true)", "ParamNum not string\n"},
      {"SafeCall('nosuch','s')", "not find file SafeCall//nosuch\n"},
  };
  for (const stCase& c : cases) {
    SCOPED_TRACE(c.call);
    TypeAndWait(*m_global, std::string("/11/SendName('global',8,\"") + c.call + "\")", c.said,
                m_game.get());
  }
  // The refused calls never reached the script.
  EXPECT_EQ(Count(m_global->Output(), "probe got"), 2u) << m_global->Output();
  QuitInOrder(*m_game, m_gameHome);
  QuitInOrder(*m_global, m_globalHome);
}

}  // namespace
}  // namespace e2e
