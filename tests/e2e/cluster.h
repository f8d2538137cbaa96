// The three-process cluster of the end-to-end tests: global (top server) <- game (listens and
// connects to global) <- map (connects to game), each in a home of its own, logged in with
// account files of command level 16. One test thread.
#pragma once

#include <memory>
#include <string>

#include "e2e/server_process.h"

namespace e2e {

class cCluster {
 public:
  // Starts the three processes and waits until both links are logged in; Ready() tells whether
  // that happened in time. The destructor kills whatever still runs.
  cCluster();

  bool Ready() const { return m_ready; }
  cServerProcess& Global() { return *m_global; }
  cServerProcess& Game() { return *m_game; }
  cServerProcess& Map() { return *m_map; }
  const cHome& GlobalHome() const { return m_globalHome; }
  const cHome& GameHome() const { return m_gameHome; }

  // Types quit on map, game and global in that order; true when each ended with exit code 0.
  bool QuitAll();

 private:
  cHome m_globalHome;
  cHome m_gameHome;
  cHome m_mapHome;
  std::unique_ptr<cServerProcess> m_global;
  std::unique_ptr<cServerProcess> m_game;
  std::unique_ptr<cServerProcess> m_map;
  bool m_ready = false;
};

}  // namespace e2e
