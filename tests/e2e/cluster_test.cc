// Processes linked into a cluster on loopback: login with account files, commands sent up a link
// with their output coming back, a downstream that finds its upstream again after a restart.
#include <signal.h>

#include <memory>

#include <gtest/gtest.h>

#include "e2e/cluster.h"
#include "e2e/server_process.h"

namespace e2e {
namespace {

const bool kIgnorePipe = (::signal(SIGPIPE, SIG_IGN), true);

const char* const kRegistryKey = "Software/tessel_server";

// Types quit and expects the orderly end: exit code 0 and the exit time in the registry store.
void QuitInOrder(cServerProcess& process, const cHome& home) {
  process.Type("quit");
  EXPECT_EQ(process.WaitExit(), 0) << process.Output();
  EXPECT_FALSE(home.RegistryValue(kRegistryKey, "exittime").empty());
}

// The top server "global" listening on a free port, with the console accounts of the tests.
class ClusterTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_globalHome.AddAccount("game", "gamepw", 16);
    m_globalHome.AddAccount("game2", "rightpw", 16);
    m_globalHome.AddAccount("game3", "rightpw", 16);
    m_global = StartGlobal(0);
    m_port = m_global->WaitPort("global");
    ASSERT_GT(m_port, 0) << m_global->Output();
  }

  std::unique_ptr<cServerProcess> StartGlobal(int port) {
    return std::make_unique<cServerProcess>(m_globalHome,
                                            Words("global", {"listen", "=", std::to_string(port)}));
  }

  // A downstream "game" linked to global, logging in with the login file's account.
  std::unique_ptr<cServerProcess> StartGame(const cHome& home) {
    home.Write("config/login_global.ini",
               "serverip = 127.0.0.1\naccount = game\npassword = gamepw\n");
    return std::make_unique<cServerProcess>(
        home, Words("game", {"connect", "=", "global:" + std::to_string(m_port)}));
  }

  cHome m_globalHome;
  std::unique_ptr<cServerProcess> m_global;
  int m_port = 0;
};

TEST_F(ClusterTest, ClientsLogInWithTheirAccountsAndAWrongOneIsRefused) {
  struct stCase {
    const char* name;
    const char* loginFile;                // written as config/login.ini when not empty
    std::vector<std::string> extraWords;  // launch parameters over the file
    const char* globalSays;               // the server shows the password masked
    const char* result;                   // the login call's answer
    const char* message;                  // the account manager's message sent back with it
  } cases[] = {
      {"account file",
       "account = game\npassword = gamepw\n",
       {},
       "login as game ******",
       "logined 1",
       "Output() login ok game cmd level = 16"},
      {"launch parameters over the file",
       "account = game\npassword = nothing\n",
       {"account", "=", "game2", "password", "=", "rightpw"},
       "login as game2 *******",
       "logined 1",
       "Output() login ok game2 cmd level = 16"},
      {"wrong password",
       "account = game3\npassword = wrongpw\n",
       {},
       "login as game3 *******",
       "logined 0",
       "Output() login error 密码错误"},
      {"unknown account",
       "",
       {"account", "=", "nobody", "password", "=", "x"},
       "login as nobody *",
       "logined 0",
       "该账号不存在"},
  };
  std::vector<std::unique_ptr<cHome>> homes;
  std::vector<std::unique_ptr<cServerProcess>> clients;
  for (const stCase& c : cases) {
    SCOPED_TRACE(c.name);
    homes.push_back(std::make_unique<cHome>());
    if (*c.loginFile) homes.back()->Write("config/login.ini", c.loginFile);
    std::vector<std::string> words = {"connect", "=", "global:" + std::to_string(m_port)};
    words.insert(words.end(), c.extraWords.begin(), c.extraWords.end());
    clients.push_back(std::make_unique<cServerProcess>(*homes.back(), Words("map", words)));
    cServerProcess& client = *clients.back();
    EXPECT_TRUE(m_global->WaitOutput(c.globalSays)) << m_global->Output();
    EXPECT_TRUE(client.WaitOutput(c.result)) << client.Output();
    EXPECT_TRUE(client.WaitOutput(c.message)) << client.Output();
  }
  for (size_t i = 0; i < clients.size(); ++i) QuitInOrder(*clients[i], *homes[i]);
  QuitInOrder(*m_global, m_globalHome);
}

TEST_F(ClusterTest, ACommandSentUpstreamReturnsItsOutputIntact) {
  cHome gameHome;
  auto game = StartGame(gameHome);
  ASSERT_TRUE(game->WaitOutput("logined 1")) << game->Output();
  struct stCase {
    const char* line;      // typed on game's console
    const char* returned;  // what game prints when the output has come back
  } cases[] = {
      {"/11/SendName('global',6,'Hello()')", "Output() Hello World!"},
      // global lists its own name and the logged-in account of game's link.
      {"/9/SendToServer('global',1,'Accounts()')", "Output() func_Accounts global game "},
      // Output that holds the brackets of a Lua long string still comes back whole.
      {"/11/SendName('global',3,\"RunRemote('a]]b[[c]=]d')\")",
       "Output() run file a]]b[[c]=]d not found"},
  };
  for (const stCase& c : cases) {
    SCOPED_TRACE(c.line);
    const size_t mark = game->Output().size();
    game->Type(c.line);
    EXPECT_TRUE(game->WaitOutput(c.returned, mark)) << game->Output().substr(mark);
  }
  QuitInOrder(*game, gameHome);
  QuitInOrder(*m_global, m_globalHome);
}

TEST_F(ClusterTest, ADownstreamLogsInAgainByItselfWhenItsUpstreamComesBack) {
  cHome gameHome;
  auto game = StartGame(gameHome);
  ASSERT_TRUE(game->WaitOutput("logined 1")) << game->Output();
  size_t mark = game->Output().size();
  m_global->Signal(SIGKILL);
  EXPECT_EQ(m_global->WaitExit(), 128 + SIGKILL);
  ASSERT_TRUE(game->WaitOutput("OnDisconnect", mark)) << game->Output().substr(mark);

  mark = game->Output().size();
  m_global = StartGlobal(m_port);
  ASSERT_EQ(m_global->WaitPort("global"), m_port) << m_global->Output();
  EXPECT_TRUE(game->WaitOutput("logined 1", mark)) << game->Output().substr(mark);
  // Commands go up the new link under the new login.
  mark = game->Output().size();
  game->Type("/11/SendName('global',6,'Hello()')");
  EXPECT_TRUE(game->WaitOutput("Output() Hello World!", mark)) << game->Output().substr(mark);
  QuitInOrder(*game, gameHome);
  QuitInOrder(*m_global, m_globalHome);
}

// The middle process of global <- game <- map answers both sides: map's command runs on game,
// and game's own upstream command still reaches global.
TEST(ThreeProcessCluster, TheMiddleProcessServesItsDownstreamAndReachesItsUpstream) {
  cCluster cluster;
  ASSERT_TRUE(cluster.Ready()) << cluster.Map().Output();
  EXPECT_TRUE(cCluster::Ask(cluster.Map(), "/9/SendToServer('game',1,'Accounts()')",
                            "Output() func_Accounts game map "))
      << cluster.Map().Output();
  EXPECT_TRUE(cCluster::Ask(cluster.Game(), "/9/SendToServer('global',1,'Accounts()')",
                            "Output() func_Accounts global game "))
      << cluster.Game().Output();
  EXPECT_TRUE(cluster.QuitAll());
}

}  // namespace
}  // namespace e2e
