#include "tessel/link/bridge.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/link/bridge_server.h"
#include "tessel/msg/msg_registry.h"
#include "testkit/file_text.h"
#include "testkit/link_fixture.h"

namespace linktest {
namespace {

// A group whose Hit() adds one to `hits`.
std::unique_ptr<cFnCmd> HitGroup(int& hits) {
  return std::make_unique<cFnCmd>(
      "cCmd_Hit", [&hits](lua_State* L) { luareg::def(L, "Hit", [&hits] { ++hits; }); });
}

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
  std::unique_ptr<cFnCmd> hit20_ = HitGroup(hits_), hit21_ = HitGroup(hits_);
  cMsg msg_;
  cBridgeServer b;  // no network: the bridge core with its account rules off above group 20
};

// Only groups above twenty reach the installed checks; a group missing here runs from the
// console unless that fallback is off; a bound next array runs a copy of every command.
TEST_F(BridgeTest, ChecksConsoleFallbackAndTheNextArray) {
  struct cCheck : iCheckCmd, iCheckCmdMsg {
    HandleChatExceptionEnum CheckCmd(iSend*, unsigned) override {
      return ++calls, ChatException_NoPri;
    }
    HandleChatExceptionEnum CheckCmdMsg(iSend*, stMsg_Cmd*) override {
      return ++calls, ChatException_ParamWrong;
    }
    int calls = 0;
  } check;
  b.SetCheck(&check);
  b.SetCheckMsg(&check);
  EXPECT_EQ(b.RunCmdBridge(nullptr, 20, "Hit()"), ChatException_OK);
  EXPECT_EQ(b.RunCmdBridge(nullptr, 21, "Hit()"), ChatException_NoPri);
  auto record = std::make_unique<stMsg_Cmd>();
  record->SetCmd(21, "Hit()");
  EXPECT_EQ(b.RunCmdBridge(nullptr, record.get()), ChatException_ParamWrong);
  record->SetCmd(20, "Hit()");
  EXPECT_EQ(b.RunCmdBridge(nullptr, record.get()), ChatException_OK);
  EXPECT_EQ(check.calls, 2);
  EXPECT_EQ(hits_, 2);
  b.SetCheck(nullptr);
  b.SetCheckMsg(nullptr);

  // The console keeps its groups for the life of the process.
  static int consoleHits = 0;
  static std::unique_ptr<cFnCmd> console = HitGroup(consoleHits);
  consoleHits = 0;
  cTesselCmd::Instance().AddCmd(40, console.get());
  EXPECT_EQ(b.RunCmdBridge(nullptr, 40, "Hit()"), ChatException_OK);
  b.SetUseConsoleCmd(false);
  EXPECT_EQ(b.RunCmdBridge(nullptr, 40, "Hit()"), ChatException_NoCmd);
  b.SetUseConsoleCmd(true);
  EXPECT_EQ(b.RunCmdBridge(nullptr, 400, "Hit()"), ChatException_NoCmd);
  EXPECT_EQ(consoleHits, 1);

  cCmdArray next;
  int nextHits = 0;
  auto copy = HitGroup(nextHits);
  next.AddCmd(21, copy.get());
  b.BindNext(&next);
  b.RunCmdBridge(nullptr, 21, "Hit()");
  EXPECT_EQ(nextHits, 1);
  EXPECT_EQ(hits_, 3);
  b.BindNext(nullptr);
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

}  // namespace
}  // namespace linktest
