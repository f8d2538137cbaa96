#include "netlib/net_client.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <memory>
#include <thread>

#include "testkit/net_recorder.h"

namespace {

using namespace nettest;

// A second connect (by host name) replaces the first link without a link-down notice; a connect
// to a closed port reports its error as a connect result; without Init or after Stop there is
// nothing to connect.
TEST(NetClient, ConnectingAgainReplacesTheLinkAndAClosedPortIsAConnectResult) {
  cRecorder srec, crec;
  auto s = std::make_unique<cServerScope>(srec);
  const unsigned short port = s->port;
  cClientScope c(crec, port);
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Connected));
  ASSERT_EQ(c.client->Connect("localhost", port), 1);
  ASSERT_TRUE(srec.WaitServerEvent(2, NetEvent_Connected));
  ASSERT_TRUE(srec.WaitServerEvent(1, NetEvent_Disconnected));
  auto result = [](const stDelivery& d) { return IsClientState(d, NetState_ConnectResult); };
  ASSERT_TRUE(crec.WaitCount(result, 2));
  EXPECT_FALSE(crec.WaitClientState(NetState_ServerDown, 100));
  s.reset();
  cRecorder refused;
  cClientScope late(refused, port);
  EXPECT_FALSE(late.connected);
  EXPECT_EQ(refused.Snapshot().at(0).Word(1), uint32_t(ECONNREFUSED));
  EXPECT_EQ(refused.Snapshot().at(0).NoticeIp(), "127.0.0.1");
  EXPECT_EQ(Send(late.client, MakeRecord(1001, "nobody")), 0);
  iClient* bare = Net_CreateClient(0);
  EXPECT_EQ(bare->Connect("127.0.0.1", port), 0);
  bare->Release();
  late.client->Stop();
  EXPECT_EQ(late.client->Connect("127.0.0.1", port), 0);
}

TEST(NetClient, ReleaseWhileConnectingOrSendingDeliversNothingLater) {
  cRecorder srec;
  cServerScope s(srec);
  for (int round = 0; round < 20; ++round) {
    cRecorder crec;
    iClient* client = Net_CreateClient(0);
    stClientInfo info;
    ASSERT_EQ(client->Init(&info, &crec), 1);
    client->Connect("127.0.0.1", s.port);
    if (round % 2) {
      crec.WaitClientState(NetState_ConnectResult);
      auto record = MakeRecord(1001, std::string(1000, 'r'));
      for (int i = 0; i < 100; ++i) Send(client, record);
      s.server->SendToAll(reinterpret_cast<const stMsg*>(record.data()), record.size());
    }
    client->Release();
    const size_t seen = crec.Snapshot().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(crec.Snapshot().size(), seen) << "a delivery after Release";
  }
}

// A client cuts a server that sent nothing for too long, reporting the idle reason as a receive
// error before the link-down notice; answers to its pings keep a pinging client up. (Which idle
// reason applies is the link's rule, tested at the server.)
TEST(NetClient, AClientCutsASilentServerWithTheIdleReasonAndPingsKeepItUp) {
  cRecorder srec, silentRec, pingRec;
  cServerScope s(srec);
  stClientInfo info;
  info.net.word[stNetParam::NetParam_IdleMs] = 300;
  info.net.word[stNetParam::NetParam_FirstMsgMs] = 300;
  cClientScope silent(silentRec, s.port, info), pinging(pingRec, s.port, info);
  ASSERT_TRUE(silent.connected && pinging.connected);
  for (int i = 0; i < 20; ++i) {
    pinging.client->Ping();
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  auto down = [](const stDelivery& d) {
    return IsClientState(d, NetState_ServerDown) && d.Word(1) == ETIMEDOUT;
  };
  ASSERT_TRUE(silentRec.WaitAny(down));
  int error = silentRec.IndexOf([&](const stDelivery& d) {
    return IsClientState(d, NetState_RecvError) && d.Word(1) == NetReason_NoMsgAfterConnect;
  });
  EXPECT_GE(error, 0);
  EXPECT_GT(silentRec.IndexOf(down), error);
  EXPECT_FALSE(silent.client->IsConnect());
  EXPECT_TRUE(srec.WaitServerEvent(1, NetEvent_Disconnected));
  EXPECT_TRUE(pinging.client->IsConnect());
  EXPECT_EQ(pingRec.IndexOf([](auto& d) { return IsClientState(d, NetState_ServerDown); }), -1);
}

}  // namespace
