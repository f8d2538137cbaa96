#include "tessel/console/tessel_cmd.h"

#include <gtest/gtest.h>

#include "console_test_util.h"
#include "tessel/link/bridge.h"

namespace {

class cNamedCmd : public cCmd {
 public:
  explicit cNamedCmd(const char* name) : m_name(name) {}
  void bind_cln(lua_State*) override {}
  const char* GetName() override { return m_name; }

 private:
  const char* m_name;
};

// An endpoint without a network side.
class cQuietBridge : public cBridge {
 public:
  ~cQuietBridge() override = default;
  void OnConnect(unsigned) override {}
  bool OnDisconnect(unsigned) override { return true; }
  void OnLogined(unsigned, int) override {}
  void ClearNet() override {}
};

// The console moving into a real endpoint called "global", found through BridgeTarget.
class TesselCmdBridgeTest : public ::testing::Test {
 protected:
  TesselCmdBridgeTest() : m_own("cCmd_Own"), m_next("cCmd_Next") {
    m_bridge.AddCmd(1, &m_own);
    m_nextArray.AddCmd(3, &m_next);
    {
      CoutCapture quiet;
      m_bridge.CreateBridge("global", nullptr);
    }
    cTesselCmd::stHostHooks hooks;
    hooks.findBridge = [this](const char* type, std::string& name, cCmdArray*& array) {
      return cTesselCmd::BridgeTarget(std::string(type) == "global" ? &m_bridge : nullptr, name,
                                      array);
    };
    m_console.SetHostHooks(hooks);
  }

  std::string Parse(const char* line) {
    CoutCapture out;
    m_console.ParseCmd(line, std::cout);
    return out.Text();
  }

  TempWorkDir m_dir;
  cNamedCmd m_own;
  cNamedCmd m_next;
  cCmdArray m_nextArray;
  cQuietBridge m_bridge;
  cTesselCmd m_console;
};

TEST_F(TesselCmdBridgeTest, EndpointNameLeadsIntoItsOwnCommandArray) {
  EXPECT_EQ(Parse("//global"), "cmd bridge switch to global\n");
  EXPECT_EQ(m_console.GetCurCmdArray(), static_cast<cCmdArray*>(&m_bridge));
  EXPECT_EQ(m_console.GetCurCmd(), &m_own);
}

TEST_F(TesselCmdBridgeTest, EndpointWithItsNextSwitchOnLeadsIntoTheBoundNextArray) {
  m_bridge.SetNext(true);
  m_bridge.BindNext(&m_nextArray);
  Parse("//global");
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_nextArray);
  EXPECT_EQ(m_console.GetCurCmd(), &m_next);
}

TEST_F(TesselCmdBridgeTest, NextSwitchWithoutABoundArrayRefusesTheSwitch) {
  m_bridge.SetNext(true);
  EXPECT_EQ(Parse("//global"), "cmd bridge global has no next cmd array\n");
  EXPECT_EQ(m_console.GetCurCmdArray(), &m_console);
  EXPECT_EQ(Parse("//elsewhere"), "not find the bridge\n");
}

}  // namespace
