#include "tessel/msg/ostream_cmd.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <lua.hpp>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "tessel/contracts/netlib.h"
#include "tessel/link/cmd_send.h"
#include "tessel/msg/sync_obj.h"
#include "tessel/msg/test_doubles.h"

namespace {

using testing_msg::CaptureCout;
using testing_msg::RecordingLink;
using testing_msg::TestBridge;

// A listening server that records what it is asked to send to all its links.
class RecordingServer : public iServer {
 public:
  virtual ~RecordingServer() = default;
  void Trace(std::ostream&) override {}
  void Release() override {}
  const char* GetName() override { return "gate"; }
  int Init(const void*, iCallbackNet*) override { return 1; }
  void GetInfo(stServerInfo&) override {}
  void SetIP(const std::vector<std::string>&) override {}
  void Stop() override {}
  int SendToAll(const stMsg* msg, unsigned long size) override {
    m_sent.emplace_back(reinterpret_cast<const char*>(msg), size);
    return 3;
  }
  bool IsTraceSendCmd() override { return m_trace; }
  void ForbitAccept() override {}
  bool IsTraceRecieveCmd() override { return false; }
  iServerLink* GetLink(unsigned int) override { return nullptr; }
  bool IsForbitAccept() override { return false; }
  unsigned long GetUnsentBytes() override { return 0; }
  const char* GetIP() override { return "127.0.0.1"; }
  unsigned short GetPort() override { return 1; }
  unsigned long long GetRecvBytes() override { return 0; }
  unsigned long long GetSendBytes() override { return 0; }
  unsigned long long GetRecvRecords() override { return 0; }
  unsigned long long GetSendRecords() override { return 0; }
  void TraceSendCmd(bool on) override { m_trace = on; }
  void TraceRecieveCmd(bool) override {}
  void CheckLinks(const char*) override {}
  int GetLinkNum() override { return 0; }

  std::vector<std::string> m_sent;
  bool m_trace = false;
};

// A peer's command record as the registry receives it.
struct ReceivedCmd : testing_msg::ReceivedRecord {
  ReceivedCmd(int level, const std::string& text)
      : ReceivedRecord(stMsg_Cmd::s_nType, CmdWireSize(text.size())) {
    PutInt(4, level);
    Put(8, text.c_str(), text.size() + 1);
  }
  stBindMsg* Bind() { return &bind; }
};

// Runs a returned command in a real Lua state whose Output keeps its argument.
std::string RunOutputOnRequester(const std::string& command) {
  std::unique_ptr<lua_State, void (*)(lua_State*)> L(luaL_newstate(), lua_close);
  luaL_dostring(L.get(), "function Output(t) received = t end");
  if (luaL_dostring(L.get(), command.c_str()) != 0)
    return "error: " + std::string(lua_tostring(L.get(), -1));
  lua_getglobal(L.get(), "received");
  const char* text = lua_tostring(L.get(), -1);
  return text != nullptr ? text : "(nothing)";
}

class OstreamCmd : public ::testing::Test {
 protected:
  // Trace lines are compared as plain text, without colour sequences.
  OstreamCmd() { setenv("TESSEL_COLOR", "0", 1); }
  ~OstreamCmd() override { get_gout().ClearCurMsg(); }
  TestBridge bridge;
};

TEST_F(OstreamCmd, ARemoteCommandsOutputComesBackAsOneOutputReplyAtItsLevel) {
  ReceivedCmd cmd(4, "Ver()");
  bridge.m_run = [](unsigned, const char*) {
    get_gout() << "version 1" << std::endl;
    get_gout() << "built " << 2026 << "\n";
    return ChatException_OK;
  };
  CaptureCout out;
  EXPECT_EQ(ChatException_OK, bridge.GetMsg().HandleMsg(cmd.Bind()));
  EXPECT_EQ("", out.Text());
  ASSERT_EQ(1u, cmd.link.m_sent.size());
  const std::string& reply = cmd.link.m_sent[0];
  EXPECT_EQ(4, RecordingLink::SentCmd(reply));
  EXPECT_EQ("Output([[version 1\nbuilt 2026\n]])", RecordingLink::SentText(reply));
  EXPECT_EQ(CmdWireSize(RecordingLink::SentText(reply).size()), reply.size());
  EXPECT_EQ("version 1\nbuilt 2026\n", RunOutputOnRequester(RecordingLink::SentText(reply)));
  // Serving is over: output goes to standard output again.
  EXPECT_TRUE(get_gout().IsLocalCmd());
  EXPECT_EQ(nullptr, get_gout().GetCurMsg());
}

TEST_F(OstreamCmd, OutputHoldingClosingBracketsReachesTheRequesterWhole) {
  const std::string printed = "a]]b ]=] c]==]\n]] Output('forged') --";
  ReceivedCmd cmd(5, "Dump()");
  bridge.m_run = [&](unsigned, const char*) {
    get_gout() << printed.c_str();
    return ChatException_OK;
  };
  bridge.GetMsg().HandleMsg(cmd.Bind());
  ASSERT_EQ(1u, cmd.link.m_sent.size());
  EXPECT_EQ(printed, RunOutputOnRequester(RecordingLink::SentText(cmd.link.m_sent[0])));
}

TEST_F(OstreamCmd, ACommandThatPrintsNothingOrIsRefusedSendsNoReply) {
  ReceivedCmd quiet(4, "Quiet()");
  bridge.m_run = [](unsigned, const char*) { return ChatException_OK; };
  bridge.GetMsg().HandleMsg(quiet.Bind());
  EXPECT_TRUE(quiet.link.m_sent.empty());

  ReceivedCmd refused(9, "Ver()");
  bridge.m_run = [](unsigned, const char*) { return ChatException_NotLogin; };
  EXPECT_EQ(ChatException_NotLogin, bridge.GetMsg().HandleMsg(refused.Bind()));
  EXPECT_TRUE(refused.link.m_sent.empty());
}

TEST_F(OstreamCmd, WhileServingTheRequesterIsKnownAndAfterwardsEverythingIsCleared) {
  ReceivedCmd cmd(6, "Who()");
  SetReturnPath("SendPathCmd('a','b','%3%',%1%,[=[%2%]=])");
  bridge.m_run = [&](unsigned, const char*) {
    ostreamCmd& gout = get_gout();
    EXPECT_FALSE(gout.IsLocalCmd());
    EXPECT_EQ(&bridge, gout.GetBridge());
    EXPECT_EQ(&cmd.link, gout.GetLink());
    EXPECT_EQ(7u, gout.GetLinkID());
    EXPECT_EQ(&cmd.link, gout.GetServerLink());
    EXPECT_STREQ("127.0.0.1", gout.GetLinkIP());
    EXPECT_EQ(0, gout.GetDisconnect());
    EXPECT_STREQ("Who()", gout.GetCmdBuffer());
    EXPECT_EQ(6, GetServingCmdLevel());
    EXPECT_EQ(1, gout.SendBackMsg());
    return ChatException_OK;
  };
  bridge.GetMsg().HandleMsg(cmd.Bind());
  ASSERT_EQ(1u, cmd.link.m_sent.size());
  EXPECT_EQ("Who()", RecordingLink::SentText(cmd.link.m_sent[0]));
  EXPECT_EQ("", GetReturnPath());
  EXPECT_EQ(nullptr, get_gout().GetLink());
  EXPECT_EQ(0u, get_gout().GetLinkID());
  EXPECT_EQ(nullptr, get_gout().GetServerLink());
  EXPECT_EQ(nullptr, get_gout().GetCmdBuffer());
}

TEST_F(OstreamCmd, LocalCommandsWriteToStandardOutputAndCannotActForARequester) {
  ostreamCmd& gout = get_gout();
  CaptureCout out;
  gout << "local " << 1 << std::endl;
  static_cast<std::ostream&>(gout) << "two";
  EXPECT_EQ("local 1\ntwo", out.Text());
  EXPECT_EQ("", gout.GetCollected());
  EXPECT_EQ(ChatException_InternalWrong, gout.RunCmd(3, "Ver()"));
  EXPECT_EQ(0, gout.SendBackCmd(3, "Ver()"));
  EXPECT_EQ(0, gout.SendBackMsg());
  gout.DoCmd(3, "Ver()");
  EXPECT_TRUE(bridge.m_ran.empty());
}

TEST_F(OstreamCmd, FlushOutputSendsWhatWasCollectedThroughASyncObjectAndKeepsServing) {
  ReceivedCmd cmd(8, "Stream()");
  RecordingLink objectLink;
  cSyncObj obj(&objectLink, 12);
  bridge.m_run = [&](unsigned, const char*) {
    get_gout() << "part one";
    get_gout().FlushOutput(&obj);
    get_gout().FlushOutput(&obj);
    EXPECT_EQ("", get_gout().GetCollected());
    EXPECT_FALSE(get_gout().IsLocalCmd());
    get_gout() << "part two";
    return ChatException_OK;
  };
  bridge.GetMsg().HandleMsg(cmd.Bind());
  ASSERT_EQ(1u, objectLink.m_sent.size());
  EXPECT_EQ(12u, RecordingLink::SentId(objectLink.m_sent[0]));
  EXPECT_EQ(8, RecordingLink::SentCmd(objectLink.m_sent[0]));
  EXPECT_EQ("Output([[part one]])", RecordingLink::SentText(objectLink.m_sent[0]));
  ASSERT_EQ(1u, cmd.link.m_sent.size());
  EXPECT_EQ("Output([[part two]])", RecordingLink::SentText(cmd.link.m_sent[0]));
}

TEST_F(OstreamCmd, SendCmdTracesWhenTheLinkTracesAndNeverSendsARefusedText) {
  RecordingLink link(3, "global");
  CaptureCout out;
  EXPECT_EQ(1, SendCmd(&link, 4, "Ver()"));
  EXPECT_EQ("", out.Text());
  link.m_traceSend = true;
  EXPECT_EQ(1, SendCmd(&link, 4, std::string("Ver()")));
  EXPECT_EQ("[TraceSendCmd Link]\nglobal id 3 cmd 4 Ver()\n", out.Text());
  ASSERT_EQ(2u, link.m_sent.size());
  EXPECT_EQ("Ver()", RecordingLink::SentText(link.m_sent[1]));
  link.m_traceSend = false;
  EXPECT_EQ(0, SendCmd(&link, 4, std::string(stMsg_Cmd::kTextCapacity, 'x')));
  EXPECT_EQ(2u, link.m_sent.size());
  EXPECT_EQ(0, SendCmd(nullptr, 4, "Ver()"));
}

TEST_F(OstreamCmd, SendServerCmdSendsToEveryLinkWithTheServersTrace) {
  RecordingServer server;
  CaptureCout out;
  EXPECT_EQ(3, SendServerCmd(&server, 5, "Ver()"));
  EXPECT_EQ("", out.Text());
  server.TraceSendCmd(true);
  EXPECT_EQ(3, SendServerCmd(&server, 5, std::string("Top()")));
  EXPECT_EQ("[TraceSendCmd Server]\ngate cmd 5 Top()\n", out.Text());
  ASSERT_EQ(2u, server.m_sent.size());
  EXPECT_EQ(5, RecordingLink::SentCmd(server.m_sent[1]));
  EXPECT_EQ("Top()", RecordingLink::SentText(server.m_sent[1]));
  EXPECT_EQ(0, SendServerCmd(&server, 5, std::string(stMsg_Cmd::kTextCapacity, 'x')));
  EXPECT_EQ(2u, server.m_sent.size());
}

}  // namespace
