// The three-process cluster of the end-to-end tests: global (top server) <- game (listens and
// connects to global) <- map (connects to game), each in a home of its own, logged in with the
// account files below. One test thread.
#pragma once

#include <memory>
#include <string>

#include "e2e/server_process.h"

namespace e2e {

class cCluster {
 public:
  // Account and password each downstream logs in with; both accounts have command level 16.
  static constexpr const char* kGamePassword = "game123";
  static constexpr const char* kMapPassword = "map123";

  // Starts the three processes and waits until both links are logged in; Ready() tells whether
  // that happened in time.
  cCluster();
  // Kills whatever still runs.
  ~cCluster() = default;

  bool Ready() const { return m_ready; }
  cServerProcess& Global() { return *m_global; }
  cServerProcess& Game() { return *m_game; }
  cServerProcess& Map() { return *m_map; }
  const cHome& GlobalHome() const { return m_globalHome; }
  const cHome& GameHome() const { return m_gameHome; }
  const cHome& MapHome() const { return m_mapHome; }
  int GlobalPort() const { return m_globalPort; }
  int GamePort() const { return m_gamePort; }

  // Types `line` on `process` and waits until what it prints after that holds `expected`.
  static bool Ask(cServerProcess& process, const std::string& line, const std::string& expected,
                  int timeoutMs = kWaitMs);
  // Types quit on map, game and global in that order; true when each ended with exit code 0.
  bool QuitAll();

 private:
  cHome m_globalHome;
  cHome m_gameHome;
  cHome m_mapHome;
  std::unique_ptr<cServerProcess> m_global;
  std::unique_ptr<cServerProcess> m_game;
  std::unique_ptr<cServerProcess> m_map;
  int m_globalPort = 0;
  int m_gamePort = 0;
  bool m_ready = false;
};

}  // namespace e2e
