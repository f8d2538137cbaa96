#include "tessel/msg/msg_registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tessel/contracts/baselib.h"
#include "tessel/msg/msg_bindings.h"
#include "tessel/msg/test_doubles.h"

namespace {

using testing_msg::TestBridge;
using testing_msg::TestDistribute;
using Received = testing_msg::ReceivedRecord;

struct CountingBind : cMsgBind {
  CountingBind() : cMsgBind("counting", 0, 0) {}
  HandleChatExceptionEnum OnMsg(iBridge*, stBindMsg*) override {
    ++m_calls;
    return ChatException_OK;
  }
  int m_calls = 0;
};

class MsgRegistry : public ::testing::Test {
 protected:
  // Handles a record of that type and size whose body is all `fill`.
  HandleChatExceptionEnum Handle(int type, std::size_t size, char fill = '\0') {
    Received record(type, size, 0, fill);
    return registry.HandleMsg(&record.bind);
  }

  TestBridge bridge;
  cMsg& registry = bridge.m_msg;
};

// The numbers are part of the wire format: peers send them.
TEST_F(MsgRegistry,
       InitNumbersTheBuiltInRecordsFrom1001ForgetsLaterOnesAndObjectsHaveTheirBinding) {
  int expected = 1001;
  for (int type : {stMsg_Error::s_nType, stMsg_Exception::s_nType, stMsg_Out::s_nType,
                   stMsg_Cmd::s_nType, stMsg_Windows::s_nType})
    EXPECT_EQ(expected++, type);
  EXPECT_EQ(1004, Msg_GetCmdRecord().type);
  cMsgBind bare("bare", 0, 0);
  int bareType = 0;
  registry.Register(bareType, &bare);
  EXPECT_EQ(1006, bareType);
  EXPECT_EQ(ChatException_TypeNoHandle, Handle(bareType, 8));
  registry.Init(&bridge);
  EXPECT_EQ(nullptr, registry.GetBind(1006));
  // Records addressed to an object (an id) go to the object binding, when one is set.
  CountingBind objects;
  Received addressed(4321, 40, 5);
  EXPECT_EQ(ChatException_TypeOverflow, registry.HandleMsg(&addressed.bind));
  registry.SetObjBind(&objects);
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&addressed.bind));
  EXPECT_EQ(ChatException_OK, Handle(1005, 16)) << "without an id: by its type";
  EXPECT_EQ(1, objects.m_calls);
}

// A peer's record whose size lies about its type, or whose text does not end inside it, is
// refused before any binding reads it.
TEST_F(MsgRegistry, RecordsOfUnknownTypeWrongSizeOrOpenTextAreRefusedWithTheirCode) {
  // Each result with the (type, size) pairs that give it; 3 bytes cannot hold a header.
  using Records = std::vector<std::pair<int, std::size_t>>;
  const std::pair<HandleChatExceptionEnum, Records> cases[] = {
      {ChatException_TypeOverflow, {{1000, 12}, {1006, 12}, {0, 12}}},
      {ChatException_SizeWrong, {{1001, 11}, {1001, 13}, {1002, 16}, {1001, 3}, {1004, 8}}},
      {ChatException_SizeOverflow, {{1003, 10244}, {1004, 101377}, {1005, 20}}},
      {ChatException_OK, {{1005, 16}, {1003, 10240}}}};
  for (const auto& [result, records] : cases) {
    for (const auto& [type, size] : records)
      EXPECT_EQ(result, Handle(type, size)) << type << " of " << size;
  }
  // Bodies without an end mark: an output text, and a command text.
  testkit::cStdoutCapture out;
  EXPECT_EQ(ChatException_ParamWrong, Handle(stMsg_Out::s_nType, 12, 'x'));
  EXPECT_EQ(ChatException_ParamWrong, Handle(stMsg_Cmd::s_nType, 16, 'x'));
  EXPECT_EQ("", out.Text());
  EXPECT_TRUE(bridge.m_ran.empty() && bridge.m_logged.empty());
  // The longest command text that fits runs whole.
  const std::string longest(101376 - 8 - 1, 'x');
  auto cmd = Received::Command(30, longest, 101376);
  bridge.m_run = [](unsigned, const char*) { return ChatException_OK; };
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&cmd->bind));
  EXPECT_EQ(std::vector<std::string>{"30:" + longest}, bridge.m_ran);
}

TEST_F(MsgRegistry, CommandsAreLoggedRunOnTheirLinkAndOthersGoToTheDistributor) {
  auto cmd = Received::Command(4, "Ver()");
  bridge.m_run = [](unsigned, const char*) { return ChatException_NoPri; };
  EXPECT_EQ(ChatException_NoPri, registry.HandleMsg(&cmd->bind));
  EXPECT_EQ(std::vector<std::string>{"4:Ver()"}, bridge.m_ran);
  EXPECT_EQ(&cmd->link, bridge.m_ranOn);
  EXPECT_EQ(std::vector<unsigned>{20}, bridge.m_logged);
  // What no group handles goes to the distributor, when there is one.
  bridge.m_run = nullptr;
  EXPECT_EQ(ChatException_NoCmd, registry.HandleMsg(&cmd->bind));
  TestDistribute distribute;
  bridge.m_distribute = &distribute;
  EXPECT_EQ(ChatException_DistributeWrong, registry.HandleMsg(&cmd->bind));
  EXPECT_EQ(7, distribute.m_linkId);
  EXPECT_EQ(cmd->bind.size, distribute.m_size);
  distribute.m_accept = true;
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&cmd->bind));
  EXPECT_EQ((std::vector<int>{ChatException_NoPri, 17, 21, 0}), bridge.m_results);
}

TEST_F(MsgRegistry, InstalledScriptsSeeEveryErrorReplyAndEveryCommand) {
  KLuaScript script("seen");
  script.DoString(
      "function OnError(m, e) seen = m * 1000 + e end "
      "function Ver() calls = (calls or 0) + 1 end");
  SetErrorScript(&script);
  SetCmdScript(&script);
  Received failed(stMsg_Error::s_nType, 12);
  failed.PutInt(4, 9);
  failed.PutInt(8, 3);
  registry.HandleMsg(&failed.bind);
  auto cmd = Received::Command(4, "Ver()");
  bridge.m_run = [](unsigned, const char*) { return ChatException_OK; };
  registry.HandleMsg(&cmd->bind);
  registry.HandleMsg(&cmd->bind);
  SetErrorScript(nullptr);
  SetCmdScript(nullptr);
  registry.HandleMsg(&cmd->bind);
  EXPECT_EQ(3u, bridge.m_ran.size());
  EXPECT_EQ(0, script.DoString("assert(seen == 9003 and calls == 2)"));
}

}  // namespace
