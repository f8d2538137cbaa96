// The audit trail of a running cluster: commands from every source leave their lines in the
// process's trail, which `tessel_cli audit verify` finds whole after an orderly end, with and
// without the key, and broken, naming the line, once a byte of it is changed.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "e2e/server_process.h"
#include "testkit/net_recorder.h"
#include "testkit/steps.h"

namespace e2e {
namespace {

namespace fs = std::filesystem;

const char kPassword[] = "0ps-secret";

TEST(AuditE2e, AMixedSessionLeavesAWholeTrailThatNamesTheFirstChangedLine) {
  testkit::cSteps steps;
  cCluster cluster;
  ASSERT_TRUE(cluster.ready) << cluster.map->Output();
  cServerProcess& game = *cluster.game;
  AddAccount(cluster.gameHome, "ops", kPassword, 16);
  const int port = game.WaitPort("game");
  const std::string address = "127.0.0.1:" + std::to_string(port);

  TESSEL_STEP(steps, "console, alias and batch lines");
  ASSERT_TRUE(game.Ask("/4/Ver()", {"程序 game"}));
  ASSERT_TRUE(game.Ask("/3/AddAlias('vv','/6/Hello()')", {"!>"}));
  ASSERT_TRUE(game.Ask("vv", {"Hello World!"}));
  cluster.gameHome.write("batch.txt", "/6/Hello()\n");
  ASSERT_TRUE(game.Ask("/3/Run('batch.txt')", {"[dofile] batch.txt end"}));

  TESSEL_STEP(steps, "a peer's commands: one runs, one fails, one is refused");
  const stCliRun run =
      RunCli(cluster.gameHome,
             {"-u", "ops", "-c", "/4/Ver()", "-c", "/4/error('boom')", "-c",
              "/4/error('refused: ops may not run System (needs @shell)')", address},
             kPassword);
  EXPECT_NE(run.out.find("func_Version"), std::string::npos) << run.err;
  AddAccount(cluster.gameHome, "viewer", "viewer-pw", 0);
  EXPECT_EQ(
      RunCli(cluster.gameHome, {"-u", "viewer", "-c", "/6/Hello()", address}, "viewer-pw").code, 2);
  testkit::cRawPeer stranger(port);
  ASSERT_TRUE(stranger.Write(testkit::CmdFrame(4, "Ver()")));

  TESSEL_STEP(steps, "a routed command from map");
  ASSERT_TRUE(cluster.map->Ask("/7/SendPathCmd('map','game','',4,'Ver()')", {"程序 game"}));

  TESSEL_STEP(steps, "verify while game runs: its last run is being written, not cut");
  const std::string trail = TrailOf(cluster.gameHome);
  const stCliRun running = RunCli(cluster.gameHome, {"audit", "verify", trail}, "");
  EXPECT_EQ(running.code, 0) << running.err;
  EXPECT_NE(running.out.find("still being written"), std::string::npos) << running.out;

  TESSEL_STEP(steps, "the orderly end and the lines of every source");
  game.QuitInOrder();
  ASSERT_FALSE(trail.empty());
  EXPECT_EQ(CountLines(trail, {"source=console\torigin=console@", "text=Ver()"}), 1);
  EXPECT_EQ(CountLines(trail, {"source=alias\t", "text=Hello()"}), 1);
  EXPECT_EQ(CountLines(trail, {"source=batch\t", "text=Hello()"}), 1);
  EXPECT_EQ(CountLines(trail,
                       {"source=peer\torigin=ops@", "peer=127.0.0.1", "outcome=ran", "text=Ver()"}),
            1);
  EXPECT_EQ(CountLines(trail, {"source=peer\t", "outcome=error", "text=error('boom')"}), 1);
  EXPECT_EQ(CountLines(trail, {"source=peer\t", "outcome=refused\tright=@shell"}), 1);
  EXPECT_EQ(CountLines(trail, {"source=peer\torigin=viewer@", "outcome=refused\tright=level>0",
                               "text=Hello()"}),
            1);
  EXPECT_EQ(
      CountLines(trail, {"source=peer\torigin=-\t", "outcome=refused", "result=7", "text=Ver()"}),
      1);
  EXPECT_EQ(CountLines(trail, {"source=routed\t", "route=map>game", "text=Ver()"}), 1);
  EXPECT_EQ(CountLines(trail, {kPassword}), 0);

  TESSEL_STEP(steps, "verify: with and without the key");
  const std::string key = cluster.gameHome / "config/audit.key";
  const stCliRun chain = RunCli(cluster.gameHome, {"audit", "verify", trail}, "");
  EXPECT_EQ(chain.code, 0) << chain.err;
  EXPECT_NE(chain.out.find("the trail holds"), std::string::npos) << chain.out;
  for (const auto& args : {std::vector<std::string>{"audit", "verify", trail, "--key", key},
                           {"audit", "verify", "--key", key, trail}}) {
    const stCliRun keyed = RunCli(cluster.gameHome, args, "");
    EXPECT_EQ(keyed.code, 0) << keyed.err;
  }
  // A verdict that cannot be written is no verdict a script may take for "holds".
  const std::string full = TESSEL_CLI_EXE " audit verify '" + trail + "' >/dev/full";
  EXPECT_EQ(WaitPid(Spawn({"/bin/sh", "-c", full}, {}, -1, cluster.gameHome / "full.err")), 1);

  TESSEL_STEP(steps, "verify: one byte changed");
  const fs::path file = fs::directory_iterator(trail)->path();
  std::string text = testkit::ReadFile(file);
  text[text.find("text=Ver()") + 5] = 'W';
  testkit::WriteFile(file, text);
  const stCliRun broken = RunCli(cluster.gameHome, {"audit", "verify", trail}, "");
  EXPECT_EQ(broken.code, 1);
  EXPECT_NE(broken.err.find("changed"), std::string::npos) << broken.err;
  EXPECT_NE(broken.err.find(file.filename().string() + " line "), std::string::npos) << broken.err;
}

// Commands that come over a TLS link carry the fingerprint of the certificate the peer
// presented: global's, on game's link to it.
TEST(AuditE2e, ACommandOverTlsNamesThePeersCertificate) {
  cCluster cluster(true);
  ASSERT_TRUE(cluster.ready) << cluster.map->Output();
  ASSERT_TRUE(cluster.global->Ask("/9/SendAccount('global','game',4,\"Ver()\")", {"程序 game"}));
  cluster.game->QuitInOrder();
  const std::string crt = cluster.globalHome / "certs/global.crt";
  FILE* pipe = ::popen(("openssl x509 -noout -fingerprint -sha256 -in " + crt).c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char out[256] = {};
  const size_t n = std::fread(out, 1, sizeof out - 1, pipe);
  ::pclose(pipe);
  std::string fingerprint;
  for (const char c : std::string(out, n).substr(std::string(out, n).find('=') + 1))
    if (std::isxdigit(static_cast<unsigned char>(c))) fingerprint += char(std::tolower(c));
  ASSERT_EQ(fingerprint.size(), 64u) << out;
  EXPECT_EQ(
      CountLines(TrailOf(cluster.gameHome), {"source=peer\t", "cert=" + fingerprint, "text=Ver()"}),
      1);
}

}  // namespace
}  // namespace e2e
