#include "e2e/cluster.h"

namespace e2e {

namespace {

// Login file of a downstream for its upstream named `upstream`.
void WriteLogin(const cHome& home, const std::string& upstream, const std::string& account,
                const std::string& password) {
  home.Write("config/login_" + upstream + ".ini",
             "serverip = 127.0.0.1\naccount = " + account + "\npassword = " + password + "\n");
}

std::vector<std::string> ConnectTo(const std::string& server, int port) {
  return {"connect", "=", server + ":" + std::to_string(port)};
}

}  // namespace

cCluster::cCluster() {
  m_globalHome.AddAccount("game", kGamePassword, 16);
  m_gameHome.AddAccount("map", kMapPassword, 16);
  WriteLogin(m_gameHome, "global", "game", kGamePassword);
  WriteLogin(m_mapHome, "game", "map", kMapPassword);

  m_global = std::make_unique<cServerProcess>(m_globalHome, Words("global", {"listen", "=", "0"}));
  m_globalPort = m_global->WaitPort("global");
  if (m_globalPort <= 0) return;

  std::vector<std::string> gameWords{"listen", "=", "0"};
  for (const std::string& word : ConnectTo("global", m_globalPort)) gameWords.push_back(word);
  m_game = std::make_unique<cServerProcess>(m_gameHome, Words("game", gameWords));
  m_gamePort = m_game->WaitPort("game");
  if (m_gamePort <= 0 || !m_game->WaitOutput("logined 1 global")) return;

  m_map = std::make_unique<cServerProcess>(m_mapHome, Words("map", ConnectTo("game", m_gamePort)));
  m_ready = m_map->WaitOutput("logined 1 game");
}

bool cCluster::Ask(cServerProcess& process, const std::string& line, const std::string& expected,
                   int timeoutMs) {
  const size_t mark = process.Output().size();
  process.Type(line);
  return process.WaitOutput(expected, mark, timeoutMs);
}

bool cCluster::QuitAll() {
  bool inOrder = true;
  for (cServerProcess* process : {m_map.get(), m_game.get(), m_global.get()}) {
    if (process == nullptr || !process->Running()) continue;
    process->Type("quit");
    inOrder = process->WaitExit() == 0 && inOrder;
  }
  return inOrder;
}

}  // namespace e2e
