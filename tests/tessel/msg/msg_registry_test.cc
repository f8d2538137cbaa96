#include "tessel/msg/msg_registry.h"

#include <gtest/gtest.h>

#include <lua.hpp>
#include <memory>
#include <vector>

#include "tessel/contracts/baselib.h"
#include "tessel/msg/msg_bindings.h"
#include "tessel/msg/ostream_cmd.h"
#include "tessel/msg/sync_obj.h"
#include "testkit/bridge_double.h"
#include "testkit/in_order.h"
#include "testkit/stdout_capture.h"

namespace {

using testkit::cCountingBind;
using testkit::cRecordingLink;

// Bytes of one record received from a peer over `link`: the header, then `fill` up to `size`.
struct stReceived {
  stReceived(int type, std::size_t size, unsigned short id = 0, char fill = '\0')
      : bytes(size, fill),
        bind{static_cast<std::uint32_t>(size), &link, reinterpret_cast<stMsg*>(bytes.data()),
             stBindMsg::kPeerRecord} {
    const stMsg head{static_cast<std::uint16_t>(type), id};
    std::memcpy(bytes.data(), &head, std::min(size, sizeof(head)));
  }
  // A command record as a peer sends it: the text padded to the wire size.
  static std::unique_ptr<stReceived> Command(int cmd, const std::string& text,
                                             std::size_t size = 0) {
    auto r =
        std::make_unique<stReceived>(stMsg_Cmd::s_nType, size ? size : CmdWireSize(text.size()));
    r->Put(4, &cmd, 4);
    r->Put(8, text.c_str(), text.size() + 1);
    return r;
  }
  void Put(std::size_t offset, const void* data, std::size_t n) {
    std::memcpy(bytes.data() + offset, data, n);
  }
  cRecordingLink link;
  std::vector<char> bytes;
  stBindMsg bind;
};

class MsgRegistry : public ::testing::Test {
 protected:
  ~MsgRegistry() override { get_gout().ClearCurMsg(); }
  // Handles a record of that type and size whose body is all `fill`.
  HandleChatExceptionEnum Handle(int type, std::size_t size, char fill = '\0') {
    stReceived record(type, size, 0, fill);
    return registry.HandleMsg(&record.bind);
  }

  testkit::cBridgeDouble bridge;
  cMsg& registry = bridge.m_msg;
};

// Runs a returned command in a real Lua state whose Output keeps its argument.
std::string RunOutputOnRequester(const std::string& command) {
  KLuaScript lua("requester");
  lua.DoString(("function Output(t) received = t end " + command).c_str());
  lua_getglobal(lua.GetLua(), "received");
  size_t size = 0;
  const char* text = lua_tolstring(lua.GetLua(), -1, &size);
  return text != nullptr ? std::string(text, size) : "(nothing)";
}

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
  cCountingBind objects;
  stReceived addressed(4321, 40, 5);
  EXPECT_EQ(ChatException_TypeOverflow, registry.HandleMsg(&addressed.bind));
  registry.SetObjBind(&objects);
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&addressed.bind));
  EXPECT_EQ(ChatException_OK, Handle(1005, 16)) << "without an id: by its type";
  EXPECT_EQ(1, objects.calls);
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
  for (const auto& [result, records] : cases)
    for (const auto& [type, size] : records)
      EXPECT_EQ(result, Handle(type, size)) << type << " of " << size;
  // Bodies without an end mark: an output text, and a command text.
  testkit::cStdoutCapture out;
  EXPECT_EQ(ChatException_ParamWrong, Handle(stMsg_Out::s_nType, 12, 'x'));
  EXPECT_EQ(ChatException_ParamWrong, Handle(stMsg_Cmd::s_nType, 16, 'x'));
  EXPECT_EQ("", out.Text());
  EXPECT_TRUE(bridge.m_ran.empty());
  // The longest command text a sender takes runs whole; a record one text byte longer is refused.
  const std::string longest(stMsg_Cmd::kMaxTextLength, 'x');
  auto cmd = stReceived::Command(30, longest);
  bridge.m_run = [](unsigned, const char*) { return ChatException_OK; };
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&cmd->bind));
  EXPECT_EQ(std::vector<std::string>{"30:" + longest}, bridge.m_ran);
  EXPECT_EQ(ChatException_SizeOverflow,
            registry.HandleMsg(&stReceived::Command(30, longest + "x")->bind));
}

// A peer's output text reaches the console and the link's log without its terminal controls.
TEST_F(MsgRegistry, APeersOutputTextIsShownWithoutItsTerminalControls) {
  const std::string text = "a\33]52;c;aGk=\7b\33[2J\302\2330;t\7c";
  stReceived record(stMsg_Out::s_nType, 4 + text.size() + 1);
  record.Put(4, text.c_str(), text.size() + 1);
  testkit::cStdoutCapture out;
  EXPECT_EQ(ChatException_OK, registry.HandleMsg(&record.bind));
  EXPECT_EQ("abc", out.Text());
}

TEST_F(MsgRegistry, TheErrorScriptSeesEveryErrorReply) {
  KLuaScript script("seen");
  script.DoString("function OnError(m, e) seen = (seen or 0) * 10000 + m * 1000 + e end");
  SetErrorScript(&script);
  stReceived failed(stMsg_Error::s_nType, 12);
  const int error[] = {9, 3};
  failed.Put(4, error, 8);
  registry.HandleMsg(&failed.bind);
  registry.HandleMsg(&failed.bind);
  SetErrorScript(nullptr);
  registry.HandleMsg(&failed.bind);
  EXPECT_EQ(0, script.DoString("assert(seen == 90039003)"));
}

// What a command from a link prints goes back to the requester as one Output command of the
// command's level; text that closes Lua long brackets cannot forge a second call. FlushOutput
// sends what was collected so far through a sync object and serving goes on.
TEST_F(MsgRegistry, ARemoteCommandsOutputComesBackWholeAsOneOutputReplyAtItsLevel) {
  const std::string printed = "a]]b ]=] c]==]\n]] Output('forged') --";
  auto cmd = stReceived::Command(4, "Dump()");
  cRecordingLink objectLink;
  cSyncObj obj(&objectLink, 12);
  bridge.m_run = [&](unsigned, const char*) {
    ostreamCmd& gout = get_gout();
    EXPECT_FALSE(gout.IsLocalCmd());
    EXPECT_EQ(&cmd->link, gout.GetLink());
    EXPECT_EQ(4, GetServingCmdLevel());
    gout << "part one";
    gout.FlushOutput(&obj);
    gout.FlushOutput(&obj);
    gout << printed.c_str() << 2026 << std::endl;
    return ChatException_OK;
  };
  testkit::cStdoutCapture out;
  EXPECT_EQ(ChatException_OK, bridge.GetMsg().HandleMsg(&cmd->bind));
  EXPECT_EQ("", out.Text());
  ASSERT_EQ(1u, cmd->link.m_sent.size());
  const std::string& reply = cmd->link.m_sent[0];
  EXPECT_EQ(4, cRecordingLink::SentCmd(reply));
  EXPECT_EQ(CmdWireSize(cRecordingLink::SentText(reply).size()), reply.size());
  EXPECT_EQ(printed + "2026\n", RunOutputOnRequester(cRecordingLink::SentText(reply)));
  ASSERT_EQ(1u, objectLink.m_sent.size());
  EXPECT_EQ(12u, cRecordingLink::SentId(objectLink.m_sent[0]));
  EXPECT_EQ(4, cRecordingLink::SentCmd(objectLink.m_sent[0]));
  EXPECT_EQ("Output([[part one]])", cRecordingLink::SentText(objectLink.m_sent[0]));
  // Serving is over: output goes to standard output again, and nothing acts for a requester.
  EXPECT_TRUE(get_gout().IsLocalCmd());
  get_gout() << "local " << 1;
  EXPECT_EQ("local 1", out.Text());
  EXPECT_EQ(ChatException_InternalWrong, get_gout().RunCmd(3, "Ver()"));
  EXPECT_EQ(0, get_gout().SendBackCmd(3, "Ver()"));
  EXPECT_EQ(0, get_gout().SendBackMsg());
  EXPECT_EQ(1u, bridge.m_ran.size());
  // A piece its link does not take ends the flush or the answer, and that is said.
  objectLink.m_sendResult = cmd->link.m_sendResult = 0;
  bridge.GetMsg().HandleMsg(&cmd->bind);
  EXPECT_NE(out.Text().find("#12: 1 of 1 pieces not sent"), std::string::npos);
  EXPECT_TRUE(testkit::InOrder(out.Text(),
                               {"1 of 1 pieces left out (the requester did not take piece 1)"}));
}

// Output longer than one record comes back over several, output holding NUL bytes as a call
// that still reads; the requester puts together exactly what was printed.
TEST_F(MsgRegistry, LongOutputAndOutputWithNulBytesComeBackWhole) {
  std::string lines;
  while (lines.size() < 3 * stMsg_Cmd::kTextCapacity)
    lines += "line ]] " + std::to_string(lines.size()) + "\n";
  for (const std::string& printed : {lines, std::string(250000, 'x'), std::string("a\0b]]\n", 6)}) {
    auto cmd = stReceived::Command(4, "Dump()");
    bridge.m_run = [&](unsigned, const char*) {
      get_gout() << printed;
      return ChatException_OK;
    };
    EXPECT_EQ(ChatException_OK, bridge.GetMsg().HandleMsg(&cmd->bind));
    std::string back;
    for (const std::string& reply : cmd->link.m_sent)
      back += RunOutputOnRequester(cRecordingLink::SentText(reply));
    EXPECT_EQ(back, printed) << cmd->link.m_sent.size() << " records";
  }
}

}  // namespace
