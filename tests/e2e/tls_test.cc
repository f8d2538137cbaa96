// Clusters over TLS: one that logs in and serves remote and routed commands, and a listening
// side that cannot start without its key.
#include <filesystem>

#include <gtest/gtest.h>

#include "e2e/server_process.h"
#include "testkit/tls_files.h"

namespace e2e {
namespace {

TEST(TlsE2e, ATlsClusterLogsInAndRunsRemoteAndRoutedCommands) {
  cCluster cluster(true);
  ASSERT_TRUE(cluster.ready) << cluster.game->Output() << cluster.map->Output();
  cServerProcess &game = *cluster.game, &map = *cluster.map;
  EXPECT_TRUE(game.WaitOutput("global get the encode ok ")) << game.Output();
  ASSERT_TRUE(game.Ask("/9/SendToServer('global',4,'Ver()')",
                       {"Output() func_Version ip: ", "程序 global"}));
  // The first routed command starts the search for global; the second runs there.
  const std::string routed = "/7/SendRemoteCmd('global',1,'Accounts()')";
  ASSERT_TRUE(map.Ask(routed, {"not find path to des global"}));
  ASSERT_TRUE(map.WaitOutput("func_FindedPathOnRoute path to global finded ")) << map.Output();
  ASSERT_TRUE(map.Ask(routed, {"Output() func_Accounts global "}));
  map.QuitInOrder();
  game.QuitInOrder();
}

// A key that is not there stops the start, naming the file; so does a CA missing on a client.
TEST(TlsE2e, AMissingKeyOrCaStopsTheStartNamingTheFile) {
  cHome home;
  ASSERT_TRUE(testkit::MakeTlsFiles(home / "config/tls", {"server"}));
  std::filesystem::remove(home / "config/tls/server.key");
  cServerProcess server(home, Words("global", {"listen", "=", "0", "tls", "=", "1"}));
  EXPECT_NE(server.WaitExit(), 0);
  EXPECT_NE(server.Output().find("cannot read config/tls/server.key"), std::string::npos)
      << server.Output();
  std::filesystem::remove(home / "config/tls/ca.crt");
  cServerProcess client(home, Words("map", {"connect", "=", "game:1", "tls", "=", "1"}));
  EXPECT_NE(client.WaitExit(), 0);
  EXPECT_NE(client.Output().find("cannot read config/tls/ca.crt"), std::string::npos)
      << client.Output();
}

}  // namespace
}  // namespace e2e
