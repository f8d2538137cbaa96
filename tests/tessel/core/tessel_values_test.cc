#include "tessel/core/tessel_values.h"

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <sstream>

#include "platform/registry.h"
#include "tessel/core/launch_words.h"
#include "tessel/core/log_routing.h"
#include "testkit/stdout_capture.h"
#include "testkit/temp_dir.h"
#include "testkit/test_host.h"

namespace {

using Addresses = std::vector<std::string>;

// The first public address (else the first private one) and a second public one.
TEST(TesselValues, PicksTheFirstPublicAddressAndASecondOne) {
  const std::tuple<Addresses, std::string, std::string> cases[] = {
      {{"127.0.0.1", "192.168.1.5", "10.0.0.7"}, "10.0.0.7", ""},
      {{"192.168.1.5", "10.0.0.7", "61.1.1.1"}, "10.0.0.7", "61.1.1.1"},
      {{"127.0.0.1", "192.168.1.5"}, "192.168.1.5", ""},
      {{"10.0.0.7", "61.1.1.1", "62.2.2.2"}, "10.0.0.7", "61.1.1.1"},
      {{}, "", ""}};
  for (const auto& [listed, first, second] : cases) {
    std::string one = "stale", two = "stale";
    std::ostringstream os;
    PickOwnAddresses(listed, one, two, os);
    EXPECT_EQ(one, first) << os.str();
    EXPECT_EQ(two, second) << os.str();
  }
}

// The map parameter names the exe and its log folder but not its config folder.
TEST(TesselValues, NamesComeFromTheExecutableAndTheMapParameter) {
  // The path and map; the exe, exe name and exe base name; the log and config files.
  const std::array<std::string, 7> cases[] = {
      {"/srv/bin/server.exe", "3", "server.exe", "server_3", "server", "log/server_3/i",
       "config/server/c"},
      {"/srv/bin/gate", "", "gate", "gate", "gate", "log/gate/i", "config/gate/c"},
      {"C:\\s\\v1.2\\login.server.exe", "", "login.server.exe", "login.server", "login.server",
       "log/login.server/i", "config/login.server/c"},
      {"", "7", "Unknown", "Unknown_7", "Unknown", "log/Unknown_7/i", "config/Unknown/c"},
      // A map name that would lead out of the folders stays one name.
      {"/srv/bin/gate", "../..\\x\n", "gate", "gate_.._.._x_", "gate", "log/gate_.._.._x_/i",
       "config/gate/c"}};
  testkit::cStdoutCapture out;
  for (const auto& c : cases) {
    cTesselValues v(c[0], c[1]);
    EXPECT_EQ(v.GetExe(), c[2]) << c[0];
    EXPECT_EQ(v.GetExeName(), c[3]) << c[0];
    EXPECT_EQ(v.GetExeBaseName(), c[4]) << c[0];
    EXPECT_EQ(v._GetLogFile("i"), c[5]) << c[0];
    EXPECT_EQ(v._GetConfigFile("c"), c[6]) << c[0];
  }
  // The launch word map takes a name, of any script, and never a path.
  for (const char* name : {"3", "west-1.b", "长安"}) EXPECT_TRUE(IsLaunchName(name)) << name;
  for (const char* name : {"", "x/y", "a\\b", "a b", "x\n"})
    EXPECT_FALSE(IsLaunchName(name)) << name;
}

// SetProgram stores the identity, the addresses (a firewall address wins for IP, not IP2) and
// the registry key; the info text reads back whole (names trimmed, values kept); a registry
// that cannot be created is ignored.
TEST(TesselValues, SetProgramStoresIdentityAddressesAndRegistryAndInfosReadBack) {
  cTestHost host;
  testkit::cTempDir tmp;
  tmp.home();
  testkit::cStdoutCapture out;
  cTesselValues values("/srv/bin/server", "3");
  host.addresses = {"192.168.1.5", "10.0.0.7", "61.1.1.1"};
  values.SetProgram("Dec  6 2026", "09:30:00", "1.2.3", "game");
  EXPECT_EQ(values.GetProgram(), "game");
  EXPECT_EQ(values.GetVersion(), "1.2.3");
  EXPECT_TRUE(values.IsProgram("game"));
  EXPECT_FALSE(values.IsProgram("login"));
  EXPECT_EQ(values.GetInfoValue("IP"), "10.0.0.7");
  EXPECT_EQ(values.GetInfoValue("IP2"), "61.1.1.1");
  platform::RegistryKey key;
  ASSERT_TRUE(key.Open("Software/server_3"));
  std::vector<std::string> names;
  for (const auto& [name, value] : key.GetAll()) names.push_back(name);
  EXPECT_EQ(names, (Addresses{"exe", "name", "program", "build_date", "build_time", "ip", "version",
                              "starttime"}));
  EXPECT_EQ(key.Get("ip"), "10.0.0.7");
  EXPECT_EQ(key.Get("starttime").value_or("").size(), 19u);

  values.SetInfoValue("expr", " a=b ");
  values.SetInfoValue("empty", "");
  host.serverInfos = {{"gate", 12}};
  std::ostringstream os;
  values.GetInfos(os);
  std::istringstream in(os.str() + " port =7000,\tname\t=a b ,\n");
  cTesselValues::InfoTable back;
  values.RecoverInfos(in, back);
  EXPECT_EQ(back, (cTesselValues::InfoTable{{"Version", "1.2.3"},
                                            {"IP", "10.0.0.7"},
                                            {"IP2", "61.1.1.1"},
                                            {"expr", " a=b "},
                                            {"empty", ""},
                                            {"gate", "12"},
                                            {"port", "7000"},
                                            {"name", "a b "}}));

  host.config["FirewallIP"] = "200.1.1.1";
  std::ofstream(tmp.file("Software")) << "x";  // a file where the key's folder belongs
  cTesselValues firewalled("/srv/bin/other", "");
  firewalled.SetProgram("d", "t", "v", "game");
  EXPECT_EQ(firewalled.GetInfoValue("IP"), "200.1.1.1");
  EXPECT_EQ(firewalled.GetInfoValue("IP2"), "61.1.1.1");
  host.addresses = Addresses{};
  host.config.clear();
  cTesselValues none("/srv/bin/none", "");
  none.SetProgram("d", "t", "v", "game");
  EXPECT_EQ(none.GetInfoValue("IP"), "");
}

// IsTesselServer follows the host's easy servers.
TEST(TesselValues, IsTesselServerFollowsTheHostsEasyServers) {
  cTestHost host;
  EXPECT_FALSE(IsTesselServer());
  host.server = true;
  EXPECT_TRUE(IsTesselServer());
  EXPECT_TRUE(IsServer());
}

}  // namespace
