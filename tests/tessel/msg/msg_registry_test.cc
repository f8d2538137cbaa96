#include "tessel/msg/msg_registry.h"

#include <gtest/gtest.h>

#include <memory>
#include <tuple>
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
  // A 12-byte error reply or exception notice: a message number and a code.
  static std::unique_ptr<Received> Notice(int type, std::int32_t msg, std::int32_t code) {
    auto r = std::make_unique<Received>(type, 12);
    r->PutInt(4, msg);
    r->PutInt(8, code);
    return r;
  }

  TestBridge bridge;
  cMsg& registry = bridge.m_msg;
};

TEST_F(MsgRegistry, InitNumbersTheBuiltInRecordsFrom1001InOrder) {
  const std::tuple<int, int, const char*> builtIn[] = {
      {stMsg_Error::s_nType, 1001, "错误消息"},
      {stMsg_Exception::s_nType, 1002, "异常消息"},
      {stMsg_Out::s_nType, 1003, "输出消息"},
      {stMsg_Cmd::s_nType, 1004, "命令消息"},
      {stMsg_Windows::s_nType, 1005, "windows消息"},
      {1000, 1000, "unknow msg"},
      {1006, 1006, "unknow msg"}};
  for (const auto& [type, number, name] : builtIn) {
    EXPECT_EQ(number, type);
    EXPECT_STREQ(name, registry.GetName(number)) << number;
  }
  EXPECT_EQ(1004, Msg_GetCmdRecord().type);
  EXPECT_STREQ("未知错误", registry.GetErrorText(1004, 3));
  EXPECT_STREQ("无效消息", registry.GetErrorText(999, 3));

  CountingBind extra;
  int extraType = 0;
  registry.Register(extraType, &extra);
  EXPECT_EQ(1006, extraType);
  EXPECT_EQ(&extra, registry.GetBind(1006));
  // Initialising again assigns the same numbers and forgets later registrations.
  registry.Init(&bridge);
  EXPECT_EQ(1004, stMsg_Cmd::s_nType);
  EXPECT_EQ(nullptr, registry.GetBind(1006));
}

TEST_F(MsgRegistry, RecordsOfUnknownTypeOrWrongSizeAreRefusedWithTheirCode) {
  // Each result with the (type, size) pairs that give it; 3 bytes cannot hold a header.
  using Records = std::vector<std::pair<int, std::size_t>>;
  const std::pair<HandleChatExceptionEnum, Records> cases[] = {
      {ChatException_TypeOverflow, {{1000, 12}, {1006, 12}, {0, 12}}},
      {ChatException_SizeWrong, {{1001, 11}, {1001, 13}, {1002, 16}, {1001, 3}}},
      {ChatException_SizeOverflow, {{1003, 10244}, {1004, 101377}, {1005, 20}}},
      {ChatException_OK, {{1005, 16}}}};
  for (const auto& [result, records] : cases) {
    for (const auto& [type, size] : records) EXPECT_EQ(result, Handle(type, size)) << type;
  }
}

TEST_F(MsgRegistry, RecordsAtTheLargestSizeOfTheirTypeAreHandled) {
  Received out(stMsg_Out::s_nType, 10240);
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&out.bind));

  const std::string longest(101376 - 8 - 1, 'x');
  Received cmd(stMsg_Cmd::s_nType, 101376);
  cmd.PutInt(4, 30);
  cmd.Put(8, longest.c_str(), longest.size() + 1);
  bridge.m_run = [](unsigned, const char*) { return ChatException_OK; };
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&cmd.bind));
  ASSERT_EQ(1u, bridge.m_ran.size());
  EXPECT_EQ("30:" + longest, bridge.m_ran[0]);
}

TEST_F(MsgRegistry, RecordsAddressedToAnObjectGoToTheObjectBindingWhenOneIsSet) {
  CountingBind objects;
  Received addressed(4321, 40, 5);
  EXPECT_EQ(ChatException_TypeOverflow, registry.HandleMsg(&addressed.bind));
  registry.SetObjBind(&objects);
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&addressed.bind));
  EXPECT_EQ(1, objects.m_calls);
  // Without an id the record is dispatched by its type.
  EXPECT_EQ(ChatException_OK, Handle(1005, 16));
  EXPECT_EQ(1, objects.m_calls);
  // The base binding has no handler.
  cMsgBind bare("bare", 0, 0);
  int bareType = 0;
  registry.Register(bareType, &bare);
  EXPECT_EQ(ChatException_TypeNoHandle, Handle(bareType, 8));
}

void TraceWithMarker(stMsg_Error* msg, std::ostream& os) {
  os << "traced " << msg->msg;
}

TEST_F(MsgRegistry, ErrorRepliesAreTracedToTheMessageLog) {
  auto ok = Notice(stMsg_Error::s_nType, 9, 0);
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&ok->bind));
  EXPECT_EQ("【成功】: 9\n", bridge.MsgLogText());

  auto failed = Notice(stMsg_Error::s_nType, 9, 3);
  bridge.ClearMsgLogText();
  registry.HandleMsg(&failed->bind);
  EXPECT_EQ("【错误】: 3 msg 9 unknow error\n", bridge.MsgLogText());

  SetTraceErrorFunc(&TraceWithMarker);
  bridge.ClearMsgLogText();
  registry.HandleMsg(&failed->bind);
  SetTraceErrorFunc(nullptr);
  EXPECT_EQ("traced 9", bridge.MsgLogText());
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

  auto failed = Notice(stMsg_Error::s_nType, 9, 3);
  registry.HandleMsg(&failed->bind);
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

TEST_F(MsgRegistry, ExceptionNoticesAreWrittenToStandardOutputAndTheMessageLog) {
  auto notice = Notice(stMsg_Exception::s_nType, 1004, ChatException_NoCmd);
  CaptureCout out;
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&notice->bind));
  const std::string expected =
      "stMsg_ExceptionBind::OnMsg test_bridge\n【异常】 msg 1004 ChatException_NoCmd "
      "没有指令类型的解析\n";
  EXPECT_EQ(expected, out.Text());
  EXPECT_EQ(expected, bridge.MsgLogText());

  // A code outside the table prints the empty text, without reading outside it.
  auto odd = Notice(stMsg_Exception::s_nType, 1003, -77);
  bridge.ClearMsgLogText();
  registry.HandleMsg(&odd->bind);
  EXPECT_EQ("stMsg_ExceptionBind::OnMsg test_bridge\n【异常】 msg 1003 \n", bridge.MsgLogText());
}

TEST_F(MsgRegistry, OutputTextGoesToTheLogAndBareToStandardOutput) {
  Received text(stMsg_Out::s_nType, OutWireSize(5));
  text.Put(4, "hello", 6);
  CaptureCout out;
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&text.bind));
  EXPECT_EQ("hello", out.Text());
  EXPECT_EQ("【Out】 [hello]\n", bridge.MsgLogText());

  // A text that does not end inside the record is refused, unread.
  Received open(stMsg_Out::s_nType, 12);
  open.Put(4, "abcdefgh", 8);
  EXPECT_EQ(ChatException_ParamWrong, registry.HandleMsg(&open.bind));
  EXPECT_EQ("hello", out.Text());
}

TEST_F(MsgRegistry, CommandRecordsAreLoggedRunOnTheirLinkAndTheirResultKept) {
  auto cmdRecord = Received::Command(4, "Ver()");
  Received& cmd = *cmdRecord;
  bridge.m_run = [](unsigned, const char*) { return ChatException_NoPri; };
  EXPECT_EQ(ChatException_NoPri, registry.HandleMsg(&cmd.bind));
  EXPECT_EQ(std::vector<std::string>{"4:Ver()"}, bridge.m_ran);
  EXPECT_EQ(&cmd.link, bridge.m_ranOn);
  EXPECT_EQ(std::vector<unsigned>{20}, bridge.m_logged);
  EXPECT_EQ(std::vector<int>{ChatException_NoPri}, bridge.m_results);
}

TEST_F(MsgRegistry, CommandsNoGroupHandlesGoToTheDistributorWhenThereIsOne) {
  auto cmdRecord = Received::Command(40, "Move(1,2)");
  Received& cmd = *cmdRecord;
  EXPECT_EQ(ChatException_NoCmd, registry.HandleMsg(&cmd.bind));

  TestDistribute refusing(false);
  bridge.m_distribute = &refusing;
  EXPECT_EQ(ChatException_DistributeWrong, registry.HandleMsg(&cmd.bind));
  EXPECT_EQ(7, refusing.m_linkId);
  EXPECT_EQ(cmd.bind.size, refusing.m_size);

  TestDistribute accepting(true);
  bridge.m_distribute = &accepting;
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&cmd.bind));
  EXPECT_EQ((std::vector<int>{17, 21, 0}), bridge.m_results);
}

TEST_F(MsgRegistry, MalformedCommandRecordsAreRefusedBeforeAnythingReadsTheirText) {
  Received shortRecord(stMsg_Cmd::s_nType, 8);
  shortRecord.PutInt(4, 4);
  EXPECT_EQ(ChatException_SizeWrong, registry.HandleMsg(&shortRecord.bind));
  Received open(stMsg_Cmd::s_nType, 16);
  open.PutInt(4, 4);
  open.Put(8, "Ver()xyz", 8);
  EXPECT_EQ(ChatException_ParamWrong, registry.HandleMsg(&open.bind));
  EXPECT_TRUE(bridge.m_ran.empty());
  EXPECT_TRUE(bridge.m_logged.empty());
}

}  // namespace
