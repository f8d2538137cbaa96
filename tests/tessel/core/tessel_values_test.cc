#include "tessel/core/tessel_values.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/paths.h"
#include "tessel/core/log_routing.h"
#include "testkit/child_process.h"
#include "testkit/scoped_env.h"
#include "testkit/test_host.h"

namespace {

namespace fs = std::filesystem;

struct PickCase {
  std::vector<std::string> listed;
  std::string first;
  std::string second;
};

TEST(OwnAddressTest, PicksTheFirstPublicAddressAndASecondOne) {
  std::vector<PickCase> cases = {
      {{"127.0.0.1", "192.168.1.5", "10.0.0.7"}, "10.0.0.7", ""},
      {{"192.168.1.5", "10.0.0.7", "61.1.1.1"}, "10.0.0.7", "61.1.1.1"},
      {{"192.168.1.5"}, "192.168.1.5", ""},
      {{"127.0.0.1", "192.168.1.5"}, "192.168.1.5", ""},
      {{"10.0.0.7", "192.168.1.5", "61.1.1.1"}, "10.0.0.7", "61.1.1.1"},
      {{"10.0.0.7", "61.1.1.1", "62.2.2.2"}, "10.0.0.7", "61.1.1.1"},
      {{}, "", ""},
  };
  for (const PickCase& c : cases) {
    std::string first = "stale";
    std::string second = "stale";
    std::ostringstream os;
    PickOwnAddresses(c.listed, first, second, os);
    EXPECT_EQ(first, c.first) << os.str();
    EXPECT_EQ(second, c.second) << os.str();
  }
  std::ostringstream os;
  std::string first, second;
  PickOwnAddresses({"127.0.0.1", "10.0.0.7"}, first, second, os);
  EXPECT_EQ(os.str(), "ip = 127.0.0.1\nip = 10.0.0.7\n");
}

TEST(TesselValuesNamingTest, TheMapParameterNamesTheExeAndLogFolderButNotTheConfigFolder) {
  testing::internal::CaptureStdout();
  cTesselValues values("/srv/bin/server.exe", "3");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "exe name = server_3\n");
  EXPECT_EQ(values.GetExe(), "server.exe");
  EXPECT_EQ(values.GetExeName(), "server_3");
  EXPECT_EQ(values.GetExeBaseName(), "server");
  EXPECT_EQ(values._GetLogFile("tessel.info"), "log/server_3/tessel.info");
  EXPECT_EQ(values._GetConfigFile("login.ini"), "config/server/login.ini");
}

TEST(TesselValuesNamingTest, NamesWithoutMapExtensionOrPath) {
  testing::internal::CaptureStdout();
  cTesselValues plain("/srv/bin/gate", "");
  cTesselValues dotted("C:\\servers\\v1.2\\login.server.exe", "");
  cTesselValues unknown("", "7");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(plain.GetExe() + " " + plain.GetExeName(), "gate gate");
  EXPECT_EQ(plain._GetConfigFile("a"), "config/gate/a");
  EXPECT_EQ(dotted.GetExe() + " " + dotted.GetExeName(), "login.server.exe login.server");
  EXPECT_EQ(unknown.GetExe() + " " + unknown.GetExeName() + " " + unknown.GetExeBaseName(),
            "Unknown Unknown_7 Unknown");
}

// A values object for one test, with the registry in a temporary folder and the sources reset.
class TesselValuesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    testing::internal::CaptureStdout();
    values_ = std::make_unique<cTesselValues>("/srv/bin/server", "3");
    testing::internal::GetCapturedStdout();
  }
  std::string SetProgramOutput() {
    testing::internal::CaptureStdout();
    values_->SetProgram("Dec  6 2026", "09:30:00", "1.2.3", "game");
    return testing::internal::GetCapturedStdout();
  }

  cTestHost host_;
  cTempDir tmp_;
  ScopedEnv registry_{"TESSEL_REGISTRY", tmp_.path().c_str()};
  std::unique_ptr<cTesselValues> values_;
};

TEST_F(TesselValuesTest, RecoverInfosReadsBackWhatGetInfosWrites) {
  values_->SetInfoValue("Version", "1.2.3");
  values_->SetInfoValue("IP", std::string("10.0.0.7"));
  values_->SetInfoValue("expr", "a=b");
  values_->SetInfoValue("empty", "");
  host_.serverInfos = {{"gate", 12}};
  std::ostringstream os;
  values_->GetInfos(os);

  std::istringstream in(os.str() + "\n");
  cTesselValues::InfoTable back;
  testing::internal::CaptureStdout();
  values_->RecoverInfos(in, back);
  std::string echoed = testing::internal::GetCapturedStdout();
  cTesselValues::InfoTable expected{
      {"Version", "1.2.3"}, {"IP", "10.0.0.7"}, {"expr", "a=b"}, {"empty", ""}, {"gate", "12"}};
  EXPECT_EQ(back, expected);
  EXPECT_NE(echoed.find("expr = a=b\n"), std::string::npos) << echoed;
}

TEST_F(TesselValuesTest, RecoverInfosTrimsNames) {
  std::istringstream in(" port =7000,\tname\t=a b ,");
  cTesselValues::InfoTable back;
  testing::internal::CaptureStdout();
  values_->RecoverInfos(in, back);
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(back, (cTesselValues::InfoTable{{"port", "7000"}, {"name", "a b "}}));
}

TEST_F(TesselValuesTest, SetProgramStoresIdentityAddressesAndRegistry) {
  host_.addresses = {"192.168.1.5", "10.0.0.7", "61.1.1.1"};
  std::string out = SetProgramOutput();
  EXPECT_NE(out.find("Dec  6 2026 09:30:00 game\n"), std::string::npos) << out;
  EXPECT_EQ(values_->GetProgram(), "game");
  EXPECT_EQ(values_->GetVersion(), "1.2.3");
  EXPECT_EQ(values_->IsProgram("game"), 1);
  EXPECT_EQ(values_->IsProgram("login"), 0);
  EXPECT_EQ(values_->GetInfoValue("Version"), "1.2.3");
  EXPECT_EQ(values_->GetInfoValue("IP"), "10.0.0.7");
  EXPECT_EQ(values_->GetInfoValue("IP2"), "61.1.1.1");

  platform::RegistryKey key;
  ASSERT_TRUE(key.Open("Software/server_3"));
  platform::RegistryValues all = key.GetAll();
  std::vector<std::string> names;
  for (const auto& [name, value] : all) names.push_back(name);
  EXPECT_EQ(names, (std::vector<std::string>{"exe", "name", "program", "build_date", "build_time",
                                             "ip", "version", "starttime"}));
  EXPECT_EQ(key.Get("name"), "server_3");
  EXPECT_EQ(key.Get("ip"), "10.0.0.7");
  EXPECT_EQ(key.Get("build_date"), "Dec  6 2026");
  EXPECT_EQ(key.Get("starttime").value_or("").size(), 19u);
}

TEST_F(TesselValuesTest, AFirewallAddressWinsForIpButNotIp2) {
  host_.addresses = {"192.168.1.5", "10.0.0.7", "61.1.1.1"};
  host_.config["FirewallIP"] = "200.1.1.1";
  SetProgramOutput();
  EXPECT_EQ(values_->GetInfoValue("IP"), "200.1.1.1");
  EXPECT_EQ(values_->GetInfoValue("IP2"), "61.1.1.1");
}

TEST_F(TesselValuesTest, NoAddressWarnsAndLeavesIpEmpty) {
  host_.addresses = std::vector<std::string>{};
  std::string out = SetProgramOutput();
  EXPECT_NE(out.find("getselfip return NULL may be not call initsocket yet.\n"), std::string::npos);
  EXPECT_EQ(values_->GetInfoValue("IP"), "");
  std::ostringstream os;
  values_->GetInfos(os);
  EXPECT_EQ(os.str().find("IP2="), std::string::npos);
}

TEST_F(TesselValuesTest, ARegistryThatCannotBeCreatedIsReportedAndIgnored) {
  host_.addresses = {"10.0.0.7"};
  // A file where the key's folder belongs.
  std::ofstream(tmp_.File("Software")) << "x";
  std::string out = SetProgramOutput();
  EXPECT_NE(out.find("Could not create the registry key.\n"), std::string::npos) << out;
  EXPECT_EQ(values_->GetInfoValue("IP"), "10.0.0.7");
}

TEST_F(TesselValuesTest, VersionNamesProgramBuildAndVersion) {
  host_.addresses = {"10.0.0.7"};
  SetProgramOutput();
  std::ostringstream os;
  values_->Version(os);
  EXPECT_EQ(os.str(), "程序 game 版本 日期 Dec  6 2026 时间 09:30:00 版本 1.2.3\n\n");
}

// The process-wide values in a fresh process started with the launch parameter "map" = 3.
TESSEL_CHILD_SCENARIO(values_instance_with_map) {
  static cTestHost host;
  host.mapName = "3";
  host.addresses = {"127.0.0.1", "10.0.0.7"};
  cTesselValues& values = cTesselValues::Instance();
  std::string base = platform::ExecutableFile();
  if (values.GetExeName() != base + "_3") return 2;
  if (LogFilePath("tessel.info") != "log/" + base + "_3/tessel.info") return 3;
  values.SetProgram("d", "t", "v", "game");
  if (!IsGameServer() || IsLoginServer() || IsMapServer() || IsServer()) return 4;
  if (GetTesselIP() != "10.0.0.7") return 5;
  platform::RegistryKey key;
  if (!key.Open("Software/" + base + "_3") || key.Get("program") != "game") return 6;
  return 0;
}

TEST(TesselValuesInstanceTest, TheProcessValuesTakeTheMapParameterAndRouteTheLogFiles) {
  cTempDir dir;
  stChildResult r = RunChildScenario(dir.path(), "values_instance_with_map", false);
  EXPECT_TRUE(r.exited) << r.out;
  EXPECT_EQ(r.code, 0) << r.out;
  EXPECT_NE(r.out.find("exe name = "), std::string::npos) << r.out;
}

TEST(TesselServerTest, IsTesselServerFollowsTheHostsEasyServers) {
  {
    cTestHost host;
    EXPECT_FALSE(IsTesselServer());
    host.serverCount = 2;
    EXPECT_TRUE(IsTesselServer());
    EXPECT_TRUE(IsServer());
  }
  EXPECT_FALSE(IsTesselServer());
}

}  // namespace
