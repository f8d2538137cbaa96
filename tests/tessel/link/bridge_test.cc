#include "tessel/link/bridge.h"

#include <gtest/gtest.h>

#include "tessel/console/tessel_cmd.h"
#include "tessel/contracts/lua_register.h"
#include "tessel/core/log_file.h"
#include "tessel/link/net_help.h"
#include "testkit/file_text.h"
#include "testkit/link_test_util.h"
#include "testkit/temp_dir.h"

namespace {

using namespace linktest;

// Records what it handles; can queue more items while the pump runs.
class cQueueHelp : public cNetHelp {
 public:
  void HandlePeerMessageSelf(stBindMsg* msg) override { Handle(msg); }
  void HandleNetMessageSelf(stBindMsg* msg) override { Handle(msg); }
  std::vector<std::string> handled;
  int queueWhileHandling = 0;

 private:
  void Handle(stBindMsg* msg) {
    handled.emplace_back(reinterpret_cast<const char*>(msg->msg), msg->size);
    for (; queueWhileHandling > 0; --queueWhileHandling) OnMessage(2, "late", 4, nullptr);
  }
};

class cTestBridge : public cBridge {
 public:
  cTestBridge() {
    m_pNetHelp = help = new cQueueHelp;
    AddCmd(20, &hit20);
    AddCmd(21, &hit21);
  }
  ~cTestBridge() override = default;
  void OnConnect(unsigned) override {}
  bool OnDisconnect(unsigned) override { return true; }
  void OnLogined(unsigned, int) override {}
  void ClearNet() override {}

  cQueueHelp* help;
  int hits = 0;
  cTestCmd hit20{"cCmd_Hit20", [this](lua_State* L) { luareg::def(L, "Hit", [this] { ++hits; }); }};
  cTestCmd hit21{"cCmd_Hit21", [this](lua_State* L) { luareg::def(L, "Hit", [this] { ++hits; }); }};
};

class BridgeTest : public testing::Test {
 protected:
  BridgeTest() {
    msg_.Init(&bridge_);
    EXPECT_TRUE(bridge_.CreateBridge("core", &msg_));
  }
  testkit::cTempDir home_{testkit::cTempDir::kHome};
  cMsg msg_;
  cTestBridge bridge_;
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
  bridge_.SetCheck(&check);
  bridge_.SetCheckMsg(&check);
  EXPECT_EQ(bridge_.RunCmdBridge(nullptr, 20, "Hit()"), ChatException_OK);
  EXPECT_EQ(check.calls, 0);
  EXPECT_EQ(bridge_.hits, 1);
  EXPECT_EQ(bridge_.RunCmdBridge(nullptr, 21, "Hit()"), ChatException_NoPri);
  auto record = std::make_unique<stMsg_Cmd>();
  record->SetCmd(21, "Hit()");
  EXPECT_EQ(bridge_.RunCmdBridge(nullptr, record.get()), ChatException_ParamWrong);
  record->SetCmd(20, "Hit()");
  EXPECT_EQ(bridge_.RunCmdBridge(nullptr, record.get()), ChatException_OK);
  EXPECT_EQ(check.calls, 2);
  EXPECT_EQ(bridge_.hits, 2);
  EXPECT_STREQ(g_GetCurCmdStr(), "Hit()");
  EXPECT_EQ(g_GetCurCmd(), 20);
}

TEST_F(BridgeTest, AGroupMissingHereRunsFromTheConsoleUnlessThatFallbackIsOff) {
  // The console keeps its groups for the life of the process.
  static int consoleHits = 0;
  static cTestCmd console("cCmd_ConsoleHit",
                          [](lua_State* L) { luareg::def(L, "Hit", [] { ++consoleHits; }); });
  consoleHits = 0;
  cTesselCmd::Instance().AddCmd(40, &console);
  EXPECT_EQ(bridge_.RunCmdBridge(nullptr, 40, "Hit()"), ChatException_OK);
  EXPECT_EQ(consoleHits, 1);
  bridge_.SetUseConsoleCmd(false);
  EXPECT_EQ(bridge_.RunCmdBridge(nullptr, 40, "Hit()"), ChatException_NoCmd);
  EXPECT_EQ(bridge_.RunCmdBridge(nullptr, 400, "Hit()"), ChatException_NoCmd);
  bridge_.SetUseConsoleCmd(true);
  EXPECT_EQ(bridge_.RunCmdBridge(nullptr, 400, "Hit()"), ChatException_NoCmd);
  EXPECT_EQ(consoleHits, 1);
  // A bound next array runs a copy of every command run here.
  cCmdArray next;
  int nextHits = 0;
  cTestCmd copy("cCmd_Copy", [&](lua_State* L) { luareg::def(L, "Hit", [&] { ++nextHits; }); });
  next.AddCmd(21, &copy);
  bridge_.BindNext(&next);
  bridge_.RunCmdBridge(nullptr, 21, "Hit()");
  EXPECT_EQ(nextHits, 1);
  EXPECT_EQ(bridge_.hits, 1);
  bridge_.BindNext(nullptr);
}

TEST_F(BridgeTest, ThePumpHandlesExactlyWhatWasQueuedWhenItStarted) {
  cQueueHelp& help = *bridge_.help;
  for (const char* text : {"one", "two", "six"}) help.OnMessage(2, text, 3, nullptr);
  help.queueWhileHandling = 2;
  bridge_.ForbidHandleMessage(false);
  bridge_.HandleMsg(0);
  EXPECT_EQ(help.GetQueued(), 3u);
  EXPECT_EQ(bridge_.GetHandledTime(), 0u);
  bridge_.ForbidHandleMessage(true);
  bridge_.HandleMsg(0);
  EXPECT_EQ(help.handled, (std::vector<std::string>{"one", "two", "six"}));
  EXPECT_EQ(help.GetQueued(), 2u);
  EXPECT_EQ(help.GetPeerThisPump(), 3);
  bridge_.HandleMsg(0);
  EXPECT_EQ(help.handled.size(), 5u);
  EXPECT_EQ(help.GetPeerTotal(), 5);
}

TEST_F(BridgeTest, TheCommandLogNeverHoldsMoreThanItsCapAndIsWrittenAtEnd) {
  auto record = std::make_unique<stMsg_Cmd>();
  record->SetCmd(3, "Ver()");
  stBindMsg msg{static_cast<uint32_t>(record->GetSize()), nullptr, record.get(), 2};
  for (size_t i = 0; i < cBridge::kCmdLogCap; ++i) bridge_.AddCmdLog_Run(msg);
  EXPECT_EQ(bridge_.GetCmdLogSize(), cBridge::kCmdLogCap);
  bridge_.HandleMsg(0);
  EXPECT_EQ(bridge_.GetCmdLogSize(), 0u);
  // The log never holds more than the cap, even between pumps.
  for (size_t i = 0; i < cBridge::kCmdLogCap + 2; ++i) bridge_.AddCmdLog_Run(msg);
  EXPECT_EQ(bridge_.GetCmdLogSize(), 2u);
  bridge_.AddCmdLog_Result(ChatException_NoPri);
  bridge_.End();
  const std::string log = testkit::ReadFolder(home_.path() / "log");
  EXPECT_NE(log.find("【cmd】3 {Ver()} result 16\n"), std::string::npos);
  size_t lines = 0;
  for (size_t at = log.find("【cmd】"); at != std::string::npos; at = log.find("【cmd】", at + 1))
    ++lines;
  EXPECT_EQ(lines, 2u);
}

// A world and a listener that note every call in `calls` and answer `ok`.
struct cNoting : iTesselWorld, iConnectDisconnect {
  cNoting(bool ok, std::vector<std::string>& calls, std::string name)
      : ok(ok), calls(calls), name(std::move(name)) {}
  bool Note(const std::string& what) {
    calls.push_back(what + " " + name);
    return ok;
  }
  void Run(unsigned long) override {}
  bool CreateWorld() override { return Note("create"); }
  bool DestroyWorld() override { return Note("destroy"); }
  void OnConnect(unsigned id) override { Note("connect " + std::to_string(id)); }
  bool OnDisconnect(unsigned id) override { return Note("disconnect " + std::to_string(id)); }
  void OnLogined(unsigned, int result) override { Note("logined " + std::to_string(result)); }
  bool ok;
  std::vector<std::string>& calls;
  std::string name;
};

// Creating stops at the first world that fails; destroying and the listeners go on, and a
// disconnect is agreed only when every listener agrees.
TEST_F(BridgeTest, WorldsAndListenersAreCalledInBindingOrder) {
  std::vector<std::string> calls;
  cNoting failing(false, calls, "a"), fine(true, calls, "b");
  bridge_.BindiTesselWorld(&failing);
  bridge_.BindiTesselWorld(&fine);
  EXPECT_FALSE(bridge_.CreateWorld());
  EXPECT_FALSE(bridge_.DestroyWorld());
  EXPECT_EQ(calls, (std::vector<std::string>{"create a", "destroy a", "destroy b"}));
  calls.clear();
  bridge_.BindiConnectDisconnect(&failing);
  bridge_.BindiConnectDisconnect(&fine);
  bridge_.OnConnectBridge(4);
  bridge_.OnLoginedBridge(4, 1);
  EXPECT_FALSE(bridge_.OnDisconnectBridge(4));
  EXPECT_EQ(calls, (std::vector<std::string>{"connect 4 a", "connect 4 b", "logined 1 a",
                                             "logined 1 b", "disconnect 4 a", "disconnect 4 b"}));
}

}  // namespace
