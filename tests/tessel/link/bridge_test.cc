#include "tessel/link/bridge.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/link/net_help.h"
#include "testkit/link_test_util.h"

namespace {

using namespace linktest;

// A group whose Hit() adds one to `hits`.
std::unique_ptr<cTestCmd> HitGroup(int& hits) {
  return std::make_unique<cTestCmd>(
      "cCmd_Hit", [&hits](lua_State* L) { luareg::def(L, "Hit", [&hits] { ++hits; }); });
}

struct cCountHelp : cNetHelp {
  void HandlePeerMessageSelf(stBindMsg*) override { ++handled; }
  void HandleNetMessageSelf(stBindMsg*) override { ++handled; }
  int handled = 0;
};

// An endpoint without a network.
struct cTestBridge : cBridge {
  cTestBridge() { m_pNetHelp = help = new cCountHelp; }
  void OnConnect(unsigned) override {}
  bool OnDisconnect(unsigned) override { return true; }
  void OnLogined(unsigned, int) override {}
  void ClearNet() override {}
  cCountHelp* help;
};

// Groups 20 and 21 of the endpoint count their hits.
class BridgeTest : public testing::Test {
 protected:
  BridgeTest() {
    b.AddCmd(20, hit20_.get());
    b.AddCmd(21, hit21_.get());
    msg_.Init(&b);
    EXPECT_TRUE(b.CreateBridge("core", &msg_));
  }
  testkit::cTempDir home_{testkit::cTempDir::kHome};
  int hits_ = 0;
  std::unique_ptr<cTestCmd> hit20_ = HitGroup(hits_), hit21_ = HitGroup(hits_);
  cMsg msg_;
  cTestBridge b;
};

struct cCountingCheck : iCheckCmd, iCheckCmdMsg {
  HandleChatExceptionEnum CheckCmd(iSend*, unsigned) override {
    ++calls;
    return ChatException_NoPri;
  }
  HandleChatExceptionEnum CheckCmdMsg(iSend*, stMsg_Cmd*) override {
    ++calls;
    return ChatException_ParamWrong;
  }
  int calls = 0;
};

TEST_F(BridgeTest, OnlyGroupNumbersAboveTwentyReachTheInstalledChecks) {
  cCountingCheck check;
  b.SetCheck(&check);
  b.SetCheckMsg(&check);
  EXPECT_EQ(b.RunCmdBridge(nullptr, 20, "Hit()"), ChatException_OK);
  EXPECT_EQ(check.calls, 0);
  EXPECT_EQ(b.RunCmdBridge(nullptr, 21, "Hit()"), ChatException_NoPri);
  auto record = std::make_unique<stMsg_Cmd>();
  record->SetCmd(21, "Hit()");
  EXPECT_EQ(b.RunCmdBridge(nullptr, record.get()), ChatException_ParamWrong);
  record->SetCmd(20, "Hit()");
  EXPECT_EQ(b.RunCmdBridge(nullptr, record.get()), ChatException_OK);
  EXPECT_EQ(check.calls, 2);
  EXPECT_EQ(hits_, 2);
}

TEST_F(BridgeTest, AGroupMissingHereRunsFromTheConsoleUnlessThatFallbackIsOff) {
  // The console keeps its groups for the life of the process.
  static int consoleHits = 0;
  static std::unique_ptr<cTestCmd> console = HitGroup(consoleHits);
  consoleHits = 0;
  cTesselCmd::Instance().AddCmd(40, console.get());
  EXPECT_EQ(b.RunCmdBridge(nullptr, 40, "Hit()"), ChatException_OK);
  b.SetUseConsoleCmd(false);
  EXPECT_EQ(b.RunCmdBridge(nullptr, 40, "Hit()"), ChatException_NoCmd);
  b.SetUseConsoleCmd(true);
  EXPECT_EQ(b.RunCmdBridge(nullptr, 400, "Hit()"), ChatException_NoCmd);
  EXPECT_EQ(consoleHits, 1);
  // A bound next array runs a copy of every command run here.
  cCmdArray next;
  int nextHits = 0;
  auto copy = HitGroup(nextHits);
  next.AddCmd(21, copy.get());
  b.BindNext(&next);
  b.RunCmdBridge(nullptr, 21, "Hit()");
  EXPECT_EQ(nextHits, 1);
  EXPECT_EQ(hits_, 1);
  b.BindNext(nullptr);
}

TEST_F(BridgeTest, ThePumpHandlesNothingWhileForbidden) {
  for (const char* text : {"one", "two", "six"}) b.help->OnMessage(2, text, 3, nullptr);
  b.ForbidHandleMessage(false);
  b.HandleMsg(0);
  EXPECT_EQ(b.help->handled, 0);
  b.ForbidHandleMessage(true);
  b.HandleMsg(0);
  EXPECT_EQ(b.help->handled, 3);
}

// The log holds at most its cap of entries, also between pumps, and is written at the end.
TEST_F(BridgeTest, TheCommandLogNeverHoldsMoreThanItsCapAndIsWrittenAtEnd) {
  auto record = std::make_unique<stMsg_Cmd>();
  record->SetCmd(3, "Ver()");
  stBindMsg msg{static_cast<uint32_t>(record->GetSize()), nullptr, record.get(), 2};
  for (size_t i = 0; i < cBridge::kCmdLogCap; ++i) b.AddCmdLog_Run(msg);
  EXPECT_EQ(b.GetCmdLogSize(), cBridge::kCmdLogCap);
  b.HandleMsg(0);
  EXPECT_EQ(b.GetCmdLogSize(), 0u);
  for (size_t i = 0; i < cBridge::kCmdLogCap + 2; ++i) b.AddCmdLog_Run(msg);
  EXPECT_EQ(b.GetCmdLogSize(), 2u);
  b.AddCmdLog_Result(ChatException_NoPri);
  b.End();
  const std::string log = testkit::ReadFolder(home_.path() / "log");
  EXPECT_NE(log.find("【cmd】3 {Ver()} result 16\n"), std::string::npos);
  const std::vector<std::string> lines = testkit::Lines(log);
  EXPECT_EQ(2, std::count_if(lines.begin(), lines.end(), [](const std::string& line) {
              return line.find("【cmd】") != std::string::npos;
            }));
}

// A world that notes its calls in `calls` and answers `ok`.
struct cNoting : iTesselWorld {
  cNoting(bool ok, std::string& calls) : ok(ok), calls(calls) {}
  bool Note(char what) {
    calls += std::string(1, what) + (ok ? "+" : "-");
    return ok;
  }
  void Run(unsigned long) override {}
  bool CreateWorld() override { return Note('c'); }
  bool DestroyWorld() override { return Note('d'); }
  bool ok;
  std::string& calls;
};

// Creating stops at the first world that fails; destroying goes on. (A disconnect agreed only
// when every listener agrees: the server endpoint's test.)
TEST_F(BridgeTest, WorldsAreCreatedInBindingOrderUntilOneFails) {
  std::string calls;
  cNoting failing(false, calls), fine(true, calls);
  b.BindiTesselWorld(&failing);
  b.BindiTesselWorld(&fine);
  EXPECT_FALSE(b.CreateWorld());
  EXPECT_FALSE(b.DestroyWorld());
  EXPECT_EQ(calls, "c-d-d+");
}

}  // namespace
