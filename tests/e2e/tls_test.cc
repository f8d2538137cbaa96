// Clusters over TLS: one that logs in and serves remote and routed commands, and a listening
// side that cannot start without its key. tessel_cli over TLS: it checks the server it was told
// to reach, presents its own certificate, and names each mistake.
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

// A TLS server that demands client certificates and a plain one: the right options log in;
// each mistake gets its cause in one line and exit code 4.
TEST(TlsE2e, TheCliChecksTheServerItWasToldToReachAndNamesEachTlsMistake) {
  cHome tlsHome, plainHome;
  ASSERT_TRUE(testkit::MakeTlsFiles(tlsHome / "config/tls", {"game"}, {"client"}));
  tlsHome.write("config/config_int.ini", "tls_client_cert = 1\n");
  AddAccount(tlsHome, "ops", "ops-pw", 16);
  AddAccount(plainHome, "ops", "ops-pw", 16);
  cServerProcess tls(tlsHome, Words("game", {"listen", "=", "0", "tls", "=", "1"}));
  cServerProcess plain(plainHome, Words("game", Listen()));
  const std::string tlsAt = "127.0.0.1:" + std::to_string(tls.WaitPort("game"));
  const std::string plainAt = "127.0.0.1:" + std::to_string(plain.WaitPort("game"));
  const std::string ca = tlsHome / "config/tls/ca.crt", cert = tlsHome / "config/tls/client.crt",
                    key = tlsHome / "config/tls/client.key";
  const struct {
    std::vector<std::string> args;
    int code;
    std::string shows;
  } rows[] = {
      {{"--tls", "--ca", ca, "--cert", cert, "--key", key, "--server-name", "game", tlsAt},
       0,
       "Hello World!"},
      {{"--tls", "--ca", ca, "--cert", cert, "--key", key, tlsAt},
       4,
       "the server's certificate does not name 127.0.0.1"},
      {{"--tls", "--ca", ca, "--server-name", "game", tlsAt}, 4, "demands a client certificate"},
      {{tlsAt}, 4, tlsAt + " speaks TLS: give --tls"},
      {{"-v", "--tls", tlsAt},
       4,
       "no CA certificate to check the server with: give --ca FILE "
       "(there is none at /"},
      {{"--tls", "--ca", ca, "--wait", "3", plainAt}, 4, plainAt + " does not speak TLS"},
  };
  for (const auto& row : rows) {
    std::vector<std::string> args{"-u", "ops", "-c", "/6/Hello()"};
    args.insert(args.end(), row.args.begin(), row.args.end());
    const stCliRun run = RunCli(tlsHome, args, "ops-pw");
    EXPECT_EQ(run.code, row.code) << row.shows << "\n" << run.err;
    EXPECT_NE((run.out + run.err).find(row.shows), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("socket"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace e2e
