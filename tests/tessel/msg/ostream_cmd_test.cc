#include "tessel/msg/ostream_cmd.h"

#include <gtest/gtest.h>

#include <lua.hpp>
#include <memory>
#include <string>

#include "tessel/msg/sync_obj.h"
#include "tessel/msg/test_doubles.h"

namespace {

using testing_msg::ReceivedRecord;
using testing_msg::RecordingLink;
using testing_msg::TestBridge;

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
  ~OstreamCmd() override { get_gout().ClearCurMsg(); }
  TestBridge bridge;
};

// What a command from a link prints goes back to the requester as one Output command of the
// command's level; text that closes Lua long brackets cannot forge a second call.
TEST_F(OstreamCmd, ARemoteCommandsOutputComesBackWholeAsOneOutputReplyAtItsLevel) {
  const std::string printed = "a]]b ]=] c]==]\n]] Output('forged') --";
  auto cmd = ReceivedRecord::Command(4, "Dump()");
  bridge.m_run = [&](unsigned, const char*) {
    ostreamCmd& gout = get_gout();
    EXPECT_FALSE(gout.IsLocalCmd());
    EXPECT_EQ(&cmd->link, gout.GetLink());
    EXPECT_EQ(4, GetServingCmdLevel());
    gout << printed.c_str() << 2026 << std::endl;
    return ChatException_OK;
  };
  testkit::cStdoutCapture out;
  EXPECT_EQ(ChatException_OK, bridge.GetMsg().HandleMsg(&cmd->bind));
  EXPECT_EQ("", out.Text());
  ASSERT_EQ(1u, cmd->link.m_sent.size());
  const std::string& reply = cmd->link.m_sent[0];
  EXPECT_EQ(4, RecordingLink::SentCmd(reply));
  EXPECT_EQ(CmdWireSize(RecordingLink::SentText(reply).size()), reply.size());
  EXPECT_EQ(printed + "2026\n", RunOutputOnRequester(RecordingLink::SentText(reply)));
  // Serving is over: output goes to standard output again, and nothing acts for a requester.
  EXPECT_TRUE(get_gout().IsLocalCmd());
  get_gout() << "local " << 1;
  EXPECT_EQ("local 1", out.Text());
  EXPECT_EQ(ChatException_InternalWrong, get_gout().RunCmd(3, "Ver()"));
  EXPECT_EQ(0, get_gout().SendBackCmd(3, "Ver()") + get_gout().SendBackMsg());
  EXPECT_EQ(1u, bridge.m_ran.size());
}

TEST_F(OstreamCmd, ACommandThatPrintsNothingOrIsRefusedSendsNoReply) {
  for (HandleChatExceptionEnum result : {ChatException_OK, ChatException_NotLogin}) {
    auto quiet = ReceivedRecord::Command(4, "Quiet()");
    bridge.m_run = [=](unsigned, const char*) { return result; };
    EXPECT_EQ(result, bridge.GetMsg().HandleMsg(&quiet->bind));
    EXPECT_TRUE(quiet->link.m_sent.empty()) << result;
  }
}

TEST_F(OstreamCmd, FlushOutputSendsWhatWasCollectedThroughASyncObjectAndKeepsServing) {
  auto cmd = ReceivedRecord::Command(8, "Stream()");
  RecordingLink objectLink;
  cSyncObj obj(&objectLink, 12);
  bridge.m_run = [&](unsigned, const char*) {
    get_gout() << "part one";
    get_gout().FlushOutput(&obj);
    get_gout().FlushOutput(&obj);
    get_gout() << "part two";
    return ChatException_OK;
  };
  bridge.GetMsg().HandleMsg(&cmd->bind);
  ASSERT_EQ(1u, objectLink.m_sent.size());
  EXPECT_EQ(12u, RecordingLink::SentId(objectLink.m_sent[0]));
  EXPECT_EQ(8, RecordingLink::SentCmd(objectLink.m_sent[0]));
  EXPECT_EQ("Output([[part one]])", RecordingLink::SentText(objectLink.m_sent[0]));
  ASSERT_EQ(1u, cmd->link.m_sent.size());
  EXPECT_EQ("Output([[part two]])", RecordingLink::SentText(cmd->link.m_sent[0]));
}

}  // namespace
