#include "e2e/cluster.h"

namespace e2e {

namespace {

std::vector<std::string> ConnectTo(const std::string& server, int port) {
  return {"connect", "=", server + ":" + std::to_string(port)};
}

}  // namespace

cCluster::cCluster() {
  AddAccount(m_globalHome, "game", "game123", 16);
  AddAccount(m_gameHome, "map", "map123", 16);
  WriteLogin(m_gameHome, "global", "game", "game123");
  WriteLogin(m_mapHome, "game", "map", "map123");

  m_global = std::make_unique<cServerProcess>(m_globalHome, Words("global", {"listen", "=", "0"}));
  const int globalPort = m_global->WaitPort("global");
  if (globalPort <= 0) return;

  std::vector<std::string> gameWords{"listen", "=", "0"};
  for (const std::string& word : ConnectTo("global", globalPort)) gameWords.push_back(word);
  m_game = std::make_unique<cServerProcess>(m_gameHome, Words("game", gameWords));
  const int gamePort = m_game->WaitPort("game");
  if (gamePort <= 0 || !m_game->WaitOutput("logined 1 global")) return;

  m_map = std::make_unique<cServerProcess>(m_mapHome, Words("map", ConnectTo("game", gamePort)));
  m_ready = m_map->WaitOutput("logined 1 game");
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
