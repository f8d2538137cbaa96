#include "tessel/msg/msg_registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "tessel/contracts/baselib.h"
#include "tessel/msg/msg_bindings.h"
#include "tessel/msg/test_doubles.h"

namespace {

using testing_msg::CaptureCout;
using testing_msg::TestBridge;
using testing_msg::TestDistribute;
using Received = testing_msg::ReceivedRecord;

class CountingBind : public cMsgBind {
 public:
  CountingBind() : cMsgBind("counting", 0, 0) {}
  HandleChatExceptionEnum OnMsg(iBridge*, stBindMsg*) override {
    ++m_calls;
    return ChatException_OK;
  }
  int m_calls = 0;
};

class MsgRegistry : public ::testing::Test {
 protected:
  // Handles an empty record of that type and size.
  HandleChatExceptionEnum Handle(int type, std::size_t size, unsigned short id = 0) {
    Received record(type, size, id);
    return registry.HandleMsg(&record.bind);
  }

  TestBridge bridge;
  cMsg& registry = bridge.m_msg;
};

// The numbers are part of the wire format: peers send them.
TEST_F(MsgRegistry, InitNumbersTheBuiltInRecordsFrom1001InOrderAndForgetsLaterOnes) {
  EXPECT_EQ(1001, stMsg_Error::s_nType);
  EXPECT_EQ(1002, stMsg_Exception::s_nType);
  EXPECT_EQ(1003, stMsg_Out::s_nType);
  EXPECT_EQ(1004, stMsg_Cmd::s_nType);
  EXPECT_EQ(1005, stMsg_Windows::s_nType);
  EXPECT_EQ(1004, Msg_GetCmdRecord().type);
  CountingBind extra;
  int extraType = 0;
  registry.Register(extraType, &extra);
  EXPECT_EQ(1006, extraType);
  EXPECT_EQ(&extra, registry.GetBind(1006));
  registry.Init(&bridge);
  EXPECT_EQ(1004, stMsg_Cmd::s_nType);
  EXPECT_EQ(nullptr, registry.GetBind(1006));
}

// A peer's record whose size lies about its type is refused before any binding reads it.
TEST_F(MsgRegistry, RecordsOfUnknownTypeOrWrongSizeAreRefusedWithTheirCode) {
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
}

// Texts that do not end inside their record are refused, unread.
TEST_F(MsgRegistry, TextsMustEndInsideTheirRecord) {
  Received text(stMsg_Out::s_nType, OutWireSize(5));
  text.Put(4, "hello", 6);
  CaptureCout out;
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&text.bind));
  EXPECT_EQ("hello", out.Text());
  Received open(stMsg_Out::s_nType, 12);
  open.Put(4, "abcdefgh", 8);
  EXPECT_EQ(ChatException_ParamWrong, registry.HandleMsg(&open.bind));
  EXPECT_EQ("hello", out.Text());

  Received openCmd(stMsg_Cmd::s_nType, 16);
  openCmd.PutInt(4, 4);
  openCmd.Put(8, "Ver()xyz", 8);
  EXPECT_EQ(ChatException_ParamWrong, registry.HandleMsg(&openCmd.bind));
  EXPECT_TRUE(bridge.m_ran.empty());
  EXPECT_TRUE(bridge.m_logged.empty());

  // The longest command text that fits runs whole.
  const std::string longest(101376 - 8 - 1, 'x');
  Received cmd(stMsg_Cmd::s_nType, 101376);
  cmd.PutInt(4, 30);
  cmd.Put(8, longest.c_str(), longest.size() + 1);
  bridge.m_run = [](unsigned, const char*) { return ChatException_OK; };
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&cmd.bind));
  EXPECT_EQ(std::vector<std::string>{"30:" + longest}, bridge.m_ran);
}

TEST_F(MsgRegistry, RecordsAddressedToAnObjectGoToTheObjectBindingWhenOneIsSet) {
  CountingBind objects;
  Received addressed(4321, 40, 5);
  EXPECT_EQ(ChatException_TypeOverflow, registry.HandleMsg(&addressed.bind));
  registry.SetObjBind(&objects);
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&addressed.bind));
  EXPECT_EQ(ChatException_OK, Handle(1005, 16)) << "without an id: by its type";
  EXPECT_EQ(1, objects.m_calls);
  cMsgBind bare("bare", 0, 0);
  int bareType = 0;
  registry.Register(bareType, &bare);
  EXPECT_EQ(ChatException_TypeNoHandle, Handle(bareType, 8));
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
  TestDistribute refusing(false);
  bridge.m_distribute = &refusing;
  EXPECT_EQ(ChatException_DistributeWrong, registry.HandleMsg(&cmd->bind));
  EXPECT_EQ(7, refusing.m_linkId);
  EXPECT_EQ(cmd->bind.size, refusing.m_size);
  TestDistribute accepting(true);
  bridge.m_distribute = &accepting;
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&cmd->bind));
  EXPECT_EQ((std::vector<int>{ChatException_NoPri, 17, 21, 0}), bridge.m_results);
}

// The value of a Lua global number of a script, -1 when it is not a number.
double Global(KLuaScript& script, const char* name) {
  lua_getglobal(script.GetLua(), name);
  const double value = lua_isnumber(script.GetLua(), -1) ? lua_tonumber(script.GetLua(), -1) : -1;
  lua_pop(script.GetLua(), 1);
  return value;
}

TEST_F(MsgRegistry, InstalledScriptsSeeEveryErrorReplyAndEveryCommand) {
  KLuaScript errors("errors");
  errors.DoString("function OnError(msg, error) seen = msg * 1000 + error end");
  KLuaScript commands("commands");
  commands.DoString("function Ver() calls = (calls or 0) + 1 end");
  SetErrorScript(&errors);
  SetCmdScript(&commands);
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
  EXPECT_EQ(9003, Global(errors, "seen"));
  EXPECT_EQ(2, Global(commands, "calls"));
  EXPECT_EQ(3u, bridge.m_ran.size());
}

}  // namespace
