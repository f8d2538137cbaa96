#include "tessel/msg/msg_registry.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <vector>

#include "tessel/contracts/baselib.h"
#include "tessel/msg/msg_bindings.h"
#include "tessel/msg/test_doubles.h"

namespace {

using testing_msg::RecordingLink;
using testing_msg::TestBridge;
using testing_msg::TestDistribute;

// Bytes of one received record with the given header, body and total size.
struct Received {
  Received(int type, std::size_t size, unsigned short id = 0) : bytes(size, '\0') {
    stMsg head;
    head.type = static_cast<std::uint16_t>(type);
    head.id = id;
    std::memcpy(bytes.data(), &head, std::min(size, sizeof(head)));
    bind.size = static_cast<std::uint32_t>(size);
    bind.send = &link;
    bind.msg = reinterpret_cast<stMsg*>(bytes.data());
    bind.kind = stBindMsg::kPeerRecord;
  }
  void Put(std::size_t offset, const void* data, std::size_t n) {
    std::memcpy(bytes.data() + offset, data, n);
  }
  void PutInt(std::size_t offset, std::int32_t value) { Put(offset, &value, sizeof(value)); }
  Received(const Received&) = delete;
  Received& operator=(const Received&) = delete;

  RecordingLink link;
  std::vector<char> bytes;
  stBindMsg bind;
};

// A command record as a peer sends it: the text padded to the wire size.
std::unique_ptr<Received> CommandRecord(int cmd, const std::string& text) {
  auto r = std::make_unique<Received>(stMsg_Cmd::s_nType, CmdWireSize(text.size()));
  r->PutInt(4, cmd);
  r->Put(8, text.c_str(), text.size() + 1);
  return r;
}

// Captures what is written to standard output while it lives.
class CaptureCout {
 public:
  CaptureCout() : m_old(std::cout.rdbuf(m_text.rdbuf())) {}
  ~CaptureCout() { std::cout.rdbuf(m_old); }
  std::string Text() const { return m_text.str(); }

 private:
  std::ostringstream m_text;
  std::streambuf* m_old;
};

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

TEST_F(MsgRegistry, InitNumbersTheBuiltInRecordsFrom1001InOrder) {
  EXPECT_EQ(1001, stMsg_Error::s_nType);
  EXPECT_EQ(1002, stMsg_Exception::s_nType);
  EXPECT_EQ(1003, stMsg_Out::s_nType);
  EXPECT_EQ(1004, stMsg_Cmd::s_nType);
  EXPECT_EQ(1005, stMsg_Windows::s_nType);
  EXPECT_EQ(1004, Msg_GetCmdRecord().type);
  EXPECT_STREQ("错误消息", registry.GetName(1001));
  EXPECT_STREQ("异常消息", registry.GetName(1002));
  EXPECT_STREQ("输出消息", registry.GetName(1003));
  EXPECT_STREQ("命令消息", registry.GetName(1004));
  EXPECT_STREQ("windows消息", registry.GetName(1005));
  EXPECT_STREQ("unknow msg", registry.GetName(1006));
  EXPECT_STREQ("unknow msg", registry.GetName(1000));
  EXPECT_STREQ("未知错误", registry.GetErrorText(1004, 3));
  EXPECT_STREQ("无效消息", registry.GetErrorText(999, 3));
  EXPECT_EQ(&bridge, registry.GetBridge());

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
  EXPECT_EQ(ChatException_TypeOverflow, Handle(1000, 12));
  EXPECT_EQ(ChatException_TypeOverflow, Handle(1006, 12));
  EXPECT_EQ(ChatException_TypeOverflow, Handle(0, 12));
  EXPECT_EQ(ChatException_SizeWrong, Handle(1001, 11));
  EXPECT_EQ(ChatException_SizeWrong, Handle(1001, 13));
  EXPECT_EQ(ChatException_SizeWrong, Handle(1002, 16));
  EXPECT_EQ(ChatException_SizeOverflow, Handle(1003, 10244));
  EXPECT_EQ(ChatException_SizeOverflow, Handle(1004, 101377));
  EXPECT_EQ(ChatException_SizeOverflow, Handle(1005, 20));
  // Too short to hold a header at all.
  EXPECT_EQ(ChatException_SizeWrong, Handle(1001, 3));
  EXPECT_EQ(ChatException_OK, Handle(1005, 16));
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
  Received ok(stMsg_Error::s_nType, 12);
  ok.PutInt(4, 9);
  ok.PutInt(8, 0);
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&ok.bind));
  EXPECT_EQ("【成功】: 9\n", bridge.MsgLogText());

  Received failed(stMsg_Error::s_nType, 12);
  failed.PutInt(4, 9);
  failed.PutInt(8, 3);
  bridge.ClearMsgLogText();
  registry.HandleMsg(&failed.bind);
  EXPECT_EQ("【错误】: 3 msg 9 unknow error\n", bridge.MsgLogText());

  SetTraceErrorFunc(&TraceWithMarker);
  bridge.ClearMsgLogText();
  registry.HandleMsg(&failed.bind);
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

  Received failed(stMsg_Error::s_nType, 12);
  failed.PutInt(4, 9);
  failed.PutInt(8, 3);
  registry.HandleMsg(&failed.bind);
  auto cmd = CommandRecord(4, "Ver()");
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
  Received notice(stMsg_Exception::s_nType, 12);
  notice.PutInt(4, 1004);
  notice.PutInt(8, ChatException_NoCmd);
  CaptureCout out;
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&notice.bind));
  const std::string expected =
      "stMsg_ExceptionBind::OnMsg test_bridge\n【异常】 msg 1004 ChatException_NoCmd "
      "没有指令类型的解析\n";
  EXPECT_EQ(expected, out.Text());
  EXPECT_EQ(expected, bridge.MsgLogText());

  // A code outside the table prints the empty text, without reading outside it.
  Received odd(stMsg_Exception::s_nType, 12);
  odd.PutInt(4, 1003);
  odd.PutInt(8, -77);
  bridge.ClearMsgLogText();
  registry.HandleMsg(&odd.bind);
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
  auto cmdRecord = CommandRecord(4, "Ver()");
  Received& cmd = *cmdRecord;
  bridge.m_run = [](unsigned, const char*) { return ChatException_NoPri; };
  EXPECT_EQ(ChatException_NoPri, registry.HandleMsg(&cmd.bind));
  EXPECT_EQ(std::vector<std::string>{"4:Ver()"}, bridge.m_ran);
  EXPECT_EQ(&cmd.link, bridge.m_ranOn);
  EXPECT_EQ(std::vector<unsigned>{20}, bridge.m_logged);
  EXPECT_EQ(std::vector<int>{ChatException_NoPri}, bridge.m_results);
}

TEST_F(MsgRegistry, CommandsNoGroupHandlesGoToTheDistributorWhenThereIsOne) {
  auto cmdRecord = CommandRecord(40, "Move(1,2)");
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
