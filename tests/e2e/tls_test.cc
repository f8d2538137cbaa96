// Clusters over TLS: one that logs in and serves remote and routed commands, and a listening
// side that cannot start without its key. tessel_cli over TLS: it checks the server it was told
// to reach, presents its own certificate, and names each mistake.
#include <filesystem>

#include <gtest/gtest.h>

#include "e2e/server_process.h"
#include "testkit/tls_files.h"

namespace e2e {
namespace {

using namespace std::string_literals;

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
  home.write("config/config_int.ini", "tls_client_cert = 2\n");  // it demanded no certificate
  cServerProcess typo(home, Words("global", {"listen", "=", "0", "tls", "=", "1"}));
  EXPECT_EQ(typo.WaitExit(), 1);
  EXPECT_NE(typo.Output().find("tls_client_cert = 2: expected 0 or 1"), std::string::npos);
  std::filesystem::rename(home / "config/config_int.ini", home / "config/config_str.ini");
  cServerProcess misplaced(home, Words("global", {"listen", "=", "0", "tls", "=", "1"}));
  EXPECT_EQ(misplaced.WaitExit(), 1);  // the string file's key demanded no certificate either
  std::filesystem::remove(home / "config/config_str.ini");
  home.write("config/config_int.ini", "tls_client_cert = yes\n");
  cServerProcess unread(home, Words("global", {"listen", "=", "0", "tls", "=", "1"}));
  EXPECT_EQ(unread.WaitExit(), 1);
  home.write("config/config_int.ini", "tls_client_cert = 1\n");
  std::filesystem::rename(home / "config/tls/locked.key", home / "config/tls/server.key");
  cServerProcess locked(home, Words("global", {"listen", "=", "0", "tls", "=", "1"}));
  EXPECT_EQ(locked.WaitExit(), 1);
  EXPECT_NE(locked.Output().find("server.key: the key is protected"), std::string::npos);
  std::filesystem::remove(home / "config/tls/server.key");
  cServerProcess server(home, Words("global", {"listen", "=", "0", "tls", "=", "1"}));
  EXPECT_NE(server.WaitExit(), 0);
  EXPECT_TRUE(testkit::InOrder(server.Output(), {"cannot read config/tls/server.key"}));
  std::filesystem::remove(home / "config/tls/ca.crt");
  cServerProcess client(home, Words("map", {"connect", "=", "game:1", "tls", "=", "1"}));
  EXPECT_NE(client.WaitExit(), 0);
  EXPECT_TRUE(testkit::InOrder(client.Output(), {"cannot read config/tls/ca.crt"}));
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
      {{"--tls", "--ca", ca, "--cert", cert, "--key", "/dev/null", tlsAt}, 4, "(not a regular"},
      {{"--tls", "--ca", ca, "--cert", cert, "--key", ca + "s", tlsAt}, 4, "(there is none)"},
      {{"--tls", "--ca", ca, "--cert", cert, "--key", tlsHome / "config/tls/locked.key", tlsAt},
       4,
       "by a passphrase"},
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

// Under mutual TLS a process's commands carry the origin of the line that sent them on only when
// its certificate names its account: then the answer comes back to the operator; with another
// certificate the next process runs the command for the link's account alone, as before.
TEST(TlsE2e, AProcessCarriesAnOriginOnlyWhenItsCertificateNamesItsAccount) {
  namespace fs = std::filesystem;
  cHome gameHome, mapHome, scratch;
  const fs::path gameTls = gameHome.path() / "config/tls", mapTls = mapHome.path() / "config/tls";
  const fs::path servers = scratch.path() / "server", clients = scratch.path() / "client";
  ASSERT_TRUE(testkit::MakeTlsFiles(gameTls, {"game"}));
  for (const fs::path& dir : {servers, clients}) {
    fs::create_directories(dir);
    for (const char* file : {"ca.crt", "ca.key"}) fs::copy_file(gameTls / file, dir / file);
  }
  ASSERT_TRUE(testkit::MakeTlsFiles(servers, {"map"}));
  ASSERT_TRUE(testkit::MakeTlsFiles(clients, {}, {"map", "other"}));
  fs::create_directories(mapTls);
  for (const char* file : {"ca.crt", "map.crt", "map.key"})
    fs::copy_file(servers / file, mapTls / file);
  gameHome.write("config/config_int.ini", "tls_client_cert = 1\n");
  AddAccount(gameHome, "map", "map123", 16, true);
  AddAccount(mapHome, "ops", "ops-pw", 16);
  WriteLogin(mapHome, "game", "map", "map123");
  cServerProcess game(gameHome, Words("game", {"listen", "=", "0", "tls", "=", "1"}));
  const int gamePort = game.WaitPort("game");
  ASSERT_GT(gamePort, 0) << game.Output();

  for (const std::string cert : {"map", "other"}) {
    SCOPED_TRACE("client certificate naming " + cert);
    for (const char* ext : {".crt", ".key"})
      fs::copy_file(clients / (cert + ext), mapTls / ("client"s + ext),
                    fs::copy_options::overwrite_existing);
    std::vector<std::string> words = {"listen", "=", "0", "tls", "=", "1"};
    for (const std::string& word : ConnectTo("game", gamePort)) words.push_back(word);
    cServerProcess map(mapHome, Words("map", words));
    const int mapPort = map.WaitPort("map");
    ASSERT_TRUE(map.WaitOutput("logined 1 game")) << map.Output();
    const stCliRun run = RunCli(
        mapHome,
        {"-u", "ops", "--tls", "--ca", (mapTls / "ca.crt").string(), "--server-name", "map", "-c",
         "/9/SendToServer('game',1,'Accounts()')", "127.0.0.1:" + std::to_string(mapPort)},
        "ops-pw");
    EXPECT_EQ(run.code, 0) << run.err;
    EXPECT_TRUE(map.WaitOutput("Output() func_Accounts game")) << map.Output();
    EXPECT_EQ(run.out.find("func_Accounts game") != std::string::npos, cert == "map") << run.out;
  }
}

}  // namespace
}  // namespace e2e
